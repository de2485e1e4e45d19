/** @file
  Tests of the update and check runs by target (an index, a PCI location,
  "all"), their result lines, and the standard-format records of the
  listing and of the updates, run through the real command line against
  simulated controllers.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "HostConsole.h"
#include "HostHandleDatabase.h"
#include "HostShellLib.h"
#include "ImageBuilder.h"
#include "SimHost.h"

#include "Application/CommandLine.h"
#include "Application/StandardFormat.h"
#include "Application/UpdateRun.h"

extern "C" {
#include <Library/BaseLib.h>
}

namespace {

using ImageTool::IMAGE_BUILDER;

const std::string  FAMILY  = "TQ10";
const std::string  SUCCESS = "\nSuccessfully updated firmware..\n";

///
/// Two healthy controllers of one model and subsystem at 0000:10:00.0 and
/// 0000:11:00.0, behind one that never gets ready (left out at bring-up,
/// so the first of the pair takes index 0), and a third of the same model
/// with another subsystem at 0000:12:00.0.
///
const std::string  FLEET =
  "controller 0x0A11\n"
  "  location 0 0x0F 0 0\n"
  "  status 0xF0000000 0\n"
  "controller 0x0A11\n"
  "  location 0 0x10 0 0\n"
  "  subsystem 0x1F3A 0x0101\n"
  "controller 0x0A11\n"
  "  location 0 0x11 0 0\n"
  "  subsystem 0x1F3A 0x0101\n"
  "controller 0x0A11\n"
  "  location 0 0x12 0 0\n"
  "  subsystem 0x1F3A 0x0202\n";

size_t
Occurrences (
  const std::string  &Text,
  const std::string  &Part
  )
{
  size_t  Count = 0;

  for (size_t At = Text.find (Part); At != std::string::npos; At = Text.find (Part, At + 1)) {
    Count++;
  }

  return Count;
}

class UPDATE_RUN : public HOST_TEST {
protected:
  SIM_HOST    mSim;
  EFI_STATUS  mStatus = EFI_SUCCESS;

  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    HostShellReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    std::memset (&mLeftOutTable, 0, sizeof (mLeftOutTable));
  }

  void
  TearDown (
    ) override
  {
    EXPECT_FALSE (SfoIsOn ()) << "standard-format output outlived the run";
    HostShellReset ();
    HOST_TEST::TearDown ();
  }

  void
  Load (
    const std::string  &Scenario
    )
  {
    std::string  Error;

    ASSERT_TRUE (mSim.Load (Scenario, &Error)) << Error;
  }

  ///
  /// Write fw.bin with one "APP " component of Size bytes for the subsystem
  /// 0x1F3A:0x0101 of model 0x0A11; return its bytes.
  ///
  std::vector<UINT8>
  WriteImage (
    UINT32  Size = 5000
    )
  {
    IMAGE_BUILDER  Image;

    Image.Support ({ 0x1F3A, 0x0A11, 0x1F3A, 0x0101 });
    Image.Component (FAMILY, "APP ", Size, 0x40);

    std::vector<UINT8>  Bytes = Image.Build ();

    HostShellWriteFile ("fw.bin", Bytes);
    return Bytes;
  }

  ///
  /// The CRC-32 of fw.bin as the Update record shows it.
  ///
  static std::string
  Crc32Text (
    )
  {
    std::vector<UINT8>  Bytes = HostShellReadFileBytes ("fw.bin");
    char                Text[16];

    std::snprintf (Text, sizeof (Text), "%08X", CalculateCrc32 (Bytes.data (), Bytes.size ()));
    return Text;
  }

  std::string
  Run (
    const std::vector<std::u16string>  &Arguments
    )
  {
    return HostRunApplication (Arguments, &mStatus);
  }
};

//
// Targets
//

TEST_F (UPDATE_RUN, ALocationSelectsItsControllerWhateverItsIndex) {
  //
  // The controller in front of the pair is left out, so 0000:11:00.0 has
  // index 1; with the long and the short form alike only it is flashed.
  //
  for (const char16_t *Location : { u"0000:11:00.0", u"11:00.0" }) {
    SCOPED_TRACE (std::string (Location, Location + std::char_traits<char16_t>::length (Location)));
    SIM_HOST  Sim;
    std::string  Error;

    HostClearHandles ();
    ASSERT_TRUE (Sim.Load (FLEET, &Error)) << Error;
    WriteImage ();

    std::string  Console = Run ({ u"fw.bin", Location });

    EXPECT_EQ (EFI_SUCCESS, mStatus);
    EXPECT_EQ (0u, SimCommitCount (Sim[1]));
    EXPECT_EQ (1u, SimCommitCount (Sim[2]));
    EXPECT_EQ (0u, SimCommitCount (Sim[3]));
    EXPECT_EQ (SUCCESS, Console.substr (Console.size () - SUCCESS.size ())) << Console;
    EXPECT_EQ ("ctlflash result: SUCCESS, controller 1 at 0000:11:00.0, exit status 0x0", HostLastResultLine ());
  }
}

TEST_F (UPDATE_RUN, ALocationWithoutAControllerOfThisRunIsRefusedBeforeTheFileIsRead) {
  Load (FLEET);
  WriteImage ();

  const struct {
    std::u16string    Location;
    std::string       Message;
  } Cases[] = {
    { u"0000:13:00.0", "\nNo controller of this run is at 0000:13:00.0.." },
    { u"0001:11:00.0", "\nNo controller of this run is at 0001:11:00.0.." },   // another segment
    { u"11:00.1",      "\nNo controller of this run is at 0000:11:00.1.." },   // another function
    { u"0f:00.0",      "\nThe controller at 0000:0F:00.0 was left out at bring-up; it is not updated.." },
  };

  for (const auto &Case : Cases) {
    HostShellReset ();
    WriteImage ();

    std::string  Console = Run ({ u"fw.bin", Case.Location, u"force" });

    EXPECT_EQ (Case.Message, Console.substr (Console.size () - Case.Message.size ())) << Console;
    EXPECT_EQ (EFI_NOT_FOUND, mStatus);
    EXPECT_EQ ("ctlflash result: FAILED, no controller, exit status 0xE", HostLastResultLine ());
    EXPECT_EQ (0u, HostShellOpenCalls ().size ()) << "the file must not be read";
  }

  for (size_t Index = 0; Index < mSim.Count (); Index++) {
    EXPECT_EQ (0u, SimCommitCount (mSim[Index]));
  }
}

TEST_F (UPDATE_RUN, AllUpdatesEverySupportedControllerFromOneReadOfTheFile) {
  Load (FLEET);
  WriteImage ();

  std::string  Console = Run ({ u"fw.bin", u"all", u"force" });

  EXPECT_EQ (EFI_SUCCESS, mStatus) << Console;
  EXPECT_EQ (1u, HostShellOpenCalls ().size ()) << "the file is read once";
  EXPECT_EQ (1u, SimCommitCount (mSim[1]));
  EXPECT_EQ (1u, SimCommitCount (mSim[2]));
  EXPECT_EQ (0u, SimCommitCount (mSim[3]));

  //
  // In index order, each with its own lines, the unsupported one named and
  // skipped, then the summary.
  //
  size_t  First   = Console.find ("\nController 0 at 0000:10:00.0:");
  size_t  Second  = Console.find ("\nController 1 at 0000:11:00.0:");
  size_t  Skipped = Console.find ("\nController 2 at 0000:12:00.0:\nSkipped: the image does not support this controller..");

  ASSERT_NE (std::string::npos, First) << Console;
  ASSERT_NE (std::string::npos, Second) << Console;
  ASSERT_NE (std::string::npos, Skipped) << Console;
  EXPECT_LT (First, Second);
  EXPECT_LT (Second, Skipped);
  EXPECT_NE (std::string::npos, Console.find ("\nctlflash controller: SUCCESS, controller 0 at 0000:10:00.0, status 0x0"));
  EXPECT_NE (std::string::npos, Console.find ("\nctlflash controller: SUCCESS, controller 1 at 0000:11:00.0, status 0x0"));
  EXPECT_NE (std::string::npos, Console.find ("\nctlflash controller: SKIPPED, controller 2 at 0000:12:00.0, status 0x0"));
  EXPECT_EQ ("ctlflash result: SUCCESS, all: 2 succeeded, 0 failed, 1 skipped, exit status 0x0", HostLastResultLine ());
}

TEST_F (UPDATE_RUN, AllTalliesFailuresAndTakesTheFirstFailureAsItsStatus) {
  const struct {
    const char    *Name;
    std::string   Scenario;
    EFI_STATUS    Status;
    std::string   Result;
  } Cases[] = {
    {
      "the second fails its flash",
      "controller 0x0A11\n  subsystem 0x1F3A 0x0101\n"
      "controller 0x0A11\n  subsystem 0x1F3A 0x0101\n  fault OP_FLASH_OPEN 1 status 0x21\n",
      EFI_DEVICE_ERROR,
      "ctlflash result: FAILED, all: 1 succeeded, 1 failed, 0 skipped, exit status 0x7"
    },
    {
      "the first did not answer the inventory",
      "controller 0x0A11\n  subsystem 0x1F3A 0x0101\n  fault OP_CTRL_INFO 1 status 4\n"
      "controller 0x0A11\n  subsystem 0x1F3A 0x0101\n  fault OP_FLASH_OPEN 1 status 0x21\n"
      "controller 0x0A11\n  subsystem 0x1F3A 0x0101\n",
      EFI_NO_RESPONSE,
      "ctlflash result: FAILED, all: 1 succeeded, 2 failed, 0 skipped, exit status 0x10"
    },
    {
      "the image supports none",
      "controller 0x0A11\n  subsystem 0x1F3A 0x0202\n",
      EFI_UNSUPPORTED,
      "ctlflash result: FAILED, all: 0 succeeded, 0 failed, 1 skipped, exit status 0x3"
    },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SIM_HOST     Sim;
    std::string  Error;

    HostClearHandles ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    ASSERT_TRUE (Sim.Load (Case.Scenario, &Error)) << Error;
    WriteImage ();

    std::string  Console = Run ({ u"fw.bin", u"all", u"force" });

    EXPECT_EQ (Case.Status, mStatus) << Console;
    EXPECT_EQ (Case.Result, HostLastResultLine ());
  }
}

TEST_F (UPDATE_RUN, AllCheckChecksEveryControllerAndWritesNothing) {
  Load (FLEET);
  WriteImage ();

  std::string  Console = Run ({ u"fw.bin", u"all", u"check" });

  EXPECT_EQ (EFI_SUCCESS, mStatus) << Console;
  EXPECT_EQ (2u, Occurrences (Console, "\nCheck passed: the update would go ahead..\n")) << Console;
  EXPECT_EQ (1u, Occurrences (Console, "\nCheck only: nothing is written to the controller.")) << Console;
  for (size_t Index = 0; Index < mSim.Count (); Index++) {
    EXPECT_EQ (0u, SimCommitCount (mSim[Index]));
  }

  EXPECT_EQ ("ctlflash result: SUCCESS, all: 2 succeeded, 0 failed, 1 skipped, exit status 0x0", HostLastResultLine ());
}

//
// Standard-format output
//

TEST_F (UPDATE_RUN, SfoFieldsAreQuotedAndEscapedAsParseReadsThem) {
  const struct {
    const char    *Text;
    const char    *Written;
  } Cases[] = {
    { "plain",               ",\"plain\"" },
    { "",                    ",\"\"" },
    { nullptr,               ",\"\"" },
    { "a \"b\" c",           ",\"a ^\"b^\" c\"" },     // parse undoes ^"
    { "x^y",                 ",\"x^^y\"" },           // ... and ^^
    { "1,\"2\"",             ",\"1,^\"2^\"\"" },       // no ," survives inside a field
    { "tab\there\x7F\xC3",   ",\"tab?here??\"" },     // no control or non-ASCII byte
  };

  for (const auto &Case : Cases) {
    HostConsoleClear ();
    SfoStart ("t");
    HostConsoleClear ();
    SfoFieldText (Case.Text);
    SfoStop ();
    EXPECT_EQ (Case.Written, HostStandardOutputText ()) << (Case.Text ? Case.Text : "(null)");
  }
}

TEST_F (UPDATE_RUN, TheSfoListingNamesEveryControllerFoundAndNothingElseOnStandardOutput) {
  Load (
    "controller 0x0A11\n"
    "  status 0xF0000000 0\n"                       // left out: firmware fault
    "controller 0x0A11\n"
    "  subsystem 0x1F3A 0x0101\n"
    "  product \"RAID 8i, rev^B\"\n"
    "  battery 2 0\n"
    "controller 0x0D41\n"
    "  subsystem 0x2B1C 0x0100\n"
    "  fault OP_CTRL_INFO 1 status 4\n"             // no answer to the inventory
    );

  std::string  Console = Run ({ u"-sfo" });

  EXPECT_EQ (EFI_SUCCESS, mStatus);
  EXPECT_EQ (
    "ShellCommand,\"ctlflash\"\r\n"
    "Controller,\"0\",\"0000:04:00.0\",\"ready\",\"1F3A\",\"0A11\",\"1F3A\",\"0101\",\"BBU\",\"RAID 8i, rev^^B\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n"
    "Controller,\"1\",\"0000:05:00.0\",\"not-answering\",\"1F3A\",\"0D41\",\"2B1C\",\"0100\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n"
    "Controller,\"\",\"0000:03:00.0\",\"left-out: firmware fault\",\"1F3A\",\"0A11\",\"1F3A\",\"0001\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\r\n",
    HostStandardOutputText ());
  EXPECT_EQ (std::string::npos, Console.find ("Firmware update tool")) << "no human listing with -sfo";
  EXPECT_NE (std::string::npos, Console.find ("\nController at 0000:03:00.0 left out: firmware fault..")) << Console;
}

TEST_F (UPDATE_RUN, SfoUpdateRecordsGoToStandardOutputAndTheMessagesToStandardError) {
  Load (FLEET + "controller 0x0A11\n  location 0 0x13 0 0\n  subsystem 0x1F3A 0x0101\n  drive 0 wb\n"
                "  fault OP_FLASH_DOWNLOAD 1 status 0x22\n");

  const std::vector<UINT8>  Bytes = WriteImage (40000);
  char                      Crc[16];

  std::snprintf (Crc, sizeof (Crc), "%08X", CalculateCrc32 (const_cast<UINT8 *> (Bytes.data ()), Bytes.size ()));

  std::string  Console = Run ({ u"fw.bin", u"all", u"-sfo" });

  EXPECT_EQ (EFI_DEVICE_ERROR, mStatus);

  const std::string  File = std::string ("\"fw.bin\",\"") + Crc + "\"";

  EXPECT_EQ (
    "ShellCommand,\"ctlflash\"\r\n"
    "Update,\"0\",\"0000:10:00.0\",\"1F3A\",\"0A11\",\"1F3A\",\"0101\"," + File + ",\"APP :41084\",\"\",\"updated\",\"0x0\"\r\n"
    "Update,\"1\",\"0000:11:00.0\",\"1F3A\",\"0A11\",\"1F3A\",\"0101\"," + File + ",\"APP :41084\",\"\",\"updated\",\"0x0\"\r\n"
    "Update,\"2\",\"0000:12:00.0\",\"1F3A\",\"0A11\",\"1F3A\",\"0202\"," + File + ",\"\",\"\",\"skipped\",\"0x0\"\r\n"
    "Update,\"3\",\"0000:13:00.0\",\"1F3A\",\"0A11\",\"1F3A\",\"0101\"," + File + ",\"\",\"0\",\"failed\",\"0x7\"\r\n",
    HostStandardOutputText ());

  //
  // Everything else, the result lines and the progress dots included, is
  // on standard error, which the console also shows.
  //
  EXPECT_NE (std::string::npos, Console.find ("\nDownloading image (APP )..")) << Console;
  EXPECT_EQ (std::string::npos, HostStandardOutputText ().find ("Downloading"));
  EXPECT_EQ ("ctlflash result: FAILED, all: 2 succeeded, 1 failed, 1 skipped, exit status 0x7", HostLastResultLine ());
}

TEST_F (UPDATE_RUN, SfoRecordsOfASingleRunAndOfARefusedOne) {
  Load (FLEET);
  WriteImage ();

  Run ({ u"-sfo", u"fw.bin", u"12:00.0", u"check" });
  EXPECT_EQ (EFI_UNSUPPORTED, mStatus);
  EXPECT_EQ (
    "ShellCommand,\"ctlflash\"\r\n"
    "Update,\"2\",\"0000:12:00.0\",\"1F3A\",\"0A11\",\"1F3A\",\"0202\",\"fw.bin\",\"" + Crc32Text () + "\",\"\",\"\",\"failed\",\"0x3\"\r\n",
    HostStandardOutputText ());

  Run ({ u"missing.bin", u"0", u"-sfo" });
  EXPECT_EQ (EFI_LOAD_ERROR, mStatus);
  EXPECT_EQ (
    "ShellCommand,\"ctlflash\"\r\n"
    "Update,\"0\",\"0000:10:00.0\",\"1F3A\",\"0A11\",\"1F3A\",\"0101\",\"missing.bin\",\"\",\"\",\"\",\"failed\",\"0x1\"\r\n",
    HostStandardOutputText ());

  Run ({ u"fw.bin", u"7", u"-sfo" });
  EXPECT_EQ (EFI_NOT_FOUND, mStatus);
  EXPECT_EQ ("ShellCommand,\"ctlflash\"\r\n", HostStandardOutputText ());
}

} // namespace
