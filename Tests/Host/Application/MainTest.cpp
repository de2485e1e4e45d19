/** @file
  Tests of the entry from the shell and the command-line flow: silence
  without controllers, every refused command line, the strict index and its
  conversion, the index test against the controller count, the closing
  messages of an update and a check, the force and check words, the exit
  status of each outcome, and the start-up and exit hooks.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <algorithm>
#include <cstring>
#include <string>

#include "HostTest.h"
#include "HostConsole.h"
#include "HostMemoryAllocationLib.h"
#include "SimHost.h"
#include "HostShellLib.h"
#include "ImageBuilder.h"

#include "Application/CommandLine.h"

namespace {

class MAIN : public HOST_TEST {
protected:
  SIM_HOST    mSim;

  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    HostShellReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    mForceUpdate = FALSE;
    mCheckOnly   = FALSE;
  }

  void
  TearDown (
    ) override
  {
    EXPECT_EQ (nullptr, mExitHooks) << "the exit-hook table outlived the run";
    HostShellReset ();
    HOST_TEST::TearDown ();
  }

  ///
  /// Exit status of the last Run.
  ///
  EFI_STATUS  mStatus = EFI_SUCCESS;

  ///
  /// Run the application with the given arguments (the program name is
  /// added), return what the console shows and keep the exit status in
  /// mStatus.
  ///
  std::string
  Run (
    const std::vector<std::u16string>  &Arguments
    )
  {
    return HostRunApplication (Arguments, &mStatus);
  }

  ///
  /// Frames issued to every simulated controller.
  ///
  UINT32
  FramesIssued (
    ) const
  {
    UINT32  Frames = 0;

    for (UINTN Index = 0; Index < mSim.Count (); Index++) {
      Frames += SimFrameCount (mSim[Index]);
    }

    return Frames;
  }
};

std::string
Printable (
  const std::vector<std::u16string>  &Arguments
  )
{
  std::string  Text;

  for (const std::u16string &Argument : Arguments) {
    Text += "\"";
    for (char16_t Character : Argument) {
      Text += (Character >= 0x20 && Character < 0x7F) ? static_cast<char> (Character) : '?';
    }

    Text += "\" ";
  }

  return Text;
}

} // namespace

//
// No controller: nothing is printed but an update's result line
//

TEST_F (MAIN, WithoutAControllerOnlyTheResultLineIsPrinted) {
  //
  // The exit status still tells a script what happened: a listing of no
  // controller is fine, an update or check has nothing to work on, a
  // malformed command line is refused.
  //
  const struct {
    std::vector<std::u16string>    Line;
    EFI_STATUS                     Status;
  } Lines[] = {
    { {},                                 EFI_SUCCESS           },
    { { u"fw.bin" },                      EFI_INVALID_PARAMETER },
    { { u"fw.bin", u"0" },                EFI_NOT_FOUND         },
    { { u"fw.bin", u"0", u"force" },      EFI_NOT_FOUND         },
    { { u"fw.bin", u"0", u"check" },      EFI_NOT_FOUND         },
    { { u"fw.bin", u"x" },                EFI_INVALID_PARAMETER },
    { { u"fw.bin", u"0x1" },              EFI_INVALID_PARAMETER },
    { { u"a", u"b", u"c", u"d" },         EFI_INVALID_PARAMETER },
  };

  // A device of another vendor is no controller either.
  SIM_CONFIG  Foreign = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

  Foreign.VendorId = 0x10DE;

  for (BOOLEAN WithForeignDevice : { FALSE, TRUE }) {
    if (WithForeignDevice) {
      mSim.Add (Foreign);
    }

    for (const auto &Line : Lines) {
      //
      // Only an update or check command line says anything: its result line.
      //
      EXPECT_EQ ("", Run (Line.Line)) << Printable (Line.Line);
      if (Line.Line.empty ()) {
        EXPECT_EQ ("", HostLastResultLine ());
      } else {
        EXPECT_EQ ((Line.Status == EFI_NOT_FOUND) ? "ctlflash result: FAILED, no controller, exit status 0xE"
                                                  : "ctlflash result: FAILED, no controller, exit status 0x2",
                   HostLastResultLine ()) << Printable (Line.Line);
      }

      EXPECT_EQ (Line.Status, mStatus) << Printable (Line.Line);
      EXPECT_EQ (0u, mControllerTable.ControllerCount);
    }
  }
}

//
// Refused command lines
//

TEST_F (MAIN, MalformedCommandLinesAreRefusedBeforeAnyRequest) {
  const std::string  COUNT = "\nExpected: ctlflash.efi FwFile idx|SSSS:BB:DD.F|BB:DD.F|all [force|check] [-sfo]";
  const std::string  NOT_A_TARGET = "\nNot a controller index, a PCI location (SSSS:BB:DD.F or BB:DD.F) or all: ";
  const std::string  NOT_A_MODE   = "\nThe third word must be force or check, not ";

  const struct {
    std::vector<std::u16string>    Line;
    std::string                    Fault;   // the line after "Invalid arguments .."
  } Lines[] = {
    { { u"fw.bin" },                                   COUNT },                       // Argc 2
    { { u"fw.bin", u"0", u"force", u"x" },             COUNT },                       // Argc 5
    { { u"fw.bin", u"0", u"force", u"x", u"y", u"z" }, COUNT },                       // Argc 7
    { { u"fw.bin", u"a1" },                            NOT_A_TARGET + "\"a1\"" },     // index starts with a letter
    { { u"fw.bin", u"-1" },                            NOT_A_TARGET + "\"-1\"" },     // ... a minus sign
    { { u"fw.bin", u"+1" },                            NOT_A_TARGET + "\"+1\"" },
    { { u"fw.bin", u" 1" },                            NOT_A_TARGET + "\" 1\"" },     // ... a blank
    { { u"fw.bin", u"\t1" },                           NOT_A_TARGET + "\"?1\"" },
    { { u"fw.bin", u"" },                              NOT_A_TARGET + "\"\"" },       // empty index
    { { u"fw.bin", u"\u0130" },                        NOT_A_TARGET + "\"?\"" },      // low byte is "0", the character is not
    { { u"fw.bin", u"\uFF11" },                        NOT_A_TARGET + "\"?\"" },      // a full-width digit one
    { { u"fw.bin", u"0x1" },                           NOT_A_TARGET + "\"0x1\"" },    // the index is decimal digits only
    { { u"fw.bin", u"1a" },                            NOT_A_TARGET + "\"1a\"" },
    { { u"fw.bin", u"1O" },                            NOT_A_TARGET + "\"1O\"" },     // a letter O for a zero
    { { u"fw.bin", u"1x" },                            NOT_A_TARGET + "\"1x\"" },
    { { u"fw.bin", u"12abc" },                         NOT_A_TARGET + "\"12abc\"" },
    { { u"fw.bin", u"3 4" },                           NOT_A_TARGET + "\"3 4\"" },
    { { u"fw.bin", u"1 " },                            NOT_A_TARGET + "\"1 \"" },
    { { u"fw.bin", u"2\u0141" },                       NOT_A_TARGET + "\"2?\"" },     // narrows to "2A"
    { { u"fw.bin", u"1\u0130" },                       NOT_A_TARGET + "\"1?\"" },     // narrows to "10": not a digit as given
    { { u"fw.bin", u"ALL" },                           NOT_A_TARGET + "\"ALL\"" },    // only "all" itself
    { { u"fw.bin", u"3:00.0" },                        NOT_A_TARGET + "\"3:00.0\"" }, // a location has its digits
    { { u"fw.bin", u"0000:03:00" },                    NOT_A_TARGET + "\"0000:03:00\"" },
    { { u"fw.bin", u"0", u"Force" },                   NOT_A_MODE + "\"Force\"" },    // only "force" itself
    { { u"fw.bin", u"0", u"FORCE" },                   NOT_A_MODE + "\"FORCE\"" },
    { { u"fw.bin", u"0", u"force " },                  NOT_A_MODE + "\"force \"" },
    { { u"fw.bin", u"0", u"" },                        NOT_A_MODE + "\"\"" },
    { { u"fw.bin", u"0", u"-force" },                  NOT_A_MODE + "\"-force\"" },
    { { u"fw.bin", u"0", u"-SFO" },                    NOT_A_MODE + "\"-SFO\"" },
    { { u"fw.bin", u"0", u"Check" },                   NOT_A_MODE + "\"Check\"" },    // only "check" itself
    { { u"fw.bin", u"0", u"check " },                  NOT_A_MODE + "\"check \"" },
    { { u"fw.bin", u"0", u"check", u"force" },         COUNT },
    { { u"fw.bin", u"0", u"force", u"check" },         COUNT },
  };

  mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);
  mSim.AddReady (MAKER_DEVICE_ID_MODEL_11);

  for (const auto &Case : Lines) {
    EXPECT_EQ ("\nInvalid arguments .." + Case.Fault, Run (Case.Line)) << Printable (Case.Line);
    EXPECT_EQ (EFI_INVALID_PARAMETER, mStatus) << Printable (Case.Line);
    EXPECT_EQ ("ctlflash result: FAILED, no controller, exit status 0x2", HostLastResultLine ()) << Printable (Case.Line);
    EXPECT_EQ (0u, FramesIssued ()) << Printable (Case.Line) << ": the inventory queries must not run";
    EXPECT_EQ (0u, HostShellOpenCalls ().size ()) << Printable (Case.Line);
  }
}

TEST_F (MAIN, ArgumentsLongerThan255CharactersAreRefused) {
  const std::u16string  LongName (256, u'f');
  const std::u16string  LongIndex (256, u'0');

  mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);

  for (const auto &Line : std::vector<std::vector<std::u16string> > {
         { LongName, u"0" },
         { u"fw.bin", LongIndex },
         { LongName, LongIndex, u"force" },
         { std::u16string (4096, u'x'), u"0" },
       })
  {
    EXPECT_EQ ("\nInvalid arguments ..\nAn argument is longer than 255 characters.", Run (Line))
      << Line[0].size () << " / " << Line[1].size () << " characters";
    EXPECT_EQ (EFI_INVALID_PARAMETER, mStatus);
    EXPECT_EQ (0u, HostShellOpenCalls ().size ());
  }
}

TEST_F (MAIN, AnIndexWhoseDigitsDoNotFit32BitsIsRefused) {
  mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);

  for (const char16_t *Index : { u"4294967296", u"4294967297", u"99999999999", u"00000000004294967296",
                                 u"18446744073709551617" })
  {
    const std::string  Quoted = Printable ({ Index });   // "digits" and a blank

    EXPECT_EQ ("\nInvalid arguments ..\nNot a controller index, a PCI location (SSSS:BB:DD.F or BB:DD.F) or all: "
               + Quoted.substr (0, Quoted.size () - 1),
               Run ({ u"fw.bin", Index })) << Quoted;
    EXPECT_EQ (EFI_INVALID_PARAMETER, mStatus);
    EXPECT_EQ (0u, FramesIssued ());
  }
}

//
// The index test
//

TEST_F (MAIN, AnIndexOfDecimalDigitsIsConverted) {
  struct {
    std::u16string    Index;
    CONST char        *Shown;
  } CONST  Cases[] = {
    { u"1",          "1"           },
    { u"007",        "7"           },
    { u"12",         "12"          },
    { u"4294967295", "-1"          },   // fits 32 bits; shown as the signed value
    { u"2147483648", "-2147483648" },
    { std::u16string (254, u'0') + u"9", "9" },   // 255 characters still fit
  };

  mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);

  for (const auto &Case : Cases) {
    EXPECT_EQ (std::string ("\nInvalid controller index (idx = ") + Case.Shown + ") !", Run ({ u"fw.bin", Case.Index }))
      << Printable ({ Case.Index });
    EXPECT_EQ (EFI_NOT_FOUND, mStatus);
    EXPECT_EQ (0u, HostShellOpenCalls ().size ()) << "no update is attempted";
  }
}

TEST_F (MAIN, AnIndexNotBelowTheCountIsRefusedAfterTheInventory) {
  SIM_CONTROLLER  *First  = mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);
  SIM_CONTROLLER  *Second = mSim.AddReady (MAKER_DEVICE_ID_MODEL_8);

  EXPECT_EQ ("\nInvalid controller index (idx = 2) !", Run ({ u"fw.bin", u"2" }));
  EXPECT_EQ (EFI_NOT_FOUND, mStatus);

  EXPECT_EQ (2u, mControllerTable.ControllerCount);
  for (SIM_CONTROLLER *Sim : { First, Second }) {
    EXPECT_EQ (1u, SimOpcodeCount (Sim, OP_CTRL_INFO)) << "the inventory ran";
    EXPECT_EQ (0u, SimOpcodeCount (Sim, OP_FLASH_OPEN));
    EXPECT_EQ (0u, SimOpcodeCount (Sim, OP_FLASH_CLOSE));
  }

  EXPECT_EQ (0u, HostShellOpenCalls ().size ());
}

TEST_F (MAIN, ForceAndCheckAreSetByTheThirdArgumentAndClearedByTheNextRun) {
  mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);

  EXPECT_EQ ("\nInvalid controller index (idx = 3) !", Run ({ u"fw.bin", u"3", u"force" }));
  EXPECT_TRUE (mForceUpdate);
  EXPECT_FALSE (mCheckOnly);

  EXPECT_EQ ("\nInvalid controller index (idx = 3) !", Run ({ u"fw.bin", u"3", u"check" }));
  EXPECT_FALSE (mForceUpdate);
  EXPECT_TRUE (mCheckOnly);

  EXPECT_EQ ("\nInvalid controller index (idx = 3) !", Run ({ u"fw.bin", u"3" }));
  EXPECT_FALSE (mForceUpdate);
  EXPECT_FALSE (mCheckOnly);
}

//
// Listing and update
//

TEST_F (MAIN, WithoutArgumentsTheControllersAreListed) {
  SIM_CONTROLLER  *Sim = mSim.AddReady (MAKER_DEVICE_ID_MODEL_4);

  std::string  Console = Run ({});

  EXPECT_EQ (1u, SimOpcodeCount (Sim, OP_CTRL_INFO));
  EXPECT_NE (std::string::npos, Console.find (SimGetConfig (Sim)->ProductName)) << Console;
  EXPECT_EQ (std::string::npos, Console.find ("Invalid")) << Console;
  EXPECT_EQ (EFI_SUCCESS, mStatus);
}

TEST_F (MAIN, AFailedUpdateEndsWithItsMessageAndItsStatus) {
  SIM_CONTROLLER  *Sim = mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);

  // No such file: the file layer says why, then the closing message follows.
  std::string  Console = Run ({ u"missing.bin", u"0" });

  ASSERT_GE (Console.size (), std::strlen ("\nUpdated failed.."));
  EXPECT_EQ ("\nUpdated failed..", Console.substr (Console.size () - std::strlen ("\nUpdated failed..")));
  EXPECT_EQ (std::string::npos, Console.find ("Successfully"));
  EXPECT_EQ (EFI_LOAD_ERROR, mStatus) << "the file cannot be read";
  EXPECT_EQ (0u, SimOpcodeCount (Sim, OP_FLASH_OPEN));

  ASSERT_EQ (1u, HostShellOpenCalls ().size ());
  EXPECT_EQ (u"missing.bin", HostShellOpenCalls ()[0].Name);
}

TEST_F (MAIN, AFileNameBeyondLatin1IsRefusedBeforeAnyFileIsOpened) {
  //
  // Narrowed to one byte per character these would name other files:
  // U+0100 would end the name after "fw", U+0141 would become "A".
  //
  mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);
  HostShellWriteFile ("fw", { 1, 2, 3 });
  HostShellWriteFile ("Aissing.bin", { 1, 2, 3 });

  for (const std::u16string &Name : { std::u16string (u"fw\u0100old.img"), std::u16string (u"\u0141issing.bin"),
                                      std::u16string (u"fw.bin\uFFFF") })
  {
    for (const char16_t *Mode : { u"", u"force", u"check" }) {
      std::vector<std::u16string>  Line = { Name, u"0" };

      if (*Mode != 0) {
        Line.push_back (Mode);
      }

      SCOPED_TRACE (Printable (Line));

      std::string  Console = Run (Line);

      EXPECT_EQ ("\nFwFile has a character above U+00FF; such a file name cannot be opened..", Console);
      EXPECT_EQ (EFI_INVALID_PARAMETER, mStatus);
      EXPECT_EQ (0u, HostShellOpenCalls ().size ());
      EXPECT_EQ (0u, FramesIssued ()) << "refused before the inventory";
    }
  }

  //
  // A name in Latin-1 reaches the shell as it was typed (the host file name
  // is its UTF-8 form).
  //
  SIM_CONFIG                Config = *SimGetConfig (mSim[0]);
  ImageTool::IMAGE_BUILDER  Image;

  Image.Support ({ Config.VendorId, Config.DeviceId, Config.SubsystemVendorId, Config.SubsystemId })
    .Component (ImageTool::KnownFamilies ()[0], ImageTool::KnownTypes ()[0], 100);
  HostShellWriteFile ("f\xC3\xBCr \xC3\xBF.bin", Image.Build ());

  std::string  Console = Run ({ u"f\u00FCr \u00FF.bin", u"0", u"check" });

  EXPECT_NE (std::string::npos, Console.find ("\nCheck passed: the update would go ahead..\n")) << Console;
  EXPECT_EQ (EFI_SUCCESS, mStatus);
  ASSERT_EQ (1u, HostShellOpenCalls ().size ());
  EXPECT_EQ (u"f\u00FCr \u00FF.bin", HostShellOpenCalls ()[0].Name);
}

TEST_F (MAIN, ASuccessfulUpdateEndsWithItsMessage) {
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_2);

  mSim.Add (Config);

  ImageTool::IMAGE_BUILDER  Image;

  Image.Support ({ Config.VendorId, Config.DeviceId, Config.SubsystemVendorId, Config.SubsystemId })
    .Component (ImageTool::KnownFamilies ()[0], ImageTool::KnownTypes ()[0], 40000, 7);
  HostShellWriteFile ("fw.bin", Image.Build ());

  std::string  Console = Run ({ u"fw.bin", u"0", u"force" });

  EXPECT_EQ (
    "\nSuccessfully updated firmware..\n",
    Console.substr (Console.size () - std::min (Console.size (), std::strlen ("\nSuccessfully updated firmware..\n")))
    ) << Console;
  EXPECT_EQ (EFI_SUCCESS, mStatus);
  ASSERT_EQ (1u, SimCommitCount (mSim[0]));
  EXPECT_TRUE (mForceUpdate);

  //
  // The same image checked: the closing message is the check's own, and
  // nothing more is committed.
  //
  Console = Run ({ u"fw.bin", u"0", u"check" });
  EXPECT_EQ (
    "\nCheck passed: the update would go ahead..\n",
    Console.substr (Console.size () - std::min (Console.size (), std::strlen ("\nCheck passed: the update would go ahead..\n")))
    ) << Console;
  EXPECT_EQ (EFI_SUCCESS, mStatus);
  EXPECT_EQ (1u, SimCommitCount (mSim[0]));
  EXPECT_EQ (std::string::npos, Console.find ("Successfully")) << Console;
}

//
// Start-up and exit hooks
//

TEST_F (MAIN, AnExitHookTableThatCannotBeAllocatedChangesNothing) {
  mSim.AddReady (MAKER_DEVICE_ID_MODEL_1);
  HostPoolFailNth (1);   // the first allocation of a run is the table

  EXPECT_EQ ("\nInvalid arguments ..\nNot a controller index, a PCI location (SSSS:BB:DD.F or BB:DD.F) or all: \"x\"",
             Run ({ u"fw.bin", u"x" }));
  EXPECT_EQ (EFI_INVALID_PARAMETER, mStatus);
  EXPECT_EQ (1u, HostPoolFailedCount ());
}

namespace {

std::vector<int>  mHookCalls;

VOID
HookOne (
  VOID
  )
{
  mHookCalls.push_back (1);
}

VOID
HookTwo (
  VOID
  )
{
  mHookCalls.push_back (2);
}

} // namespace

TEST_F (MAIN, HooksRunFirstToLastAndSkipEmptyEntries) {
  APPLICATION_HOOK  Range[] = { HookTwo, NULL, HookOne, HookTwo };

  mHookCalls.clear ();
  CallHookRange (Range, Range + 4);
  CallHookRange (Range, Range);
  EXPECT_EQ ((std::vector<int> { 2, 1, 2 }), mHookCalls);

  mHookCalls.clear ();
  RunStartupHooks ();
  ASSERT_NE (nullptr, mExitHooks);
  EXPECT_EQ (128u, mExitHookCapacity);
  EXPECT_TRUE (mHookCalls.empty ()) << "the start-up list holds only a null entry";

  mExitHooks[0]  = HookOne;
  mExitHooks[2]  = HookTwo;
  mExitHooks[3]  = HookOne;
  mExitHookCount = 4;
  RunExitHooks ();
  EXPECT_EQ ((std::vector<int> { 1, 2, 1 }), mHookCalls) << "in the order of registration, not reversed";
}

//
// Narrowing and decimal conversion
//

TEST_F (MAIN, NarrowingKeepsTheLowByteOfEachCharacter) {
  CHAR8  Buffer[16];

  std::memset (Buffer, 0x55, sizeof (Buffer));
  EXPECT_EQ (Buffer, UnicodeToAsciiCopy (Buffer, reinterpret_cast<CONST CHAR16 *> (u"a\u0141\u00FF\u1230")));
  EXPECT_EQ (0, std::memcmp (Buffer, "aA\xFF\x30", 5));
  EXPECT_EQ (0x55, Buffer[5]) << "nothing after the NUL is written";

  UnicodeToAsciiCopy (Buffer, reinterpret_cast<CONST CHAR16 *> (u""));
  EXPECT_EQ (0, Buffer[0]);
}

TEST_F (MAIN, DecimalConversion) {
  struct {
    CONST CHAR8    *Text;
    INT32          Value;
  } CONST  Cases[] = {
    { "0",           0           },
    { "42",          42          },
    { "  \t 17",     17          },
    { "-5",          -5          },
    { "+8",          8           },
    { "- 5",         0           },
    { "",            0           },
    { "abc",         0           },
    { "12abc",       12          },
    { "2147483647",  2147483647  },
    { "2147483648",  INT32 (0x80000000u) },
    { "4294967295",  -1          },
    { "4294967296",  0           },   // wraps modulo 2^32
    { "4294967298",  2           },
    { "-4294967295", 1           },
  };

  for (const auto &Case : Cases) {
    EXPECT_EQ (Case.Value, AsciiToInt (Case.Text)) << "\"" << Case.Text << "\"";
  }
}
