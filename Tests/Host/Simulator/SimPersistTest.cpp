/** @file
  Tests of the simulated controller's persistent state: a controller built
  again from the scenario with the saved state applied is the controller a
  power cut left, and the application's next update finishes the job on
  it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "HostHandleDatabase.h"
#include "HostMemoryAllocationLib.h"
#include "HostShellLib.h"
#include "ImageBuilder.h"
#include "SimHost.h"

#include "CtlFlash.h"

namespace {

const char  SCENARIO[] = "controller\npersistent\ndrive 0 wb\ndrive 1 wt\n";

class SimPersist : public HOST_TEST {
protected:
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

  static SIM_CONTROLLER *
  Bring (
    SIM_HOST           &Host,
    const std::string  &Scenario
    )
  {
    std::string  Error;

    HostClearHandles ();
    if (!Host.Load (Scenario, &Error)) {
      ADD_FAILURE () << "scenario: " << Error;
      return nullptr;
    }

    return Host[0];
  }

  ///
  /// fw.bin: a component of one piece, then one of two pieces.
  ///
  static VOID
  WriteImageFor (
    SIM_CONTROLLER  *Sim
    )
  {
    CONST SIM_CONFIG         *Config = SimGetConfig (Sim);
    ImageTool::IMAGE_BUILDER  Image;

    Image.Support ({ Config->VendorId, Config->DeviceId, Config->SubsystemVendorId, Config->SubsystemId });
    Image.Component ("TQ10", "APP ", 2000);
    Image.Component ("TQ10", "BIOS", 40000);
    HostShellWriteFile ("fw.bin", Image.Build ());
  }

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
};

} // namespace

TEST_F (SimPersist, TheSavedStateBringsBackDrivesCommitsAndTheOpenFlash) {
  //
  // First boot: the first component is committed, the second one's first
  // download never gets an answer, and the power goes.
  //
  SIM_PERSIST_STATE  State;
  SIM_COMMIT         FirstCommit = {};
  EFI_STATUS         Status;
  {
    SIM_HOST        Host;
    SIM_CONTROLLER  *Sim = Bring (Host, std::string (SCENARIO) + "fault OP_FLASH_DOWNLOAD 2 no-answer\n");

    ASSERT_NE (nullptr, Sim);
    WriteImageFor (Sim);
    HostRunApplication ({ u"fw.bin", u"0" }, &Status);
    ASSERT_EQ (EFI_DEVICE_ERROR, Status);
    ASSERT_EQ (1u, SimCommitCount (Sim));
    FirstCommit      = *SimGetCommit (Sim, 0);
    FirstCommit.Data = nullptr;
    SimSaveState (Sim, &State);
  }

  //
  // Second boot: the same scenario, healthy, with the state applied.
  //
  SIM_HOST        Host;
  SIM_CONTROLLER  *Sim = Bring (Host, SCENARIO);

  ASSERT_NE (nullptr, Sim);
  ASSERT_TRUE (SimApplyState (Sim, &State, sizeof (State)));
  EXPECT_EQ (0x00, SimDriveCachePolicy (SimFindDrive (Sim, 0)));
  EXPECT_EQ (0x00, SimDriveCachePolicy (SimFindDrive (Sim, 1)));
  ASSERT_EQ (1u, SimCommitCount (Sim));
  EXPECT_EQ (FirstCommit.Size, SimGetCommit (Sim, 0)->Size);
  EXPECT_EQ (FirstCommit.Crc32, SimGetCommit (Sim, 0)->Crc32);
  EXPECT_EQ (nullptr, SimGetCommit (Sim, 0)->Data);

  UINT32  Size = 0;

  EXPECT_TRUE (SimFlashState (Sim, &Size, nullptr));
  EXPECT_EQ (40000u + 1084u, Size);

  //
  // The update's first request for a component is a close, which ends the
  // stale operation; with the record the first boot left, the drive gets
  // write-back back.
  //
  HostRunApplication ({ u"fw.bin", u"0" }, &Status);
  EXPECT_EQ (EFI_SUCCESS, Status);
  EXPECT_EQ (0x01, SimDriveCachePolicy (SimFindDrive (Sim, 0)));
  EXPECT_EQ (0x00, SimDriveCachePolicy (SimFindDrive (Sim, 1)));
  EXPECT_EQ (3u, SimCommitCount (Sim));
  EXPECT_FALSE (SimFlashState (Sim, nullptr, nullptr));
  ReleaseUnansweredFrames ();
}

TEST_F (SimPersist, AStateThatDoesNotFitIsNotApplied) {
  SIM_HOST           Host;
  SIM_CONTROLLER     *Sim = Bring (Host, std::string (SCENARIO) + "drive 2 0x81\n");
  SIM_PERSIST_STATE  Good;

  ASSERT_NE (nullptr, Sim);
  SimSaveState (Sim, &Good);
  Good.Drives[0].Properties[OFFSET_OF (LD_PROPERTIES, CachePolicy)] = 0x00;

  const struct {
    const char    *Name;
    void          (*Spoil)(SIM_PERSIST_STATE *State, UINTN *Length);
    bool          Applied;
  } Cases[] = {
    { "short",           [](SIM_PERSIST_STATE *, UINTN *L) { *L -= 1; },                    false },
    { "other signature", [](SIM_PERSIST_STATE *S, UINTN *) { S->Signature ^= 1; },          false },
    { "other version",   [](SIM_PERSIST_STATE *S, UINTN *) { S->Version++; },               false },
    { "other device",    [](SIM_PERSIST_STATE *S, UINTN *) { S->DeviceId ^= 1; },           false },
    { "too many drives", [](SIM_PERSIST_STATE *S, UINTN *) { S->DriveCount = SIM_MAX_DRIVES + 1; }, false },
    { "whole",           [](SIM_PERSIST_STATE *, UINTN *) {},                               true  },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SIM_PERSIST_STATE  State  = Good;
    UINTN              Length = sizeof (State);

    Case.Spoil (&State, &Length);
    EXPECT_EQ (Case.Applied, SimApplyState (Sim, &State, Length) != FALSE);
    EXPECT_EQ (Case.Applied ? 0x00 : 0x01, SimDriveCachePolicy (SimFindDrive (Sim, 0)));
    EXPECT_EQ (0x81, SimDriveCachePolicy (SimFindDrive (Sim, 2)));
  }
}
