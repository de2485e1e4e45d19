/** @file
  Tests of the persistent update record: what an update that is cut off
  leaves for the next boot, and what the next boot does with it.

  A power cut is played as a first run whose first download never gets an
  answer (the run gives up after its wait, as a cut would end it, leaving
  the drives as the cut would), followed by a second run against the same
  controller, which kept its configuration.
**/

#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "HostConsole.h"
#include "HostMemoryAllocationLib.h"
#include "HostShellLib.h"
#include "ImageBuilder.h"
#include "SimHost.h"

#include "CtlFlash.h"

namespace {

using ImageTool::IMAGE_BUILDER;

const std::string  FAMILY = "TQ10";

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
    const std::string  &Scenario
    )
  {
    std::string  Error;

    if (!mSim.Load (Scenario, &Error)) {
      ADD_FAILURE () << "scenario: " << Error;
      return nullptr;
    }

    return mSim[mSim.Count () - 1];
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
    SIM_CONTROLLER  *Sim = Bring ("controller\ndrive 0 wb\ndrive 1 wt\ndrive 2 0x11\nfault OP_FLASH_DOWNLOAD 1 no-answer\n");

    if (Sim == nullptr) {
      return nullptr;
    }

    WriteImageFor (Sim);
    Run ({ u"fw.bin", u"0" });
    EXPECT_EQ (EFI_DEVICE_ERROR, mStatus);
    EXPECT_EQ (0x00, SimDriveCachePolicy (SimFindDrive (Sim, 0)));
    EXPECT_EQ (0x00, SimDriveCachePolicy (SimFindDrive (Sim, 2)));
    return Sim;
  }
};

} // namespace

TEST_F (UpdateRecord, WithoutTheRecordTheNextUpdateMakesTheCutPermanent) {
  //
  // The second boot's update finds the drives in write-through, takes that
  // for their policy and "restores" it: write-back is gone for good.
  //
  SIM_CONTROLLER  *Sim = CutOffDuringTheFirstDownload ();

  ASSERT_NE (nullptr, Sim);
  Run ({ u"fw.bin", u"0" });
  EXPECT_EQ (EFI_SUCCESS, mStatus);
  EXPECT_EQ (0x00, SimDriveCachePolicy (SimFindDrive (Sim, 0)));
  EXPECT_EQ (0x00, SimDriveCachePolicy (SimFindDrive (Sim, 1)));
  EXPECT_EQ (0x00, SimDriveCachePolicy (SimFindDrive (Sim, 2)));
  ReleaseUnansweredFrames ();
}
