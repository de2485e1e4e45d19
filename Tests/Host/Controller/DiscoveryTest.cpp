/** @file
  Tests of discovery and bring-up against simulated controllers: which
  handles become controllers and in which slots, what ends discovery, the
  handshake and read-backs of the FlushReads models by chip revision, the
  firmware wait with its states, doorbell, pauses and the three-minute
  bound, the notices of a long bring-up, the line that names a controller
  left out, and the BAR index by which PCI I/O reaches the register window.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>
#include <regex>

#include "HostTest.h"
#include "CtlFlash.h"
#include "SimHost.h"

namespace {

constexpr UINT64  PAUSE_US        = 200000;
constexpr UINT64  STATE0_PAUSE_US = 2000000;
constexpr UINT64  SECOND_US       = 1000000;

constexpr UINT32  READY       = 0xB0000000;
constexpr UINT32  OPERATIONAL = 0xC0000000;
constexpr UINT32  FAULT       = 0xF0000000;
constexpr UINT32  WAIT_DOOR   = 0x60000000;
constexpr INT32   NO_JUMP     = -1;

constexpr UINT32
StateValue (
  UINT32  State
  )
{
  return State << 28;
}

class DISCOVERY : public HOST_TEST {
protected:
  SIM_HOST    mSim;

  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
  }

  void
  TearDown (
    ) override
  {
    static const std::regex  Expected (
                               "\nController at [0-9A-F:.]+ left out: [a-z -]+\\.\\."
                               "|\nWaiting for the controller at [^\n]+"
                               "|\nThe controller at [0-9A-F:.]+ is ready after [0-9]+ s\\."
                               );

    EXPECT_EQ ("", std::regex_replace (HostConsoleText (), Expected, ""))
      << "discovery prints nothing but long-wait notices and the controllers it leaves out";
    EXPECT_EQ (0u, HostCloseProtocolCalls ()) << "PCI I/O is never closed";
    HOST_TEST::TearDown ();
  }

  ///
  /// One controller of the given model with the given status script.
  ///
  SIM_CONTROLLER *
  AddScripted (
    UINT16                                  DeviceId,
    std::initializer_list<SIM_STATUS_STEP>  Steps
    )
  {
    SIM_CONFIG  Config = SimHostConfig (DeviceId, static_cast<UINT32> (mSim.Count ()));

    SimHostSetScript (Config, Steps);
    return mSim.Add (Config);
  }

  ///
  /// Register writes of the controller that hit the given register.
  ///
  static std::vector<SIM_ACCESS_RECORD>
  WritesTo (
    SIM_CONTROLLER  *Sim,
    UINT32          Register
    )
  {
    std::vector<SIM_ACCESS_RECORD>  Writes;

    for (UINT32 Index = 0; Index < SimAccessCount (Sim); Index++) {
      CONST SIM_ACCESS_RECORD  *Record = SimGetAccess (Sim, Index);

      if (((Record->Kind == SIM_ACCESS_KIND::IO_WRITE) || (Record->Kind == SIM_ACCESS_KIND::MEM_WRITE)) &&
          Record->Hit && (Record->Register == Register))
      {
        Writes.push_back (*Record);
      }
    }

    return Writes;
  }
};

///
/// PCI I/O of a function that is not the maker's: its header names another
/// vendor. One instance serves any number of handles.
///
struct FOREIGN_PCI_IO {
  EFI_PCI_IO_PROTOCOL    Protocol;
  UINT32                 Reads;

  FOREIGN_PCI_IO (
    )
  {
    std::memset (&Protocol, 0, sizeof (Protocol));
    Protocol.Pci.Read = PciRead;
    Reads             = 0;
  }

  static EFI_STATUS EFIAPI
  PciRead (
    EFI_PCI_IO_PROTOCOL        *This,
    EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    UINT32                     Offset,
    UINTN                      Count,
    VOID                       *Buffer
    )
  {
    PCI_TYPE00  Header;

    std::memset (&Header, 0, sizeof (Header));
    Header.Hdr.VendorId = 0x8086;
    Header.Hdr.DeviceId = MAKER_DEVICE_ID_MODEL_1;
    if ((Width != EfiPciIoWidthUint8) || (Offset != 0) || (Count > sizeof (Header))) {
      return EFI_INVALID_PARAMETER;
    }

    std::memcpy (Buffer, &Header, Count);
    reinterpret_cast<FOREIGN_PCI_IO *> (This)->Reads++;
    return EFI_SUCCESS;
  }
};

} // namespace

//
// Which handles become controllers
//

TEST_F (DISCOVERY, NoPciIoHandleMeansNoController) {
  mControllerTable.ControllerCount = 5;   // discovery starts from 0

  DiscoverControllers ();

  EXPECT_EQ (0u, mControllerTable.ControllerCount);
  EXPECT_EQ (1u, HostLocateHandleBufferCalls ());
}

TEST_F (DISCOVERY, AFailedHandleSearchMeansNoController) {
  SIM_CONTROLLER  *Sim = mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);

  HostSetLocateHandleStatus (EFI_OUT_OF_RESOURCES);
  DiscoverControllers ();

  EXPECT_EQ (0u, mControllerTable.ControllerCount);
  EXPECT_EQ (0u, SimAccessCount (Sim));
}

TEST_F (DISCOVERY, AReadyControllerFillsSlotZero) {
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_2, 3);

  Config.SubsystemVendorId = 0x1234;
  Config.SubsystemId       = 0x5678;
  SIM_CONTROLLER  *Sim = mSim.Add (Config);

  DiscoverControllers ();

  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  CONTROLLER_CONTEXT  *Slot = GetControllerContext (0);

  EXPECT_EQ (&mControllerTable.Controllers[0], Slot);
  EXPECT_EQ (SimGetPciIo (Sim), Slot->PciIo);
  EXPECT_EQ (MAKER_VENDOR_ID, Slot->VendorId);
  EXPECT_EQ (MAKER_DEVICE_ID_MODEL_2, Slot->DeviceId);
  EXPECT_EQ (0x1234, Slot->SubsystemVendorId);
  EXPECT_EQ (0x5678, Slot->SubsystemId);
  EXPECT_FALSE (Slot->Disabled);
  EXPECT_EQ (0, std::memcmp (&Slot->Model, FindSupportedController (MAKER_DEVICE_ID_MODEL_2), sizeof (Slot->Model)));
  // The I/O BAR with its indicator bit masked off.
  EXPECT_EQ (static_cast<UINT32> (Config.Bars[2].Address), Slot->RegisterBase);
  EXPECT_EQ (0u, Slot->RegisterBase & 1);
  // Ready at the first poll: one ordinary pause.
  EXPECT_EQ (PAUSE_US, HostClockNow ());
  EXPECT_EQ (1u, HostStallCount ());
}

TEST_F (DISCOVERY, AMemoryWindowKeepsTheBarWithoutItsFlagBits) {
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_11, 0);

  mSim.Add (Config);
  DiscoverControllers ();

  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  EXPECT_EQ (static_cast<UINT32> (Config.Bars[1].Address), mControllerTable.Controllers[0].RegisterBase);
  EXPECT_FALSE (mControllerTable.Controllers[0].WindowAbove4G);
}

TEST_F (DISCOVERY, AFailingControllerLeavesItsSlotToTheNextOne) {
  SIM_CONTROLLER  *Failing = AddScripted (MAKER_DEVICE_ID_MODEL_1, { { FAULT, 0, NO_JUMP } });
  SIM_CONTROLLER  *Ready   = mSim.AddReady (MAKER_DEVICE_ID_MODEL_9);

  DiscoverControllers ();

  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  EXPECT_EQ (SimGetPciIo (Ready), mControllerTable.Controllers[0].PciIo);
  EXPECT_EQ (MAKER_DEVICE_ID_MODEL_9, mControllerTable.Controllers[0].DeviceId);
  EXPECT_FALSE (mControllerTable.Controllers[0].Disabled);
  EXPECT_NE (0u, SimAccessCount (Failing));
}

TEST_F (DISCOVERY, AFailedControllerStaysDisabledInTheSlotAfterTheCount) {
  AddScripted (MAKER_DEVICE_ID_MODEL_1, { { FAULT, 0, NO_JUMP } });

  DiscoverControllers ();

  EXPECT_EQ (0u, mControllerTable.ControllerCount);
  EXPECT_TRUE (mControllerTable.Controllers[0].Disabled);
  EXPECT_EQ (MAKER_DEVICE_ID_MODEL_1, mControllerTable.Controllers[0].DeviceId);
}

TEST_F (DISCOVERY, OtherVendorsAndUnknownModelsAreSkippedAfterTheHeaderRead) {
  SIM_CONFIG  Foreign = SimHostConfig (MAKER_DEVICE_ID_MODEL_1, 0);

  Foreign.VendorId = 0x8086;
  SIM_CONFIG  Unknown = SimHostConfig (0x0FFF, 1);

  SIM_CONTROLLER  *ForeignSim = mSim.Add (Foreign);
  SIM_CONTROLLER  *UnknownSim = mSim.Add (Unknown);
  SIM_CONTROLLER  *Ready      = mSim.AddReady (MAKER_DEVICE_ID_MODEL_5);

  DiscoverControllers ();

  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  EXPECT_EQ (SimGetPciIo (Ready), mControllerTable.Controllers[0].PciIo);
  EXPECT_EQ ("", HostConsoleText ()) << "nothing is said about devices that are not supported";
  for (SIM_CONTROLLER *Skipped : { ForeignSim, UnknownSim }) {
    ASSERT_EQ (1u, SimAccessCount (Skipped));
    CONST SIM_ACCESS_RECORD  *Read = SimGetAccess (Skipped, 0);

    EXPECT_EQ (SIM_ACCESS_KIND::PCI_READ, Read->Kind);
    EXPECT_EQ (EfiPciIoWidthUint8, Read->Width);
    EXPECT_EQ (0u, Read->Offset);
    EXPECT_EQ (64u, Read->Count);
  }
}

namespace {

struct OPEN_CASE {
  EFI_STATUS    Status;
  BOOLEAN       Counted;
};

CONST OPEN_CASE  mOpenCases[] = {
  { EFI_SUCCESS,           TRUE  },
  { EFI_ALREADY_STARTED,   TRUE  },     // the interface comes with it
  { EFI_UNSUPPORTED,       FALSE },
  { EFI_ACCESS_DENIED,     FALSE },
  { EFI_INVALID_PARAMETER, FALSE },
};

} // namespace

TEST_F (DISCOVERY, OpenProtocolDecidesWhetherAHandleIsLookedAt) {
  for (CONST OPEN_CASE &Case : mOpenCases) {
    SCOPED_TRACE (Case.Status);
    SIM_HOST  Sim;

    HostReset ();
    SIM_CONTROLLER  *Controller = Sim.Add (SimHostConfig (MAKER_DEVICE_ID_MODEL_3), Case.Status);
    SIM_CONTROLLER  *Next       = Sim.Add (SimHostConfig (MAKER_DEVICE_ID_MODEL_4, 1));

    DiscoverControllers ();

    EXPECT_EQ (Case.Counted ? 2u : 1u, mControllerTable.ControllerCount);
    EXPECT_EQ (Case.Counted, SimAccessCount (Controller) != 0);
    EXPECT_EQ (SimGetPciIo (Case.Counted ? Controller : Next), mControllerTable.Controllers[0].PciIo);

    ASSERT_EQ (2u, HostOpenProtocolCalls ().size ());
    CONST HOST_OPEN_PROTOCOL_CALL  &Call = HostOpenProtocolCalls ()[0];

    EXPECT_EQ (0, std::memcmp (&Call.Protocol, &gEfiPciIoProtocolGuid, sizeof (EFI_GUID)));
    EXPECT_EQ (gImageHandle, Call.AgentHandle);
    EXPECT_EQ (nullptr, Call.ControllerHandle);
    EXPECT_EQ (static_cast<UINT32> (EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL), Call.Attributes);
  }
}

TEST_F (DISCOVERY, AFailingHeaderReadEndsDiscoveryAndKeepsWhatWasFound) {
  SIM_CONTROLLER  *First = mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);
  SIM_CONFIG      Broken = SimHostConfig (MAKER_DEVICE_ID_MODEL_2, 1);

  Broken.PciReadFails = TRUE;
  mSim.Add (Broken);
  SIM_CONTROLLER  *Third = mSim.AddReady (MAKER_DEVICE_ID_MODEL_3);

  DiscoverControllers ();

  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  EXPECT_EQ (SimGetPciIo (First), mControllerTable.Controllers[0].PciIo);
  EXPECT_EQ (0u, SimAccessCount (Third));
  EXPECT_EQ (2u, HostOpenProtocolCalls ().size ());
}

TEST_F (DISCOVERY, DiscoveryStopsAtThirtyTwoControllers) {
  for (UINT32 Index = 0; Index < MAX_CONTROLLERS + 3; Index++) {
    mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);
  }

  DiscoverControllers ();

  EXPECT_EQ (static_cast<UINT32> (MAX_CONTROLLERS), mControllerTable.ControllerCount);
  for (UINTN Index = MAX_CONTROLLERS; Index < mSim.Count (); Index++) {
    EXPECT_EQ (0u, SimAccessCount (mSim[Index])) << "controller " << Index << " was touched";
  }

  EXPECT_EQ (SimGetPciIo (mSim[MAX_CONTROLLERS - 1]), mControllerTable.Controllers[MAX_CONTROLLERS - 1].PciIo);
}

TEST_F (DISCOVERY, AControllerBehindMoreThan255HandlesIsFound) {
  FOREIGN_PCI_IO  Foreign;

  for (UINT32 Index = 0; Index < 300; Index++) {
    HostAddPciIoHandle (&Foreign.Protocol);
  }

  SIM_CONTROLLER  *Ready = mSim.AddReady (MAKER_DEVICE_ID_MODEL_6);

  DiscoverControllers ();

  EXPECT_EQ (300u, Foreign.Reads);
  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  EXPECT_EQ (SimGetPciIo (Ready), mControllerTable.Controllers[0].PciIo);
}

//
// FlushReads models: handshake and read-backs by chip revision
//

namespace {

struct REVISION_CASE {
  UINT16     DeviceId;
  UINT8      RevisionId;
  BOOLEAN    Handshake;   ///< expected, and read-backs with it
};

CONST REVISION_CASE  mRevisionCases[] = {
  { MAKER_DEVICE_ID_MODEL_8,  0,    TRUE  },
  { MAKER_DEVICE_ID_MODEL_8,  1,    TRUE  },
  { MAKER_DEVICE_ID_MODEL_8,  2,    FALSE },
  { MAKER_DEVICE_ID_MODEL_11, 1,    TRUE  },
  { MAKER_DEVICE_ID_MODEL_11, 0xFF, FALSE },
  { MAKER_DEVICE_ID_MODEL_9,  0,    FALSE },   // not a FlushReads model
};

} // namespace

TEST_F (DISCOVERY, FlushReadModelsBelowRevisionTwoGetTheHandshakeAndReadBacks) {
  for (CONST REVISION_CASE &Case : mRevisionCases) {
    SCOPED_TRACE (::testing::Message () << std::hex << "device " << Case.DeviceId << ", revision " << UINT32 (Case.RevisionId));
    SIM_HOST  Sim;

    HostReset ();
    SIM_CONFIG  Config = SimHostConfig (Case.DeviceId);

    Config.RevisionId      = Case.RevisionId;
    Config.HandshakeWrites = 3;
    SimHostSetScript (Config, { { StateValue (1), 4, NO_JUMP }, { READY, 0, NO_JUMP } });
    SIM_CONTROLLER  *Controller = Sim.Add (Config);

    DiscoverControllers ();

    ASSERT_EQ (1u, mControllerTable.ControllerCount);
    CONST CONTROLLER_CONTEXT    *Slot = &mControllerTable.Controllers[0];
    CONST SUPPORTED_CONTROLLER  *Row  = FindSupportedController (Case.DeviceId);

    EXPECT_EQ (Case.Handshake, Slot->Model.FlushReads);

    std::vector<SIM_ACCESS_RECORD>  Handshake = WritesTo (Controller, HANDSHAKE_REGISTER.FixedOffset);

    if (Case.Handshake) {
      ASSERT_EQ (3u, Handshake.size ());
      for (CONST SIM_ACCESS_RECORD &Write : Handshake) {
        EXPECT_EQ (HANDSHAKE_PATTERN, Write.Value);
        EXPECT_EQ (static_cast<UINT8> (Row->BarIndex), Write.BarIndex);   // BAR-relative
        EXPECT_EQ (HANDSHAKE_REGISTER.FixedOffset, Write.Offset);
      }

      EXPECT_EQ (3u, HostStallCountOf (1000));
      // Every poll reads the status twice, so the four reads of state 1 last
      // two polls, and the third poll sees the ready state.
      EXPECT_EQ (6u, SimGetCounters (Controller)->StatusReads);
      EXPECT_EQ (3u, HostStallCountOf (PAUSE_US));
    } else {
      EXPECT_TRUE (Handshake.empty ());
      EXPECT_EQ (0u, HostStallCountOf (1000));
      EXPECT_EQ (5u, SimGetCounters (Controller)->StatusReads);
      EXPECT_EQ (5u, HostStallCountOf (PAUSE_US));
    }
  }
}

TEST_F (DISCOVERY, AHandshakeThatNeverCompletesLeavesTheControllerOutInBoundedTime) {
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_8);

  Config.HandshakeWrites = SIM_HANDSHAKE_NEVER;
  mSim.Add (Config);
  SIM_CONTROLLER  *Ready = mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);

  DiscoverControllers ();

  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  EXPECT_EQ (SimGetPciIo (Ready), mControllerTable.Controllers[0].PciIo);
  // 60,000 tries of 1 ms, then the ready controller's one pause.
  EXPECT_EQ (60 * SECOND_US + PAUSE_US, HostClockNow ()) << "the handshake is bounded";
  EXPECT_NE (std::string::npos, HostConsoleText ().find ("\nController at 0000:03:00.0 left out: handshake not answered.."));
}

//
// The firmware wait
//

namespace {

struct WAIT_CASE {
  CONST char         *Name;
  SIM_STATUS_STEP    Steps[4];
  UINT32             StepCount;
  BOOLEAN            Ready;
  UINT32             DoorbellRings;
  UINT64             Microseconds;
};

#define STEP(Value, Reads)  { (Value), (Reads), NO_JUMP }

CONST WAIT_CASE  mWaitCases[] = {
  { "ready at once",                { STEP (READY, 0) },                                              1, TRUE,  0, PAUSE_US                       },
  { "operational at once",          { STEP (OPERATIONAL, 0) },                                        1, TRUE,  0, PAUSE_US                       },
  { "fault: no pause at all",       { STEP (FAULT, 0) },                                              1, FALSE, 0, 0                              },
  { "fault after waiting",          { STEP (StateValue (1), 2), STEP (FAULT, 0) },                    2, FALSE, 0, 2 * PAUSE_US                   },
  { "state 0 costs 2.2 s a poll",   { STEP (0x00000005, 2), STEP (READY, 0) },                        2, TRUE,  0, 2 * (STATE0_PAUSE_US + PAUSE_US) + PAUSE_US },
  { "state 6 rings every poll",     { STEP (WAIT_DOOR, 3), STEP (READY, 0) },                         2, TRUE,  3, 4 * PAUSE_US                   },
  { "state 6 then 2 fails",         { STEP (WAIT_DOOR, 1), STEP (StateValue (2), 0) },                2, FALSE, 1, PAUSE_US                       },
  { "state 2 alone is waited",      { STEP (StateValue (2), 3), STEP (READY, 0) },                    2, TRUE,  0, 4 * PAUSE_US                   },
  { "ready state after doorbell",   { STEP (WAIT_DOOR, 1), STEP (StateValue (12), 0) },               2, TRUE,  1, 2 * PAUSE_US                   },
};

#undef STEP

} // namespace

TEST_F (DISCOVERY, TheFirmwareWaitReactsToEachState) {
  for (CONST WAIT_CASE &Case : mWaitCases) {
    SCOPED_TRACE (Case.Name);
    SIM_HOST  Sim;

    HostReset ();
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

    Config.StatusStepCount = Case.StepCount;
    std::memcpy (Config.StatusSteps, Case.Steps, sizeof (Case.Steps));
    SIM_CONTROLLER  *Controller = Sim.Add (Config);

    DiscoverControllers ();

    EXPECT_EQ (Case.Ready ? 1u : 0u, mControllerTable.ControllerCount);
    EXPECT_EQ (Case.Microseconds, HostClockNow ());
    EXPECT_EQ (Case.DoorbellRings, SimGetCounters (Controller)->DoorbellRings);

    std::vector<SIM_ACCESS_RECORD>  Rings = WritesTo (Controller, 0x20);

    ASSERT_EQ (Case.DoorbellRings, Rings.size ());
    for (CONST SIM_ACCESS_RECORD &Ring : Rings) {
      EXPECT_EQ (1u, Ring.Value);
      EXPECT_EQ (EFI_PCI_IO_PASS_THROUGH_BAR, Ring.BarIndex);   // base-relative
      EXPECT_EQ (mControllerTable.Controllers[0].RegisterBase + 0x20u, Ring.Offset);
    }
  }
}

TEST_F (DISCOVERY, StatesThatFailOnlyAfterTheDoorbell) {
  for (UINT32 State : { 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 10u, 13u, 14u }) {
    BOOLEAN  FailsAfterDoorbell = (State == 2) || (State == 3) || (State == 5) || (State == 13) || (State == 14);

    for (BOOLEAN Doorbell : { FALSE, TRUE }) {
      SCOPED_TRACE (::testing::Message () << "state " << State << (Doorbell ? " after the doorbell" : ""));
      SIM_HOST  Sim;

      HostReset ();
      SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_10);

      if (Doorbell) {
        SimHostSetScript (Config, { { WAIT_DOOR, 1, NO_JUMP }, { StateValue (State), 2, NO_JUMP }, { READY, 0, NO_JUMP } });
      } else {
        SimHostSetScript (Config, { { StateValue (State), 2, NO_JUMP }, { READY, 0, NO_JUMP } });
      }

      Sim.Add (Config);
      DiscoverControllers ();

      EXPECT_EQ ((Doorbell && FailsAfterDoorbell) ? 0u : 1u, mControllerTable.ControllerCount);
    }
  }
}

namespace {

struct UNCHANGED_CASE {
  CONST char    *Name;
  UINT32        FirstValue;
  UINT32        FirstReads;     ///< 0: FirstValue for ever
  UINT32        LastValue;
  BOOLEAN       Ready;
  UINT64        Polls;
  BOOLEAN       State0;
};

CONST UNCHANGED_CASE  mUnchangedCases[] = {
  // 900 polls of 0.2 s take exactly the three minutes of the bound.
  { "state 1 held",                StateValue (1) | 0x123, 0, 0,                  TRUE,  900, FALSE },
  { "state 2 held",                StateValue (2),         0, 0,                  TRUE,  900, FALSE },
  // A change after the first poll restarts the count too late.
  { "a change restarts the count", StateValue (1),         1, StateValue (1) | 1, FALSE, 900, FALSE },
  // 2.2 s a poll: the bound comes after 82 polls, long before 900.
  { "state 0 held",                0x00000000,             0, 0,                  FALSE, 82,  TRUE  },
};

} // namespace

TEST_F (DISCOVERY, NineHundredUnchangedPollsWithinTheBoundEndTheWaitAsReady) {
  for (CONST UNCHANGED_CASE &Case : mUnchangedCases) {
    SCOPED_TRACE (Case.Name);
    SIM_HOST  Sim;

    HostReset ();
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_7);

    if (Case.FirstReads == 0) {
      SimHostSetScript (Config, { { Case.FirstValue, 0, NO_JUMP } });
    } else {
      SimHostSetScript (Config, { { Case.FirstValue, Case.FirstReads, NO_JUMP }, { Case.LastValue, 0, NO_JUMP } });
    }

    SIM_CONTROLLER  *Controller = Sim.Add (Config);

    DiscoverControllers ();

    EXPECT_EQ (Case.Ready ? 1u : 0u, mControllerTable.ControllerCount);
    EXPECT_EQ (!Case.Ready, mControllerTable.Controllers[0].Disabled);
    EXPECT_EQ (Case.Polls, SimGetCounters (Controller)->StatusReads);
    if (Case.State0) {
      // Six notices: the one at 35 s comes as a 2 s pause ends (33 + 2),
      // each of the other five falls inside a 2 s pause, which is split
      // there.
      EXPECT_EQ (2 * Case.Polls + 5, HostStallCount ());
      EXPECT_EQ (Case.Polls - 5, HostStallCountOf (STATE0_PAUSE_US));
    } else {
      EXPECT_EQ (Case.Polls, HostStallCountOf (PAUSE_US));
      EXPECT_EQ (Case.Polls, HostStallCount ());
    }

    EXPECT_EQ (Case.Polls * (PAUSE_US + (Case.State0 ? STATE0_PAUSE_US : 0)), HostClockNow ());
    EXPECT_EQ (!Case.Ready, HostConsoleText ().find ("left out: firmware never got ready..") != std::string::npos);
  }
}

TEST_F (DISCOVERY, AFirmwareThatNeverSettlesIsLeftOutAfterThreeMinutes) {
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

  // The value changes every 899 polls and never reaches a final state.
  Config.StatusStepCount = SIM_MAX_STATUS_STEPS;
  for (UINT32 Step = 0; Step < SIM_MAX_STATUS_STEPS; Step++) {
    Config.StatusSteps[Step] = { StateValue (1) | (Step & 1), 899, NO_JUMP };
  }

  mSim.Add (Config);
  SIM_CONTROLLER  *Ready = mSim.AddReady (MAKER_DEVICE_ID_MODEL_2);

  DiscoverControllers ();

  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  EXPECT_EQ (SimGetPciIo (Ready), mControllerTable.Controllers[0].PciIo);
  EXPECT_EQ (BRING_UP_LIMIT_US + PAUSE_US, HostClockNow ()) << "three minutes, then the next controller's one pause";
}

TEST_F (DISCOVERY, TheHandshakeCountsAgainstTheSameThreeMinutes) {
  //
  // A FlushReads model below revision 2: the handshake clears after N
  // writes of 1 ms each, then the firmware holds state 1. Its 900 unchanged
  // polls take three minutes of their own, which the bring-up no longer has
  // once the handshake took 30 s.
  //
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_8);

  Config.HandshakeWrites = 30000;
  SimHostSetScript (Config, { { StateValue (1), 0, NO_JUMP } });
  SIM_CONTROLLER  *Controller = mSim.Add (Config);

  DiscoverControllers ();

  EXPECT_EQ (0u, mControllerTable.ControllerCount);
  EXPECT_EQ (BRING_UP_LIMIT_US, HostClockNow ());
  EXPECT_EQ (750u, SimGetCounters (Controller)->StatusReads / 2) << "150 s of polls, each read twice";
  EXPECT_NE (std::string::npos, HostConsoleText ().find ("\nController at 0000:03:00.0 left out: firmware never got ready.."));
}

//
// What the user sees of a bring-up: notices of a long one, the line that
// leaves a controller out
//

TEST_F (DISCOVERY, ALongBringUpIsShownWhileItLasts) {
  struct {
    CONST char     *Name;
    UINT32         HandshakeWrites;
    UINT32         State0Reads;
    CONST char     *Console;
  } CONST  Cases[] = {
    { "ready in under 5 s", 0, 2, "" },
    {
      "ready after 16 polls in state 0",
      0,
      16,
      // Polls of 2.2 s: the third poll's long pause is split at 5.0 s for
      // the notice, the next one comes at 35.0 s.
      "\nWaiting for the controller at 0000:03:00.0 to get ready (firmware state 0): 5 s so far, at most 180 s."
      "\nWaiting for the controller at 0000:03:00.0 to get ready (firmware state 0): 35 s so far, at most 180 s."
      "\nThe controller at 0000:03:00.0 is ready after 35 s."
    },
    {
      "a 30 s handshake",
      30000,
      0,
      "\nWaiting for the controller at 0000:03:00.0 to answer the bring-up handshake: 5 s so far, at most 180 s."
      "\nThe controller at 0000:03:00.0 is ready after 30 s."
    },
  };

  for (CONST auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SIM_HOST  Sim;

    HostReset ();
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_8);

    Config.HandshakeWrites = Case.HandshakeWrites;
    if (Case.State0Reads != 0) {
      SimHostSetScript (Config, { { 0x00000000, Case.State0Reads * 2, NO_JUMP }, { READY, 0, NO_JUMP } });
    }

    Sim.Add (Config);
    DiscoverControllers ();

    EXPECT_EQ (1u, mControllerTable.ControllerCount);
    EXPECT_EQ (Case.Console, HostConsoleText ());
  }
}

TEST_F (DISCOVERY, AControllerStuckInStateZeroIsShownAndLeftOutAfterThreeMinutes) {
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

  Config.Location = { 0, 0x1A, 0x1F, 3 };
  SimHostSetScript (Config, { { 0x00000000, 0, NO_JUMP } });
  mSim.Add (Config);

  DiscoverControllers ();

  EXPECT_EQ (0u, mControllerTable.ControllerCount);
  EXPECT_EQ (82 * (STATE0_PAUSE_US + PAUSE_US), HostClockNow ());
  // Every notice on time: the pause that runs past one is split there.
  EXPECT_EQ (
    "\nWaiting for the controller at 0000:1A:1F.3 to get ready (firmware state 0): 5 s so far, at most 180 s."
    "\nWaiting for the controller at 0000:1A:1F.3 to get ready (firmware state 0): 35 s so far, at most 180 s."
    "\nWaiting for the controller at 0000:1A:1F.3 to get ready (firmware state 0): 65 s so far, at most 180 s."
    "\nWaiting for the controller at 0000:1A:1F.3 to get ready (firmware state 0): 95 s so far, at most 180 s."
    "\nWaiting for the controller at 0000:1A:1F.3 to get ready (firmware state 0): 125 s so far, at most 180 s."
    "\nWaiting for the controller at 0000:1A:1F.3 to get ready (firmware state 0): 155 s so far, at most 180 s."
    "\nController at 0000:1A:1F.3 left out: firmware never got ready..",
    HostConsoleText ()
    );
}

TEST_F (DISCOVERY, EachControllerLeftOutIsNamedWithItsReason) {
  struct {
    CONST char    *Name;
    UINT16        DeviceId;
    CONST char    *Scenario;
    CONST char    *Reason;
  } CONST  Cases[] = {
    // The handshake takes a minute: its notices come first (checked below).
    { "fault",                   MAKER_DEVICE_ID_MODEL_1, " status 0xF0000000 0\n",                                          "firmware fault"            },
    { "failing after doorbell",  MAKER_DEVICE_ID_MODEL_1, " status 0x60000000 1\n status 0x20000000 0\n",                   "firmware fault"            },
    { "handshake",               MAKER_DEVICE_ID_MODEL_8, " handshake never\n",                                               "handshake not answered"    },
    { "no BAR at the slot",      MAKER_DEVICE_ID_MODEL_1, " bar 0 io 0xC000\n",                                              "register window not found" },
    { "slot is an upper half",   MAKER_DEVICE_ID_MODEL_1, " bar 1 mem64 0x1000000000\n",                                     "register window not found" },
    { "upper half, no attributes", MAKER_DEVICE_ID_MODEL_1, " bar 1 mem64 0x1000000000\n bar-attributes unsupported\n",    "register window not found" },
  };

  for (CONST auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SIM_HOST  Sim;
    char      Device[16];

    HostReset ();
    std::snprintf (Device, sizeof (Device), "0x%04X", Case.DeviceId);
    ASSERT_TRUE (Sim.Load (std::string ("controller ") + Device + "\n location 1 0x82 0 1\n" + Case.Scenario));

    DiscoverControllers ();

    std::string  Console = HostConsoleText ();
    std::string  Line    = std::string ("\nController at 0001:82:00.1 left out: ") + Case.Reason + "..";

    EXPECT_EQ (0u, mControllerTable.ControllerCount);
    if (Case.DeviceId == MAKER_DEVICE_ID_MODEL_8) {
      Line = "\nWaiting for the controller at 0001:82:00.1 to answer the bring-up handshake: 5 s so far, at most 180 s."
             "\nWaiting for the controller at 0001:82:00.1 to answer the bring-up handshake: 35 s so far, at most 180 s." + Line;
    }

    EXPECT_EQ (Line, Console);
  }
}

TEST_F (DISCOVERY, AControllerLeftOutForItsWindowIsNotTouched) {
  ASSERT_TRUE (mSim.Load ("controller\n bar 0 io 0xC000\n"));

  DiscoverControllers ();

  EXPECT_EQ (0u, mControllerTable.ControllerCount);
  EXPECT_TRUE (mControllerTable.Controllers[0].Disabled);
  ASSERT_EQ (1u, SimAccessCount (mSim[0])) << "the header read, and no register access";
  EXPECT_EQ (SIM_ACCESS_KIND::PCI_READ, SimGetAccess (mSim[0], 0)->Kind);
  EXPECT_EQ (0u, HostClockNow ());
}

//
// A register window above 4 GiB
//

TEST_F (DISCOVERY, AWindowAbove4GiBIsReachedThroughItsBar) {
  struct {
    UINT64     Address;
    BOOLEAN    Above4G;
  } CONST  Cases[] = {
    { 0x0000000120000000ull, TRUE  },
    { 0x00000000C0000000ull, FALSE },
  };

  for (CONST auto &Case : Cases) {
    SCOPED_TRACE (::testing::Message () << std::hex << Case.Address);
    SIM_HOST  Sim;

    HostReset ();
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_11);

    std::memset (Config.Bars, 0, sizeof (Config.Bars));
    Config.Bars[1] = { SIM_BAR_KIND::MEM64, Case.Address };
    SimHostSetScript (Config, { { WAIT_DOOR, 1, NO_JUMP }, { READY, 0, NO_JUMP } });
    SIM_CONTROLLER  *Controller = Sim.Add (Config);

    DiscoverControllers ();

    ASSERT_EQ (1u, mControllerTable.ControllerCount);
    EXPECT_EQ (Case.Above4G, mControllerTable.Controllers[0].WindowAbove4G);

    std::vector<SIM_ACCESS_RECORD>  Rings = WritesTo (Controller, 0x20);

    ASSERT_EQ (1u, Rings.size ()) << "the doorbell reached the controller";
    if (Case.Above4G) {
      EXPECT_EQ (1u, Rings[0].BarIndex);
      EXPECT_EQ (0x20u, Rings[0].Offset);
    } else {
      EXPECT_EQ (EFI_PCI_IO_PASS_THROUGH_BAR, Rings[0].BarIndex);
      EXPECT_EQ (Case.Address + 0x20, Rings[0].Offset);
    }

    EXPECT_EQ (0u, SimGetCounters (Controller)->StrayAccesses);
  }
}

//
// Which BAR index PCI I/O knows the register window by
//

TEST_F (DISCOVERY, AWindowBehindA64BitBarIsReachedThroughItsPciIoIndex) {
  //
  // Row 1 names configuration slot 2. Slots 0-1 hold a 64-bit memory BAR,
  // which the PCI bus driver counts as one BAR, so PCI I/O knows the I/O
  // window as BAR 1. The platform either says so through GetBarAttributes
  // or does not answer it at all.
  //
  for (BOOLEAN AttributesUnsupported : { FALSE, TRUE }) {
    SCOPED_TRACE (AttributesUnsupported ? "without GetBarAttributes" : "with GetBarAttributes");
    SIM_HOST  Sim;

    HostReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

    std::memset (Config.Bars, 0, sizeof (Config.Bars));
    Config.Bars[0]                  = { SIM_BAR_KIND::MEM64, 0x4FE000000ull };
    Config.Bars[2]                  = { SIM_BAR_KIND::IO, 0xE000 };
    Config.BarAttributesUnsupported = AttributesUnsupported;
    SimHostSetScript (Config, { { WAIT_DOOR, 1, NO_JUMP }, { READY, 0, NO_JUMP } });
    SIM_CONTROLLER  *Controller = Sim.Add (Config);

    DiscoverControllers ();

    ASSERT_EQ (1u, mControllerTable.ControllerCount);
    EXPECT_EQ (0xE000u, mControllerTable.Controllers[0].RegisterBase);
    EXPECT_EQ (0u, SimGetCounters (Controller)->StrayAccesses) << "every access reached the window";
    EXPECT_EQ (1u, SimGetCounters (Controller)->DoorbellRings);
    EXPECT_EQ (2 * PAUSE_US, HostClockNow ()) << "ready at the second poll, not after a long wait";

    std::vector<SIM_ACCESS_RECORD>  Rings = WritesTo (Controller, 0x20);

    ASSERT_EQ (1u, Rings.size ());
    EXPECT_EQ (EFI_PCI_IO_PASS_THROUGH_BAR, Rings[0].BarIndex);
    EXPECT_EQ (0xE020u, Rings[0].Offset);
    for (UINT32 Index = 0; Index < SimAccessCount (Controller); Index++) {
      CONST SIM_ACCESS_RECORD  *Record = SimGetAccess (Controller, Index);

      if ((Record->Kind == SIM_ACCESS_KIND::IO_READ) && (Record->BarIndex != EFI_PCI_IO_PASS_THROUGH_BAR)) {
        EXPECT_EQ (1u, Record->BarIndex) << "a BAR-relative read names the window by its PCI I/O index";
      }
    }
  }
}

//
// Windows as each platform describes them: at address 0, behind a root
// bridge's address translation, or not described at all
//

TEST_F (DISCOVERY, TheWindowIsFoundAsThePlatformDescribesIt) {
  //
  // Model 1 has its I/O window in slot 2, model 11 its memory window in
  // slot 1. Pass-through accesses carry bus addresses, whatever host
  // address the platform gives the BAR.
  //
  struct {
    CONST char    *Name;
    UINT16        DeviceId;
    CONST char    *Scenario;
    BOOLEAN       Found;
    UINT8         PciBarIndex;
    UINT32        RegisterBase;
  } CONST  Cases[] = {
    { "I/O window at address 0",                MAKER_DEVICE_ID_MODEL_1,  " bar 0 mem32 0x10000000\n bar 2 io 0\n",                         TRUE,  2, 0x0        },
    { "I/O window at 0 behind a 64-bit BAR",    MAKER_DEVICE_ID_MODEL_1,  " bar 0 mem64 0x8000000000\n bar 2 io 0\n",                        TRUE,  1, 0x0        },
    { "memory window behind a translation",     MAKER_DEVICE_ID_MODEL_11, " bar 1 mem32 0xC0000000\n translation 0x40000000\n",              TRUE,  1, 0xC0000000 },
    { "translation that lowers the host address", MAKER_DEVICE_ID_MODEL_11, " bar 1 mem32 0x10000000\n translation 0xFFFFFF8000000000\n",   TRUE,  1, 0x10000000 },
    { "address 0, no BAR described at all",     MAKER_DEVICE_ID_MODEL_1,  " bar 2 io 0\n bar-attributes unsupported\n",                     FALSE, 0, 0          },
    { "address not aligned to the BAR's length", MAKER_DEVICE_ID_MODEL_1, " bar 2 io 0xC010\n",                                               FALSE, 0, 0          },
  };

  for (CONST auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SIM_HOST  Sim;
    char      Device[16];

    HostReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    std::snprintf (Device, sizeof (Device), "0x%04X", Case.DeviceId);
    ASSERT_TRUE (Sim.Load (std::string ("controller ") + Device + "\n" + Case.Scenario + " status 0x60000000 1\n status 0xB0000000 0\n"));

    DiscoverControllers ();

    if (!Case.Found) {
      EXPECT_EQ (0u, mControllerTable.ControllerCount);
      EXPECT_EQ ("\nController at 0000:03:00.0 left out: register window not found..", HostConsoleText ());
      continue;
    }

    ASSERT_EQ (1u, mControllerTable.ControllerCount) << HostConsoleText ();
    EXPECT_EQ (Case.PciBarIndex, mControllerTable.Controllers[0].PciBarIndex);
    EXPECT_EQ (Case.RegisterBase, mControllerTable.Controllers[0].RegisterBase);
    EXPECT_EQ (0u, SimGetCounters (Sim[0])->StrayAccesses) << "every access reached the window";

    std::vector<SIM_ACCESS_RECORD>  Rings = WritesTo (Sim[0], 0x20);

    ASSERT_EQ (1u, Rings.size ()) << "the doorbell reached the controller";
    EXPECT_EQ (EFI_PCI_IO_PASS_THROUGH_BAR, Rings[0].BarIndex);
    EXPECT_EQ (Case.RegisterBase + 0x20u, Rings[0].Offset);
  }
}
