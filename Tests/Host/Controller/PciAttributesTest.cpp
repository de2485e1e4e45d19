/** @file
  Tests of the controllers' PCI attributes: what bring-up turns on, that the
  run puts them back on every path, and whole runs of the application on a
  platform that protects memory from bus-master access.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "CtlFlash.h"
#include "SimHost.h"
#include "HostShellLib.h"
#include "ImageBuilder.h"

namespace {

constexpr UINT64  DECODE_BOTH = EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY;

class PCI_ATTRIBUTES : public HOST_TEST {
protected:
  SIM_HOST  mSim;

  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    HostShellReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    mForceUpdate = FALSE;
  }

  void
  TearDown (
    ) override
  {
    HostShellReset ();
    HOST_TEST::TearDown ();
  }

  ///
  /// Run the application with the given arguments and return what the
  /// console shows. Its exit status is not looked at here.
  ///
  std::string
  Run (
    const std::vector<std::u16string>  &Arguments
    )
  {
    return HostRunApplication (Arguments, nullptr);
  }

  static UINT64
  Attributes (
    SIM_CONTROLLER  *Sim
    )
  {
    return SimGetDma (Sim)->Attributes;
  }
};

} // namespace

TEST_F (PCI_ATTRIBUTES, BringUpTurnsOnDecodingBusMasteringAndDualAddressCycles) {
  struct CASE {
    CONST CHAR8    *Name;
    UINT16         DeviceId;
    BOOLEAN        BusMasterOff;
    BOOLEAN        DecodingOff;
    UINT64         Decode;       // what the model's access space needs
  };
  const CASE  Cases[] = {
    { "I/O window, all off",     MAKER_DEVICE_ID_MODEL_1,  TRUE,  TRUE,  EFI_PCI_IO_ATTRIBUTE_IO     },
    { "memory window, all off",  MAKER_DEVICE_ID_MODEL_11, TRUE,  TRUE,  EFI_PCI_IO_ATTRIBUTE_MEMORY },
    { "bus mastering off",       MAKER_DEVICE_ID_MODEL_5,  TRUE,  FALSE, EFI_PCI_IO_ATTRIBUTE_IO     },
    { "already on",              MAKER_DEVICE_ID_MODEL_8,  FALSE, FALSE, EFI_PCI_IO_ATTRIBUTE_IO     },
  };

  for (const CASE &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    HostReset ();    // forget the handles of the previous case's controller

    SIM_HOST    Host;
    SIM_CONFIG  Config = SimHostConfig (Case.DeviceId);

    Config.BusMasterOff = Case.BusMasterOff;
    Config.DecodingOff  = Case.DecodingOff;
    SIM_CONTROLLER  *Sim     = Host.Add (Config);
    UINT64          Initial  = Attributes (Sim);

    DiscoverControllers ();
    ASSERT_EQ (1u, mControllerTable.ControllerCount);

    CONTROLLER_CONTEXT  *Context = GetControllerContext (0);
    UINT64              Enabled  = Case.Decode | EFI_PCI_IO_ATTRIBUTE_BUS_MASTER | EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE;

    EXPECT_EQ (Initial, Context->OriginalAttributes);
    EXPECT_TRUE (Context->AttributesChanged);
    EXPECT_EQ (Enabled, Attributes (Sim) & Enabled);
    EXPECT_EQ (Initial & ~Enabled, Attributes (Sim) & ~Enabled) << "nothing else was touched";

    RestoreControllerAttributes ();
    EXPECT_EQ (Initial, Attributes (Sim));
    EXPECT_FALSE (Context->AttributesChanged);

    // Once is enough: a second call changes nothing.
    UINT32  Calls = SimGetDma (Sim)->Counters.AttributeCalls;

    RestoreControllerAttributes ();
    EXPECT_EQ (Calls, SimGetDma (Sim)->Counters.AttributeCalls);
  }
}

TEST_F (PCI_ATTRIBUTES, AControllerLeftOutGetsItsAttributesBackAtOnce) {
  // The first controller's firmware faults after its attributes were
  // changed; the second one takes its slot.
  SIM_CONFIG  Faulty = SimHostConfig (MAKER_DEVICE_ID_MODEL_1, 0);

  Faulty.BusMasterOff = TRUE;
  SimHostSetScript (Faulty, { { 0xF0000000u, 0, -1 } });
  SIM_CONTROLLER  *Left = mSim.Add (Faulty);

  SIM_CONFIG  Ready = SimHostConfig (MAKER_DEVICE_ID_MODEL_1, 1);

  Ready.BusMasterOff = TRUE;
  SIM_CONTROLLER  *Kept = mSim.Add (Ready);

  DiscoverControllers ();
  ASSERT_EQ (1u, mControllerTable.ControllerCount);
  EXPECT_EQ (SimGetDma (Left)->InitialAttributes, Attributes (Left));
  EXPECT_NE (0u, Attributes (Kept) & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER);
  EXPECT_EQ ("\nController at 0000:03:00.0 left out: firmware fault..", HostConsoleText ());
  RestoreControllerAttributes ();
}

TEST_F (PCI_ATTRIBUTES, AControllerThatDidNotAnswerIsLeftUnableToMasterTheBus) {
  // Bus mastering was on before the run. The information request gets no
  // answer, so the controller may still write into memory the run gives
  // back: everything is restored but bus mastering.
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

  Config.Faults[Config.FaultCount++] = { OP_CTRL_INFO, 1, TRUE, FALSE, 0, 0 };
  SIM_CONTROLLER  *Silent = mSim.Add (Config);
  SIM_CONTROLLER  *Healthy = mSim.Add (SimHostConfig (MAKER_DEVICE_ID_MODEL_1, 1));

  ASSERT_NE (0u, SimGetDma (Silent)->InitialAttributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER);

  std::string  Listing = Run ({});
  std::string  Notice  = "\nBus mastering left off for the controller at 0000:03:00.0: it did not answer, and may still complete a request.";

  EXPECT_EQ (Notice, Listing.substr (Listing.size () - std::min (Listing.size (), Notice.size ()))) << Listing;
  EXPECT_EQ (SimGetDma (Silent)->InitialAttributes & ~static_cast<UINT64> (EFI_PCI_IO_ATTRIBUTE_BUS_MASTER), Attributes (Silent));
  EXPECT_EQ (SimGetDma (Healthy)->InitialAttributes, Attributes (Healthy));

  // The unanswered request's frame is kept on purpose.
  std::vector<HOST_POOL_BLOCK>  Kept = HostPoolBlocks ();

  ASSERT_EQ (1u, Kept.size ());
  EXPECT_EQ (FRAME_BUFFER_SIZE, Kept[0].Size);
  HostPoolDeclareDeliberate (Kept[0].Buffer);
  HostPoolFreeDeliberate ();
}

TEST_F (PCI_ATTRIBUTES, BusMasteringOfASilentControllerGoesOffByItselfAndARefusalIsReported) {
  // The platform refuses the Set that puts the attributes back, or refuses
  // to turn bus mastering off at all.
  struct {
    CONST char    *Name;
    BOOLEAN       SetFails;
    BOOLEAN       Stuck;
    BOOLEAN       EndsOn;
    CONST char    *Notice;
  } CONST  Cases[] = {
    { "Set refused",   TRUE,  FALSE, FALSE, "\nBus mastering left off for the controller at 0000:03:00.0: it did not answer, and may still complete a request." },
    { "stuck on",      FALSE, TRUE,  TRUE,  "\nBus mastering could not be turned off for the controller at 0000:03:00.0: it did not answer, and may still complete a request." },
  };

  for (CONST auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    HostReset ();
    HostShellReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));

    SIM_HOST    Host;
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

    Config.Faults[Config.FaultCount++] = { OP_CTRL_INFO, 1, TRUE, FALSE, 0, 0 };
    Config.AttributesSetFails          = Case.SetFails;
    Config.BusMasterStuck              = Case.Stuck;
    SIM_CONTROLLER  *Silent = Host.Add (Config);

    std::string  Listing = Run ({});

    EXPECT_EQ (Case.Notice, Listing.substr (Listing.size () - std::min (Listing.size (), std::strlen (Case.Notice)))) << Listing;
    EXPECT_EQ (Case.EndsOn, (Attributes (Silent) & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) != 0);

    std::vector<HOST_POOL_BLOCK>  Kept = HostPoolBlocks ();

    ASSERT_EQ (1u, Kept.size ());
    HostPoolDeclareDeliberate (Kept[0].Buffer);
    HostPoolFreeDeliberate ();
  }
}

TEST_F (PCI_ATTRIBUTES, AFunctionThatMayNotMasterTheBusIsLeftOutUntouched) {
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_2);

  Config.BusMasterUnsupported = TRUE;
  Config.BusMasterOff         = TRUE;
  SIM_CONTROLLER  *Sim = mSim.Add (Config);

  DiscoverControllers ();
  EXPECT_EQ (0u, mControllerTable.ControllerCount);
  EXPECT_EQ ("\nController at 0000:03:00.0 left out: bus mastering not enabled..", HostConsoleText ());
  EXPECT_EQ (SimGetDma (Sim)->InitialAttributes, Attributes (Sim));
  for (UINT32 Index = 0; Index < SimAccessCount (Sim); Index++) {
    EXPECT_EQ (SIM_ACCESS_KIND::PCI_READ, SimGetAccess (Sim, Index)->Kind) << "no register was touched";
  }
}

TEST_F (PCI_ATTRIBUTES, EveryRunOnAProtectedPlatformWorksAndPutsTheAttributesBack) {
  // Two controllers in protected mode, bus mastering off; the second has a
  // write-back drive, so the update switches and restores its policy.
  for (UINT32 Index = 0; Index < 2; Index++) {
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_11, Index);

    Config.DmaProtected = TRUE;
    Config.BusMasterOff = TRUE;
    if (Index == 1) {
      Config.Drives[Config.DriveCount++] = { 0, 0, 0x11, 0, 0 };
    }

    mSim.Add (Config);
  }

  const SIM_CONFIG          *Target = SimGetConfig (mSim[1]);
  ImageTool::IMAGE_BUILDER  Image;

  Image.Support ({ Target->VendorId, Target->DeviceId, Target->SubsystemVendorId, Target->SubsystemId })
    .Component (ImageTool::KnownFamilies ()[0], ImageTool::KnownTypes ()[0], 70000, 3)
    .Component (ImageTool::KnownFamilies ()[0], ImageTool::KnownTypes ()[1], 100, 4);
  HostShellWriteFile ("fw.bin", Image.Build ());

  std::string  Listing = Run ({});

  EXPECT_NE (std::string::npos, Listing.find ("\n0     None")) << Listing;
  EXPECT_NE (std::string::npos, Listing.find ("\n1     None")) << Listing;

  std::string  Update = Run ({ u"fw.bin", u"1" });

  EXPECT_NE (std::string::npos, Update.find ("\nSuccessfully updated firmware..\n")) << Update;
  ASSERT_EQ (2u, SimCommitCount (mSim[1]));
  EXPECT_EQ (0x11, SimDriveCachePolicy (SimGetDrive (mSim[1], 0)));

  for (UINTN Index = 0; Index < mSim.Count (); Index++) {
    SCOPED_TRACE (testing::Message () << "controller " << Index);
    const SIM_DMA  *Dma = SimGetDma (mSim[Index]);

    EXPECT_EQ (Dma->InitialAttributes, Dma->Attributes) << "back as the platform left them";
    EXPECT_EQ (0u, SimDmaLiveMappings (Dma));
    EXPECT_EQ (0u, SimDmaLiveBuffers (Dma));
    EXPECT_EQ (Dma->Counters.MapCalls, Dma->Counters.UnmapCalls);
    EXPECT_EQ (Dma->Counters.BufferAllocations, Dma->Counters.BufferFrees);
    EXPECT_GT (Dma->Counters.HighMappings, 0u);
    EXPECT_EQ (0u, Dma->Counters.BusMasterOff);
    for (UINT32 Frame = 0; Frame < SimFrameCount (mSim[Index]); Frame++) {
      EXPECT_TRUE (SimGetFrame (mSim[Index], Frame)->Answered);
      EXPECT_EQ (0, SimGetFrame (mSim[Index], Frame)->Status);
    }
  }

  EXPECT_EQ (0u, HostPoolOutstandingCount ());
}
