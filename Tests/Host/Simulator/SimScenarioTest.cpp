/** @file
  Tests of the scenario texts: the sample scenario, every error with its
  line, robustness against damaged text, and the host wiring (SIM_HOST) that
  puts a scenario's controllers on the harness's handle database and clock.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "HostTest.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "SimController.h"
#include "SimHost.h"

extern "C" {
#include <Library/UefiBootServicesTableLib.h>
}

namespace {

std::string
ReadSample (
  const char  *Name
  )
{
  std::ifstream      File (std::string (CTL_SIM_SCENARIO_DIR) + "/" + Name, std::ios::binary);
  std::stringstream  Text;

  Text << File.rdbuf ();
  return Text.str ();
}

///
/// Parses into a heap scenario (it is large) and keeps the error.
///
struct PARSED {
  std::unique_ptr<SIM_SCENARIO>  Scenario { new SIM_SCENARIO };
  SIM_PARSE_ERROR                Error;
  bool                           Ok;

  explicit PARSED (const std::string &Text)
  {
    Ok = SimParseScenario (Text.data (), Text.size (), Scenario.get (), &Error);
  }

  const SIM_CONFIG &
  operator[] (
    size_t  Index
    ) const
  {
    return Scenario->Controllers[Index];
  }
};

TEST (SIM_SCENARIO_TEST, SampleScenarioDescribesItsControllers) {
  PARSED  Parsed (ReadSample ("example.cfg"));

  ASSERT_TRUE (Parsed.Ok) << "line " << Parsed.Error.Line << ": " << Parsed.Error.Message;
  ASSERT_EQ (Parsed.Scenario->ControllerCount, 3u);

  const SIM_CONFIG  &First = Parsed[0];

  EXPECT_EQ (First.VendorId, MAKER_VENDOR_ID);
  EXPECT_EQ (First.DeviceId, MAKER_DEVICE_ID_MODEL_1);
  EXPECT_EQ (First.SubsystemId, 0x0101);
  EXPECT_EQ (First.RevisionId, 1);
  EXPECT_EQ (First.Bars[2].Kind, SIM_BAR_KIND::IO) << "default window for the device's row";
  ASSERT_EQ (First.StatusStepCount, 3u);
  EXPECT_EQ (First.StatusSteps[0].Value, 0x10000000u);
  EXPECT_EQ (First.StatusSteps[0].Reads, 3u);
  EXPECT_EQ (First.StatusSteps[1].DoorbellStep, 2) << "1-based in the text";
  EXPECT_STREQ (First.ProductName, "RAID Adapter 8i");
  EXPECT_EQ (First.BbuType, 5);
  EXPECT_EQ (First.BbuTypeVariant, 1);
  EXPECT_STREQ (First.BbuName, "BBU-Li 2200");
  ASSERT_EQ (First.DriveCount, 3u);
  EXPECT_EQ (First.Drives[0].CachePolicy, 0x01);
  EXPECT_EQ (First.Drives[1].Ref, 0x00010002u);
  EXPECT_EQ (First.Drives[1].SetFailStatus, 0x2D);
  EXPECT_EQ (First.Drives[2].GetFailStatus, 7);
  EXPECT_EQ (First.Drives[2].ReturnedRef, 0x109u);
  ASSERT_EQ (First.FaultCount, 2u);
  EXPECT_EQ (First.Faults[0].Opcode, OP_CTRL_INFO);
  EXPECT_EQ (First.Faults[0].DelayUs, 20000u);
  EXPECT_EQ (First.Faults[0].Occurrence, SIM_EVERY_OCCURRENCE);
  EXPECT_EQ (First.Faults[1].Occurrence, 3u);
  EXPECT_TRUE (First.Faults[1].HasStatus);
  EXPECT_EQ (First.Faults[1].Status, 7);

  const SIM_CONFIG  &Second = Parsed[1];

  EXPECT_EQ (Second.Bars[1].Kind, SIM_BAR_KIND::MEM64);
  EXPECT_EQ (Second.Bars[1].Address, 0x4FE000000ull);
  EXPECT_EQ (Second.HandshakeWrites, 2u);
  EXPECT_TRUE (Second.ProductNameUnterminated);
  EXPECT_TRUE (Second.OverrideListCount);
  EXPECT_EQ (Second.ListCount, 300u);
  EXPECT_TRUE (Second.Faults[0].NoAnswer);

  EXPECT_EQ (Parsed[2].VendorId, 0x8086);
  EXPECT_EQ (Parsed[2].DeviceId, 0x1234);
}

TEST (SIM_SCENARIO_TEST, ErrorsNameTheirLine) {
  struct CASE {
    const char    *Text;
    UINT32        Line;
    const char    *Message;     // expected start of the message
  };
  const CASE  Cases[] = {
    { "revision 1\n",                                      1, "a 'controller' line must come first" },
    { "controller\n\nfrob 1\n",                            3, "unknown keyword: 'frob'"             },
    { "controller\nrevision 256\n",                        2, "number out of range: '256'"          },
    { "controller\nvendor 0x1G\n",                         2, "not a number: '0x1G'"                },
    { "controller\nvendor 0x\n",                           2, "not a number"                        },
    { "controller\nvendor -1\n",                           2, "not a number"                        },
    { "controller\nvendor\n",                              2, "too few values"                      },
    { "controller\nvendor 1 2\n",                          2, "too many values"                     },
    { "controller\nsubsystem \"1\" 2\n",                   2, "a number must not be quoted"         },
    { "controller\nproduct \"abc\n",                       2, "string without closing quote"        },
    { "controller\nproduct \"a\"b\n",                      2, "closing quote must end the word"     },
    { "controller\nproduct ab\"c\n",                       2, "quote inside a word"                 },
    { "controller\nbattery 5 0 \"0123456789012345678901234567890123456789\"\n", 2, "name too long" },
    { "controller\nbar 6 io 0x100\n",                      2, "number out of range"                 },
    { "controller\nbar 0 port 0x100\n",                    2, "BAR kind must be"                    },
    { "controller\nbar 0 none 5\n",                        2, "an unused BAR takes no address"      },
    { "controller\nbar 0 io\n",                            2, "a number is missing"                 },
    { "controller\nstatus 1 0 bell 2\n",                   2, "expected: status"                    },
    { "controller\nstatus 1 0 doorbell 0\n",               2, "steps are numbered from 1"           },
    { "controller\nhandshake 0xFFFFFFFF\n",                2, "number out of range"                 },
    { "controller\ndrive 1 fast\n",                        2, "not a number: 'fast'"                },
    { "controller\ndrive 1 wb get-fail\n",                 2, "a value is missing"                  },
    { "controller\ndrive 1 wb slow 3\n",                   2, "drive option must be"                },
    { "controller\nfault OP_NOPE 1 status 3\n",            2, "not a number: 'OP_NOPE'"             },
    { "controller\nfault OP_CTRL_INFO 0 status 3\n",       2, "occurrences are numbered from 1"     },
    { "controller\nfault OP_CTRL_INFO all explode\n",      2, "fault action must be"                },
    { "controller\nfault OP_CTRL_INFO 1 status\n",         2, "a number is missing"                 },
    { "controller\npci-read ok\n",                         2, "expected: pci-read fail"             },
    { "controller\nbar-attributes none\n",                 2, "expected: bar-attributes unsupported" },
    { "controller\ndma open\n",                            2, "expected: dma protected" },
    { "controller\nbus-master on\n",                       2, "expected: bus-master off" },
    { "controller\nlocation 0 3 0\n",                      2, "too few values"                      },
    { "controller\nlocation 0 256 0 0\n",                  2, "number out of range"                 },
    { "controller\nproduct x maybe\n",                     2, "expected: product NAME"              },
    { "controller\n\"controller\"\n",                      2, "a line must start with a keyword"    },
    { "controller\nvendor 1\tx\x01\n",                     2, "control character"                   },
    { "controller\nproduct \"caf\xc3\xa9\"\n",             2, "control character or non-ASCII"      },
    { "controller\na b c d e f g h i j k l m n o p q\n",   2, "too many words on one line"          },
    // Checks of the whole controller point at its "controller" line.
    { "controller\nwindow 2\ncontroller\n",                1, "window size"                         },
    { "\ncontroller 0x0D41\nbar 5 mem64 0x1000\n",         2, "BAR 5 cannot hold"                   },
    { "controller\nstatus 1 0 doorbell 2\n",               1, "a doorbell step lies beyond"         },
    { "controller\nlocation 0 3 32 0\n",                   1, "PCI device numbers go to 31"         },
  };

  for (const CASE &Case : Cases) {
    PARSED  Parsed (Case.Text);

    EXPECT_FALSE (Parsed.Ok) << Case.Text;
    EXPECT_EQ (Parsed.Error.Line, Case.Line) << Case.Text;
    EXPECT_EQ (std::string (Parsed.Error.Message).rfind (Case.Message, 0), 0u)
      << Case.Text << " gave: " << Parsed.Error.Message;
  }
}

TEST (SIM_SCENARIO_TEST, LayoutDetailsOfTheText) {
  struct CASE {
    std::string    Text;
    bool           Ok;
    UINT32         Controllers;
  };
  const CASE  Cases[] = {
    { "",                                              true,  0 },
    { "# nothing but a comment",                       true,  0 },
    { "controller",                                    true,  1 },      // no final newline
    { "controller\r\nvendor 0x10\r\n",                 true,  1 },      // CRLF
    { "controller #0x0C31\n\t vendor 1 # comment\n",  true,  1 },
    { "controller\nproduct \"a # b\"\n",               true,  1 },      // '#' inside quotes
    { std::string ("controller\n\0", 12),              false, 0 },      // NUL byte
    { "controller\nproduct " + std::string (1100, 'x'), false, 0 },     // line too long
    { std::string (), true, 0 },
  };

  for (const CASE &Case : Cases) {
    PARSED  Parsed (Case.Text);

    EXPECT_EQ (Parsed.Ok, Case.Ok) << Case.Text << ": " << Parsed.Error.Message;
    if (Case.Ok) {
      EXPECT_EQ (Parsed.Scenario->ControllerCount, Case.Controllers) << Case.Text;
    }
  }

  PARSED  Quoted ("controller\nproduct \"a # b\"\n");

  EXPECT_STREQ (Quoted[0].ProductName, "a # b");

  PARSED  Placed ("controller\nlocation 0x10 0x82 31 7\nbar-attributes unsupported\ncontroller\n");

  ASSERT_TRUE (Placed.Ok) << Placed.Error.Message;
  EXPECT_EQ (Placed[0].Location.Segment, 0x10u);
  EXPECT_EQ (Placed[0].Location.Bus, 0x82);
  EXPECT_EQ (Placed[0].Location.Device, 31);
  EXPECT_EQ (Placed[0].Location.Function, 7);
  EXPECT_TRUE (Placed[0].BarAttributesUnsupported);
  EXPECT_EQ (Placed[1].Location.Bus, 4) << "the default: bus 3 + the controller's index";
  EXPECT_FALSE (Placed[1].BarAttributesUnsupported);

  PARSED  Guarded ("controller\ndma protected\nbus-master off\ndecoding off\nmap-limit 0x1000\ncontroller\n");

  ASSERT_TRUE (Guarded.Ok) << Guarded.Error.Message;
  EXPECT_TRUE (Guarded[0].DmaProtected);
  EXPECT_TRUE (Guarded[0].BusMasterOff);
  EXPECT_TRUE (Guarded[0].DecodingOff);
  EXPECT_EQ (Guarded[0].MapLimit, 0x1000u);
  EXPECT_FALSE (Guarded[1].DmaProtected) << "each controller has its own";
  EXPECT_FALSE (Guarded[1].BusMasterOff);

  PARSED  Platform ("controller\ndma bounce\ntranslation 0xFFFFFF8000000000\nbus-master stuck\nattributes-set fail\n"
                    "set-properties writes-back\ncontroller\n");

  ASSERT_TRUE (Platform.Ok) << Platform.Error.Message;
  EXPECT_TRUE (Platform[0].DmaBounce);
  EXPECT_FALSE (Platform[0].DmaProtected);
  EXPECT_EQ (Platform[0].MemoryTranslation, 0xFFFFFF8000000000ull);
  EXPECT_TRUE (Platform[0].BusMasterStuck);
  EXPECT_TRUE (Platform[0].AttributesSetFails);
  EXPECT_TRUE (Platform[0].SetWritesBack);
  EXPECT_FALSE (Platform[1].DmaBounce);
  EXPECT_EQ (Platform[1].MemoryTranslation, 0u);

  std::string  Many;

  for (int Index = 0; Index <= SIM_MAX_SCENARIO_CONTROLLERS; Index++) {
    Many += "controller\n";
  }

  PARSED  TooMany (Many);

  EXPECT_FALSE (TooMany.Ok);
  EXPECT_EQ (TooMany.Error.Line, static_cast<UINT32> (SIM_MAX_SCENARIO_CONTROLLERS + 1));
}

TEST (SIM_SCENARIO_TEST, DamagedTextNeverYieldsAnUnusableScenario) {
  std::string  Sample = ReadSample ("example.cfg");
  UINT32       State  = 12345;

  ASSERT_FALSE (Sample.empty ());
  for (int Round = 0; Round < 2000; Round++) {
    std::string  Text = Sample;

    for (int Change = 0; Change < 4; Change++) {
      State = State * 1103515245u + 12345u;
      size_t  Position = (State >> 8) % Text.size ();

      State = State * 1103515245u + 12345u;
      switch ((State >> 16) % 3) {
        case 0:
          Text[Position] = static_cast<char> (State >> 24);
          break;
        case 1:
          Text.erase (Position, 1 + (State >> 24) % 8);
          break;
        default:
          Text.insert (Position, 1, "\"# 0x\n9 "[(State >> 24) % 8]);
          break;
      }

      if (Text.empty ()) {
        Text = "c";
      }
    }

    //
    // Hand the parser exactly the bytes of the text, nothing after them,
    // so that ASan sees any read beyond its end.
    //
    std::unique_ptr<char[]>  Exact (new char[Text.size ()]);

    std::memcpy (Exact.get (), Text.data (), Text.size ());
    std::unique_ptr<SIM_SCENARIO>  Scenario (new SIM_SCENARIO);
    SIM_PARSE_ERROR                Error;

    if (SimParseScenario (Exact.get (), Text.size (), Scenario.get (), &Error)) {
      for (UINT32 Index = 0; Index < Scenario->ControllerCount; Index++) {
        EXPECT_EQ (SimCheckConfig (&Scenario->Controllers[Index]), nullptr);
      }
    } else {
      EXPECT_GT (Error.Line, 0u);
      EXPECT_LT (std::strlen (Error.Message), sizeof (Error.Message));
    }
  }
}

//
// ---------------------------------------------------------------------------
// SIM_HOST: scenarios on the host harness
// ---------------------------------------------------------------------------
//

class SIM_HOST_TEST : public HOST_TEST {
};

TEST_F (SIM_HOST_TEST, ControllersAppearInOrderAndDelayedAnswersFollowStall) {
  SIM_HOST     Host;
  std::string  Error;

  ASSERT_TRUE (Host.Load ("controller 0x0A11\n delay OP_FLASH_CLOSE 3000\ncontroller 0x0C31\n", &Error)) << Error;
  ASSERT_EQ (Host.Count (), 2u);

  UINTN       Count;
  EFI_HANDLE  *Handles;

  ASSERT_EQ (gBS->LocateHandleBuffer (ByProtocol, &gEfiPciIoProtocolGuid, NULL, &Count, &Handles), EFI_SUCCESS);
  ASSERT_EQ (Count, 2u);
  EXPECT_EQ (Handles[0], Host.Handle (0));
  EXPECT_EQ (Handles[1], Host.Handle (1));
  gBS->FreePool (Handles);

  //
  // A delayed close: pending until the product's Stall calls pass 3 ms.
  //
  SIM_CONTROLLER       *Sim   = Host[0];
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);
  VOID                 *Memory = NULL;
  UINTN                Bytes   = EFI_PAGE_SIZE;
  EFI_PHYSICAL_ADDRESS Device  = 0;
  VOID                 *Mapping = NULL;
  UINT64               Encoded;
  UINT32               Half;

  // The frame as a driver would share it: AllocateBuffer, mapped common.
  ASSERT_EQ (PciIo->AllocateBuffer (PciIo, AllocateAnyPages, EfiBootServicesData, 1, &Memory, 0), EFI_SUCCESS);
  ASSERT_EQ (PciIo->Map (PciIo, EfiPciIoOperationBusMasterCommonBuffer, Memory, &Bytes, &Device, &Mapping), EFI_SUCCESS);

  COMMAND_FRAME  *Frame = static_cast<COMMAND_FRAME *> (Memory);

  std::memset (Frame, 0, sizeof (*Frame));
  Frame->Command  = FRAME_COMMAND;
  Frame->Status   = FRAME_STATUS_PENDING;
  Frame->SgeCount = 1;
  Frame->Flags    = FrameFlags (DIRECTION_NONE);
  Frame->Opcode   = OP_FLASH_CLOSE;
  Encoded         = Device | 1;
  Half            = static_cast<UINT32> (Encoded >> 32);
  PciIo->Io.Write (PciIo, EfiPciIoWidthUint32, 0xFF, 0xC000 + 0xC4, 1, &Half);
  Half = static_cast<UINT32> (Encoded);
  PciIo->Io.Write (PciIo, EfiPciIoWidthUint32, 0xFF, 0xC000 + 0xC0, 1, &Half);

  gBS->Stall (2000);
  EXPECT_EQ (*reinterpret_cast<volatile UINT8 *> (&Frame->Status), FRAME_STATUS_PENDING);
  gBS->Stall (1000);
  EXPECT_EQ (*reinterpret_cast<volatile UINT8 *> (&Frame->Status), 0);
  EXPECT_EQ (SimGetFrame (Sim, 0)->AnsweredUs, 3000u);
  EXPECT_EQ (PciIo->Unmap (PciIo, Mapping), EFI_SUCCESS);
  EXPECT_EQ (PciIo->FreeBuffer (PciIo, 1, Memory), EFI_SUCCESS);
}

TEST_F (SIM_HOST_TEST, BadScenarioAddsNothing) {
  SIM_HOST     Host;
  std::string  Error;

  EXPECT_FALSE (Host.Load ("controller\ncontroller\nbar 9 io 1\n", &Error));
  EXPECT_EQ (Error, "line 3: number out of range: '9'");
  EXPECT_EQ (Host.Count (), 0u);
}

} // namespace
