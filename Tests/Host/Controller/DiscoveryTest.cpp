/** @file
  Tests of discovery and bring-up against simulated controllers: which
  handles become controllers and in which slots, what ends discovery, the
  handshake and read-backs of the FlushReads models by chip revision, and
  the firmware wait with its states, doorbell, pauses and limits.
**/

#include <cstring>

#include "HostTest.h"
#include "SimHost.h"

namespace {

constexpr UINT64  PAUSE_US        = 200000;
constexpr UINT64  STATE0_PAUSE_US = 2000000;

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
    EXPECT_EQ ("", HostConsoleText ()) << "discovery prints nothing";
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

    std::vector<SIM_ACCESS_RECORD>  Handshake = WritesTo (Controller, SIM_HANDSHAKE_REGISTER);

    if (Case.Handshake) {
      ASSERT_EQ (3u, Handshake.size ());
      for (CONST SIM_ACCESS_RECORD &Write : Handshake) {
        EXPECT_EQ (SIM_HANDSHAKE_VALUE, Write.Value);
        EXPECT_EQ (static_cast<UINT8> (Row->BarIndex), Write.BarIndex);   // BAR-relative
        EXPECT_EQ (SIM_HANDSHAKE_REGISTER, Write.Offset);
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
  EXPECT_LT (HostClockNow (), 10ull * 60 * 1000000) << "the handshake is bounded";
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
  UINT64        Polls;
  BOOLEAN       State0;
};

CONST UNCHANGED_CASE  mUnchangedCases[] = {
  { "state 1 held",                StateValue (1) | 0x123, 0,   0,                  900,  FALSE },
  { "state 0 held",                0x00000000,             0,   0,                  900,  TRUE  },
  { "state 2 held",                StateValue (2),         0,   0,                  900,  FALSE },
  { "a change restarts the count", StateValue (1),         500, StateValue (1) | 1, 1400, FALSE },
};

} // namespace

TEST_F (DISCOVERY, NineHundredUnchangedPollsEndTheWaitAsReady) {
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

    EXPECT_EQ (1u, mControllerTable.ControllerCount);
    EXPECT_FALSE (mControllerTable.Controllers[0].Disabled);
    EXPECT_EQ (Case.Polls, SimGetCounters (Controller)->StatusReads);
    EXPECT_EQ (Case.Polls, HostStallCountOf (PAUSE_US));
    EXPECT_EQ (Case.State0 ? Case.Polls : 0, HostStallCountOf (STATE0_PAUSE_US));
    EXPECT_EQ (Case.Polls * (PAUSE_US + (Case.State0 ? STATE0_PAUSE_US : 0)), HostClockNow ());
  }
}

TEST_F (DISCOVERY, AFirmwareThatNeverSettlesIsLeftOutInBoundedTime) {
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
  EXPECT_LT (HostClockNow (), 3600ull * 1000000) << "the wait is bounded";
}

TEST_F (DISCOVERY, TheOverallBoundNeverCutsShortTheNineHundredUnchangedPolls) {
  //
  // The status value changes for the first reads (15 steps of N reads,
  // alternating) and then holds. With N = 140 it changes until poll 2,100,
  // so its 900th unchanged poll is poll 3,000, the last that the overall
  // bound allows: the firmware counts as ready. With N = 141 the 900th
  // unchanged poll would come after the bound: the controller is left out.
  //
  struct {
    UINT32     ReadsPerStep;
    BOOLEAN    Counted;
  } CONST  Cases[] = {
    { 140, TRUE  },
    { 141, FALSE },
  };

  for (CONST auto &Case : Cases) {
    SCOPED_TRACE (Case.ReadsPerStep);
    SIM_HOST  Sim;

    HostReset ();
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

    Config.StatusStepCount = SIM_MAX_STATUS_STEPS;
    for (UINT32 Step = 0; Step + 1 < SIM_MAX_STATUS_STEPS; Step++) {
      Config.StatusSteps[Step] = { StateValue (1) | (Step & 1), Case.ReadsPerStep, NO_JUMP };
    }

    Config.StatusSteps[SIM_MAX_STATUS_STEPS - 1] = { StateValue (1) | 2, 0, NO_JUMP };
    Sim.Add (Config);

    DiscoverControllers ();

    EXPECT_EQ (Case.Counted ? 1u : 0u, mControllerTable.ControllerCount);
    EXPECT_EQ (3000 * PAUSE_US, HostClockNow ());
  }
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
