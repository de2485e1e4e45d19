/** @file
  Tests of the persistent update record: what an update that is cut off
  leaves for the next boot, and what the next boot does with it.

  A power cut is played as a first run whose first download never gets an
  answer (the run gives up after its wait, as a cut would end it, leaving
  the drives as the cut would), followed by a second run against the same
  controller, which kept its configuration. The host's variable store
  (HostVariables.h) stays between the two runs, as a machine's does.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "HostConsole.h"
#include "HostHandleDatabase.h"
#include "HostMemoryAllocationLib.h"
#include "HostShellLib.h"
#include "HostVariables.h"
#include "ImageBuilder.h"
#include "SimHost.h"

#include "Management/UpdateRecord.h"

namespace {

using ImageTool::IMAGE_BUILDER;

const std::string  FAMILY = "TQ10";

///
/// Drives 0 and 2 in write-back (2 with bit 4 as well), 1 in write-through.
///
const char  CUT_SCENARIO[] = "controller\ndrive 0 wb\ndrive 1 wt\ndrive 2 0x11\n";

EFI_GUID  mRecordGuid = UPDATE_RECORD_VARIABLE_GUID;

const std::u16string  RECORD_NAME = u"Update-0000:03:00.0";

const std::string  NOTE = "\nController 0 at 0000:03:00.0: an update was cut off on 2026-12-10 15:02; VD(0) VD(2) held in write-through.";

///
/// The stored record of 0000:03:00.0, decoded; false when there is none or
/// it is not whole.
///
bool
StoredRecord (
  UPDATE_RECORD  *Record
  )
{
  const HOST_VARIABLE  *Variable = HostFindVariable (mRecordGuid, RECORD_NAME);

  return (Variable != nullptr) && DecodeUpdateRecord (Variable->Data.data (), Variable->Data.size (), Record);
}

bool
RecordStored (
  )
{
  return HostFindVariable (mRecordGuid, RECORD_NAME) != nullptr;
}

std::vector<UINT8>
Policies (
  SIM_CONTROLLER  *Sim
  )
{
  std::vector<UINT8>  Seen;

  for (UINT32 TargetId : { 0, 1, 2 }) {
    CONST SIM_DRIVE  *Drive = SimFindDrive (Sim, TargetId);

    Seen.push_back ((Drive == nullptr) ? 0xEE : SimDriveCachePolicy (Drive));
  }

  return Seen;
}

///
/// Set-properties requests the controller received.
///
UINT32
SetRequests (
  SIM_CONTROLLER  *Sim
  )
{
  UINT32  Count = 0;

  for (UINT32 Index = 0; Index < SimFrameCount (Sim); Index++) {
    Count += (SimGetFrame (Sim, Index)->Opcode == OP_LD_SET_PROPERTIES) ? 1 : 0;
  }

  return Count;
}

class UpdateRecord : public HOST_TEST {
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
    mForceUpdate = FALSE;
    mCheckOnly   = FALSE;
  }

  void
  TearDown (
    ) override
  {
    HostShellReset ();
    HOST_TEST::TearDown ();
  }

  SIM_CONTROLLER *
  Bring (
    const std::string  &Scenario,
    SIM_HOST           *Host = nullptr
    )
  {
    std::string  Error;
    SIM_HOST     &Into = (Host != nullptr) ? *Host : mSim;

    if (Host != nullptr) {
      HostClearHandles ();
    }

    if (!Into.Load (Scenario, &Error)) {
      ADD_FAILURE () << "scenario: " << Error;
      return nullptr;
    }

    return Into[Into.Count () - 1];
  }

  ///
  /// Write fw.bin: one component of 40,000 bytes for the controller.
  ///
  static VOID
  WriteImageFor (
    SIM_CONTROLLER  *Sim
    )
  {
    CONST SIM_CONFIG  *Config = SimGetConfig (Sim);
    IMAGE_BUILDER     Image;

    Image.Support ({ Config->VendorId, Config->DeviceId, Config->SubsystemVendorId, Config->SubsystemId });
    Image.Component (FAMILY, "APP ", 40000);
    HostShellWriteFile ("fw.bin", Image.Build ());
  }

  std::string
  Run (
    const std::vector<std::u16string>  &Arguments
    )
  {
    return HostRunApplication (Arguments, &mStatus);
  }

  ///
  /// The frames of requests that got no answer stay allocated on purpose.
  ///
  static VOID
  ReleaseUnansweredFrames (
    )
  {
    for (const HOST_POOL_BLOCK &Block : HostPoolBlocks ()) {
      EXPECT_EQ (FRAME_BUFFER_SIZE, Block.Size) << "only frames may stay behind";
      HostPoolDeclareDeliberate (Block.Buffer);
    }

    HostPoolFreeDeliberate ();
  }

  ///
  /// First boot: the update of controller 0 is cut off while its first
  /// download waits. Returns the controller, its drives 0 and 2 in
  /// write-through as the cut leaves them.
  ///
  SIM_CONTROLLER *
  CutOffDuringTheFirstDownload (
    )
  {
    SIM_CONTROLLER  *Sim = Bring (std::string (CUT_SCENARIO) + "fault OP_FLASH_DOWNLOAD 1 no-answer\n");

    if (Sim == nullptr) {
      return nullptr;
    }

    WriteImageFor (Sim);
    Run ({ u"fw.bin", u"0" });
    EXPECT_EQ (EFI_DEVICE_ERROR, mStatus);
    EXPECT_EQ ((std::vector<UINT8> { 0x00, 0x00, 0x00 }), Policies (Sim));
    return Sim;
  }
};

} // namespace

//
// The cut and the next boot
//

TEST_F (UpdateRecord, TheNextUpdateAfterACutPutsBackTheRecordedWriteBack) {
  //
  // Without the record (a machine whose variable store was wiped) the next
  // update takes the write-through it finds for the drives' policy and
  // "restores" it: write-back is gone for good. With the record it puts
  // back what the cut-off update saved, and deletes the record.
  //
  for (bool KeepStore : { false, true }) {
    SCOPED_TRACE (KeepStore ? "record kept" : "variable store wiped");
    SIM_HOST        Host;
    SIM_CONTROLLER  *Sim = Bring (std::string (CUT_SCENARIO) + "fault OP_FLASH_DOWNLOAD 1 no-answer\n", &Host);

    ASSERT_NE (nullptr, Sim);
    WriteImageFor (Sim);
    Run ({ u"fw.bin", u"0" });
    ASSERT_EQ ((std::vector<UINT8> { 0x00, 0x00, 0x00 }), Policies (Sim));
    ASSERT_TRUE (RecordStored ());
    if (!KeepStore) {
      HostVariablesReset ();
    }

    std::string  Console = Run ({ u"fw.bin", u"0" });

    EXPECT_EQ (EFI_SUCCESS, mStatus);
    if (KeepStore) {
      EXPECT_EQ ((std::vector<UINT8> { 0x01, 0x00, 0x11 }), Policies (Sim));
      EXPECT_NE (std::string::npos, Console.find ("\nWrite-back saved by the update cut off on 2026-12-10 15:02 for VD(0) VD(2): it is put back at the end."))
        << Console;
      EXPECT_NE (std::string::npos, Console.find ("\nModifying write cache policy for VD(0) WT->WB.\nModifying write cache policy for VD(2) WT->WB.")) << Console;
      EXPECT_EQ (std::string::npos, Console.find ("WB->WT")) << "nothing was in write-back to switch:\n" << Console;
    } else {
      EXPECT_EQ ((std::vector<UINT8> { 0x00, 0x00, 0x00 }), Policies (Sim));
    }

    EXPECT_FALSE (RecordStored ());
    ReleaseUnansweredFrames ();
  }
}

TEST_F (UpdateRecord, TheRecordHoldsWhatTheUpdateChangesInItsDocumentedFormat) {
  SIM_CONTROLLER  *Sim = CutOffDuringTheFirstDownload ();

  ASSERT_NE (nullptr, Sim);
  const HOST_VARIABLE  *Variable = HostFindVariable (mRecordGuid, RECORD_NAME);

  ASSERT_NE (nullptr, Variable);
  EXPECT_EQ (static_cast<UINT32> (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS), Variable->Attributes);
  ASSERT_EQ (112u + 2 * 4, Variable->Data.size ());

  const UINT8  *Bytes = Variable->Data.data ();
  auto         Le16   = [&](size_t At) { return static_cast<UINT32> (Bytes[At] | (Bytes[At + 1] << 8)); };
  auto         Le32   = [&](size_t At) { return Le16 (At) | (Le16 (At + 2) << 16); };

  EXPECT_EQ (0, std::memcmp (Bytes, "CFUR", 4));
  EXPECT_EQ (1u, Le16 (4));                      // version
  EXPECT_EQ (120u, Le16 (6));                    // size
  EXPECT_EQ (2u, Bytes[8]) << "the first download had gone out";
  EXPECT_EQ (2u, Bytes[9]);                      // drives
  EXPECT_EQ (1u, Bytes[10]);                     // time valid
  EXPECT_EQ (0u, Le32 (12));                     // segment
  EXPECT_EQ ((std::vector<UINT8> { 3, 0, 0 }), std::vector<UINT8> (Bytes + 16, Bytes + 19));

  CONST SIM_CONFIG  *Config = SimGetConfig (Sim);

  EXPECT_EQ ((std::vector<UINT32> { Config->VendorId, Config->DeviceId, Config->SubsystemVendorId, Config->SubsystemId }),
             (std::vector<UINT32> { Le16 (20), Le16 (22), Le16 (24), Le16 (26) }));
  EXPECT_EQ (2026u, Le16 (28));
  EXPECT_EQ (12u, Bytes[30]);
  EXPECT_EQ (10u, Bytes[31]);

  const std::vector<UINT8>  File = HostShellReadFileBytes ("fw.bin");

  EXPECT_EQ (SimCrc32 (File.data (), static_cast<UINT32> (File.size ())), Le32 (44));
  EXPECT_STREQ ("fw.bin", reinterpret_cast<const char *> (Bytes + 48));
  // Target id, VD number, saved policy, reserved: drive 1 was in
  // write-through and is not recorded.
  EXPECT_EQ ((std::vector<UINT8> { 0, 0, 0x01, 0, 2, 2, 0x11, 0 }), std::vector<UINT8> (Bytes + 112, Bytes + 120));

  //
  // The same facts, as a caller that reports them reads them.
  //
  UPDATE_RECORD_FACTS  Facts;

  ASSERT_EQ (EFI_SUCCESS, GetUpdateRecordFacts (GetControllerContext (0), &Facts));
  EXPECT_EQ (UPDATE_RECORD_MATCH::MATCHES, Facts.Match);
  EXPECT_TRUE (Facts.TimeValid);
  EXPECT_EQ (2026, Facts.Time.Year);
  EXPECT_EQ (UPDATE_RECORD_STAGE::FLASH_STARTED, Facts.Stage);
  EXPECT_EQ ((std::vector<UINT8> { 0, 2 }), std::vector<UINT8> (Facts.VdIds, Facts.VdIds + Facts.DriveCount));
  EXPECT_STREQ ("fw.bin", Facts.ImageName);
  EXPECT_EQ (Le32 (44), Facts.ImageCrc32);

  HostVariablesReset ();
  EXPECT_EQ (EFI_NOT_FOUND, GetUpdateRecordFacts (GetControllerContext (0), &Facts));
  EXPECT_EQ (UPDATE_RECORD_MATCH::NONE, Facts.Match);
  ReleaseUnansweredFrames ();
}

TEST_F (UpdateRecord, TheListingAndTheCheckNameTheCutOffUpdate) {
  SIM_CONTROLLER  *Sim = CutOffDuringTheFirstDownload ();

  ASSERT_NE (nullptr, Sim);
  UINT32  Writes = HostSetVariableCount ();

  std::string  Listing = Run ({});

  EXPECT_EQ (EFI_SUCCESS, mStatus);
  EXPECT_NE (std::string::npos, Listing.find (NOTE + "\n\nCommand for Firmware update:")) << Listing;

  std::string  Check = Run ({ u"fw.bin", u"0", u"check" });

  EXPECT_EQ (EFI_SUCCESS, mStatus);
  EXPECT_NE (std::string::npos, Check.find (NOTE)) << Check;
  EXPECT_NE (std::string::npos, Check.find ("\nWrite-back saved by the update cut off on 2026-12-10 15:02 for VD(0) VD(2): the update would put it back at the end."))
    << Check;
  EXPECT_EQ (std::string::npos, Check.find ("Would switch")) << Check;
  EXPECT_EQ (Writes, HostSetVariableCount ()) << "neither writes the store";
  EXPECT_TRUE (RecordStored ());

  //
  // The machine-readable listing carries the record's facts at the end of
  // the controller's record.
  //
  Run ({ u"-sfo" });
  EXPECT_EQ (EFI_SUCCESS, mStatus);

  std::string  Records = HostStandardOutputText ();
  std::string  Facts   = ",\"cut-off\",\"2026-12-10 15:02\",\"flash-started\",\"0 2\",\"fw.bin\",\"";
  size_t       Found   = Records.find (Facts);

  ASSERT_NE (std::string::npos, Found) << Records;
  EXPECT_EQ (0U, Records.find ("ShellCommand,\"ctlflash\"\r\nController,\"0\",\"0000:03:00.0\",\"ready\",")) << Records;
  EXPECT_EQ (Found + Facts.size () + 8, Records.find ("\"\r\n", Found)) << "an 8-digit CRC-32 closes the record: " << Records;
  EXPECT_EQ (Writes, HostSetVariableCount ());

  //
  // A platform without a clock: the record has no date, and the note says
  // none.
  //
  HostVariablesReset ();
  HostSetTimeStatus (EFI_UNSUPPORTED);
  {
    SIM_HOST        Host;
    SIM_CONTROLLER  *Other = Bring (std::string (CUT_SCENARIO) + "fault OP_FLASH_DOWNLOAD 1 no-answer\n", &Host);

    ASSERT_NE (nullptr, Other);
    Run ({ u"fw.bin", u"0" });
    EXPECT_NE (std::string::npos, Run ({}).find ("\nController 0 at 0000:03:00.0: an update was cut off; VD(0) VD(2) held in write-through."));
  }

  ReleaseUnansweredFrames ();
}

TEST_F (UpdateRecord, OnlyAnUpdateThatSwitchesDrivesLeavesARecordAndOnlyWhileItNeedsOne) {
  //
  // Whatever switches nothing writes nothing; a completed update deletes
  // its record; a failed flash keeps it, as it keeps the drives in
  // write-through; a switch that is put back whole deletes it.
  //
  const struct {
    const char                      *Name;
    std::string                     Scenario;
    std::vector<std::u16string>     Arguments;
    EFI_STATUS                      Status;
    UINT32                          Writes;     ///< SetVariable calls
    bool                            Kept;
  } Cases[] = {
    { "update, no write-back drive", "controller\ndrive 0 wt\n",            { u"fw.bin", u"0" },           EFI_SUCCESS,      0, false },
    { "check",                       "controller\ndrive 0 wb\n",            { u"fw.bin", u"0", u"check" }, EFI_SUCCESS,      0, false },
    { "force",                       "controller\ndrive 0 wb\n",            { u"fw.bin", u"0", u"force" }, EFI_SUCCESS,      0, false },
    { "completed update",            "controller\ndrive 0 wb\n",            { u"fw.bin", u"0" },           EFI_SUCCESS,      3, false },
    { "flash fails",                 "controller\ndrive 0 wb\nfault OP_FLASH_COMMIT 1 status 9\n",
                                                                              { u"fw.bin", u"0" },           EFI_DEVICE_ERROR, 2, true  },
    { "first open fails",            "controller\ndrive 0 wb\nfault OP_FLASH_OPEN 1 status 4\n",
                                                                              { u"fw.bin", u"0" },           EFI_DEVICE_ERROR, 2, false },
    { "second drive's switch fails", "controller\ndrive 0 wb\ndrive 1 wb set-fail 0x2D\n",
                                                                              { u"fw.bin", u"0" },           EFI_DEVICE_ERROR, 2, false },
    { "restore fails",               "controller\ndrive 0 wb\nfault OP_LD_SET_PROPERTIES 2 status 7\n",
                                                                              { u"fw.bin", u"0" },           EFI_DEVICE_ERROR, 2, true  },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    HostVariablesReset ();
    SIM_HOST        Host;
    SIM_CONTROLLER  *Sim = Bring (Case.Scenario, &Host);

    ASSERT_NE (nullptr, Sim);
    WriteImageFor (Sim);
    std::string  Console = Run (Case.Arguments);

    EXPECT_EQ (Case.Status, mStatus) << Console;
    EXPECT_EQ (Case.Writes, HostSetVariableCount ()) << Console;
    EXPECT_EQ (Case.Kept, RecordStored ()) << Console;
  }
}

//
// Records that do not match
//

TEST_F (UpdateRecord, ARecordThatNoLongerMatchesIsReportedKeptAndNotApplied) {
  SIM_CONTROLLER  *Cut = CutOffDuringTheFirstDownload ();

  ASSERT_NE (nullptr, Cut);
  const std::vector<UINT8>  Before = HostFindVariable (mRecordGuid, RECORD_NAME)->Data;

  const struct {
    const char     *Name;
    std::string    Scenario;     ///< what sits at 0000:03:00.0 at the next boot
    std::string    Reason;
    std::string    Listing;      ///< the listing's line; "" when it cannot tell
  } Cases[] = {
    { "other IDs", "controller\nsubsystem 0x1F3A 0x0777\ndrive 0 wt\ndrive 1 wt\ndrive 2 wt\n",
      "it was made for the controller 1F3A:0A11:1F3A:0001",
      "\nController 0 at 0000:03:00.0: an update record is kept that does not match it (it was made for the controller 1F3A:0A11:1F3A:0001)." },
    { "drive gone", "controller\ndrive 0 wt\ndrive 1 wt\n", "its LD(2) no longer exists", NOTE },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SIM_HOST        Host;
    SIM_CONTROLLER  *Sim = Bring (Case.Scenario, &Host);

    ASSERT_NE (nullptr, Sim);
    WriteImageFor (Sim);
    EXPECT_NE (std::string::npos, Run ({}).find (Case.Listing));

    const std::string  Refused = "\nThe update record of the controller at 0000:03:00.0 does not match it (" + Case.Reason + "); it is kept and not applied";

    for (bool Check : { false, true }) {
      std::string  Console = Check ? Run ({ u"fw.bin", u"0", u"check" }) : Run ({ u"fw.bin", u"0" });

      EXPECT_EQ (EFI_ABORTED, mStatus) << Console;
      EXPECT_NE (std::string::npos, Console.find (Refused)) << Console;
      EXPECT_NE (std::string::npos, Console.find ("Drop it with \"ctlflash.efi forget 0000:03:00.0\"")) << Console;
    }

    EXPECT_EQ (0u, SetRequests (Sim));
    EXPECT_EQ ((std::vector<UINT8> { 0x00, 0x00, static_cast<UINT8> ((Case.Name[0] == 'd') ? 0xEE : 0x00) }), Policies (Sim));
    EXPECT_EQ (Before, HostFindVariable (mRecordGuid, RECORD_NAME)->Data);
  }

  ReleaseUnansweredFrames ();
}

TEST_F (UpdateRecord, StoredBytesThatAreNotAWholeRecordAreRefused) {
  UPDATE_RECORD  Good;

  std::memset (&Good, 0, sizeof (Good));
  Good.Header.Signature  = UPDATE_RECORD_SIGNATURE;
  Good.Header.Version    = UPDATE_RECORD_VERSION;
  Good.Header.Size       = sizeof (UPDATE_RECORD_HEADER) + sizeof (UPDATE_RECORD_DRIVE);
  Good.Header.Stage      = 1;
  Good.Header.DriveCount = 1;
  Good.Drives[0]         = { 4, 4, 0x81, 0 };

  const struct {
    const char    *Name;
    void          (*Spoil)(UPDATE_RECORD *Record, size_t *Length);
    bool          Whole;
  } Cases[] = {
    { "whole",                 [](UPDATE_RECORD *, size_t *) {},                                        true  },
    { "other signature",       [](UPDATE_RECORD *R, size_t *) { R->Header.Signature ^= 1; },           false },
    { "other version",         [](UPDATE_RECORD *R, size_t *) { R->Header.Version = 2; },              false },
    { "cut short",             [](UPDATE_RECORD *, size_t *L) { *L -= 1; },                             false },
    { "only a header",         [](UPDATE_RECORD *, size_t *L) { *L = sizeof (UPDATE_RECORD_HEADER) - 1; }, false },
    { "size says more",        [](UPDATE_RECORD *R, size_t *) { R->Header.DriveCount = 2; },           false },
    { "no drive",              [](UPDATE_RECORD *R, size_t *L) { R->Header.DriveCount = 0; R->Header.Size = sizeof (UPDATE_RECORD_HEADER); *L = R->Header.Size; }, false },
    { "unknown stage",         [](UPDATE_RECORD *R, size_t *) { R->Header.Stage = 3; },                false },
    { "policy not write-back", [](UPDATE_RECORD *R, size_t *) { R->Drives[0].SavedPolicy = 0x10; },    false },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    UPDATE_RECORD  Record = Good;
    size_t         Length = Good.Header.Size;
    UPDATE_RECORD  Decoded;

    Case.Spoil (&Record, &Length);
    EXPECT_EQ (Case.Whole, DecodeUpdateRecord (&Record, Length, &Decoded) != FALSE);
    if (Case.Whole) {
      EXPECT_EQ (0x81, Decoded.Drives[0].SavedPolicy);
    }
  }

  //
  // Stored at a controller's location, such bytes are reported and kept.
  //
  SIM_CONTROLLER  *Sim = Bring (CUT_SCENARIO);

  ASSERT_NE (nullptr, Sim);
  WriteImageFor (Sim);
  HostPutVariable (mRecordGuid, RECORD_NAME, UPDATE_RECORD_ATTRIBUTES, { 'C', 'F', 'U', 'R' });
  EXPECT_NE (std::string::npos, Run ({}).find ("an update record is kept that does not match it (it cannot be read)."));
  EXPECT_NE (std::string::npos, Run ({ u"fw.bin", u"0" }).find ("does not match it (it cannot be read); it is kept"));
  EXPECT_EQ (EFI_ABORTED, mStatus);
  EXPECT_EQ (0u, SetRequests (Sim));
  EXPECT_TRUE (RecordStored ());
}

//
// The variable store fails
//

TEST_F (UpdateRecord, ARecordThatCannotBeWrittenKeepsTheUpdateFromStarting) {
  SIM_CONTROLLER  *Sim = Bring (CUT_SCENARIO);

  ASSERT_NE (nullptr, Sim);
  WriteImageFor (Sim);
  HostFailSetVariable (0, EFI_OUT_OF_RESOURCES);

  std::string  Console = Run ({ u"fw.bin", u"0" });

  EXPECT_EQ (EFI_OUT_OF_RESOURCES, mStatus);
  EXPECT_NE (std::string::npos, Console.find ("\nThe update record cannot be written (Out of Resources): the update does not start; nothing has been changed.\nUpdated failed..")) << Console;
  EXPECT_EQ (0u, SetRequests (Sim));
  EXPECT_EQ ((std::vector<UINT8> { 0x01, 0x00, 0x11 }), Policies (Sim));
  EXPECT_FALSE (RecordStored ());
}

TEST_F (UpdateRecord, AFailedRewriteOrDeletionIsToldAndLosesNothing) {
  //
  // The rewrite at the first download fails: the flash goes on, and the
  // record written before the switch still names the drives. Then the
  // deletion fails: the run says how to drop the record.
  //
  SIM_CONTROLLER  *Sim = Bring (CUT_SCENARIO);

  ASSERT_NE (nullptr, Sim);
  WriteImageFor (Sim);
  HostFailSetVariable (1, EFI_DEVICE_ERROR, TRUE);

  std::string  Console = Run ({ u"fw.bin", u"0" });

  EXPECT_NE (std::string::npos, Console.find ("\nThe update record could not be brought up to date (Device Error); it still names the drives.")) << Console;
  EXPECT_NE (std::string::npos, Console.find ("\nThe update record of the controller at 0000:03:00.0 could not be deleted (Device Error); drop it with \"ctlflash.efi forget 0000:03:00.0\".")) << Console;
  EXPECT_EQ ((std::vector<UINT8> { 0x01, 0x00, 0x11 }), Policies (Sim));
  EXPECT_EQ (1u, SimCommitCount (Sim));

  UPDATE_RECORD  Record;

  ASSERT_TRUE (StoredRecord (&Record));
  EXPECT_EQ (1u, Record.Header.Stage);
}

//
// forget
//

TEST_F (UpdateRecord, ForgetDropsTheRecordOfALocation) {
  SIM_CONTROLLER  *Sim = CutOffDuringTheFirstDownload ();

  ASSERT_NE (nullptr, Sim);
  const struct {
    std::u16string    Location;
    std::string       Console;
    EFI_STATUS        Status;
  } Steps[] = {
    { u"0000:3:00.0",   "\nInvalid arguments ..",                          EFI_INVALID_PARAMETER },
    { u"03:00.0",       "\nUpdate record for 0000:03:00.0 dropped.\n",     EFI_SUCCESS           },
    { u"0000:03:00.0",  "\nNo update record for 0000:03:00.0.",            EFI_NOT_FOUND         },
  };

  for (const auto &Step : Steps) {
    EXPECT_EQ (Step.Console, Run ({ u"forget", Step.Location }));
    EXPECT_EQ (Step.Status, mStatus);
  }

  EXPECT_FALSE (RecordStored ());
  EXPECT_EQ (std::string::npos, Run ({}).find ("cut off"));

  //
  // Forgotten, the record no longer protects the drives: the next update
  // takes their write-through.
  //
  Run ({ u"fw.bin", u"0" });
  EXPECT_EQ (EFI_SUCCESS, mStatus);
  EXPECT_EQ ((std::vector<UINT8> { 0x00, 0x00, 0x00 }), Policies (Sim));
  ReleaseUnansweredFrames ();
}
