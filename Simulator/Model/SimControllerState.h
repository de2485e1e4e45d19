/** @file
  The state of one simulated controller and the calls by which the model's
  sources reach one another: SimPciIo.cpp (configuration space, register
  window, protocol members), SimFirmware.cpp (registers behind the window,
  frame engine, command set, faults, delayed answers), SimConfig.cpp
  (configurations, creation) and SimJournal.cpp (inspection).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_CONTROLLER_STATE_H_
#define SIM_CONTROLLER_STATE_H_

#include "SimInternal.h"

constexpr UINT32  SIM_CONTROLLER_SIGNATURE = SIGNATURE_32 ('C', 'S', 'I', 'M');
constexpr UINT32  SIM_MAX_OPCODE_COUNTERS  = 32;

///
/// Which register access the next status-register read follows.
///
enum class READBACK : UINT8 {
  NONE,
  AFTER_HIGH,
  AFTER_LOW
};

///
/// A frame whose answer is due later.
///
struct SIM_PENDING {
  BOOLEAN          InUse;
  UINT32           Record;      ///< frame record, or SIM_NO_RECORD
  UINT64           Address;
  UINT64           DueUs;
  UINT64           Sequence;    ///< posting order among frames due at once
  BOOLEAN          HasStatus;
  UINT8            Status;
  COMMAND_FRAME    Frame;       ///< the frame as fetched
};

struct OPCODE_COUNTER {
  UINT32    Opcode;
  UINT32    Count;
};

///
/// One simulated controller. Allocated whole through SIM_ENV.Allocate.
///
struct SIM_CONTROLLER {
  UINT32                  Signature;
  EFI_PCI_IO_PROTOCOL     PciIo;
  SIM_ENV                 Env;
  SIM_CONFIG              Config;
  SIM_DMA                 Dma;
  SUPPORTED_CONTROLLER    Row;
  UINT8                   ConfigSpace[SIM_CONFIG_SPACE_SIZE];

  //
  // Register window
  //
  BOOLEAN                 WindowReachable;   ///< the row's BAR has the row's space
  BOOLEAN                 WindowIsIo;
  UINT8                   WindowBar;         ///< PCI I/O BAR index of the row's slot
  UINT8                   PciBarOfSlot[6];   ///< SimNumberBars of the configuration
  UINT64                  WindowBase;

  UINT64                  LastNowUs;

  //
  // Firmware status script, handshake, queue ports
  //
  UINT32                  Step;
  UINT32                  StepReads;
  UINT32                  HandshakeCount;
  UINT32                  HandshakeValue;
  UINT32                  QueueHigh;
  BOOLEAN                 HighFresh;
  READBACK                Readback;
  UINT32                  ReadsAfterHigh;
  UINT32                  ReadbackFrame;

  //
  // Firmware state
  //
  UINT32                  DriveCount;
  SIM_DRIVE               Drives[SIM_MAX_DRIVES];
  BOOLEAN                 FlashOpen;
  BOOLEAN                 FlashStale;        ///< open since before a power cut (SimApplyState)
  UINT32                  FlashSize;
  UINT32                  FlashReceived;
  UINT8                   *FlashData;
  UINT32                  CommitCount;
  SIM_COMMIT              Commits[SIM_MAX_COMMITS];
  UINT32                  OpcodeCounterCount;
  OPCODE_COUNTER          OpcodeCounters[SIM_MAX_OPCODE_COUNTERS];
  SIM_PENDING             Pending[SIM_MAX_PENDING];
  UINT64                  PendingSequence;
  UINT8                   Scratch[sizeof (LD_LIST)];

  //
  // Journal
  //
  SIM_COUNTERS            Counters;
  UINT32                  AccessCount;
  SIM_ACCESS_RECORD       Accesses[SIM_MAX_ACCESS_RECORDS];
  UINT32                  FrameCount;
  SIM_FRAME_RECORD        Frames[SIM_MAX_FRAME_RECORDS];
  UINT32                  SetCount;
  SIM_SET_RECORD          Sets[SIM_MAX_SET_RECORDS];
};

///
/// Holds the environment's lock for one entry into the model.
///
class SIM_LOCK {
public:
  explicit SIM_LOCK (SIM_CONTROLLER *Sim) : mSim (Sim), mToken (0)
  {
    if (mSim->Env.Lock != NULL) {
      mToken = mSim->Env.Lock ();
    }
  }

  ~SIM_LOCK ()
  {
    if (mSim->Env.Unlock != NULL) {
      mSim->Env.Unlock (mToken);
    }
  }

  SIM_LOCK (CONST SIM_LOCK &)            = delete;
  SIM_LOCK &operator= (CONST SIM_LOCK &) = delete;

private:
  SIM_CONTROLLER  *mSim;
  UINTN           mToken;
};

///
/// The model's time: the environment's clock when it has one, never going
/// back, else the last time given to SimAdvanceTime.
///
inline UINT64
SimNow (
  IN SIM_CONTROLLER  *Sim
  )
{
  if (Sim->Env.NowUs != NULL) {
    UINT64  Time = Sim->Env.NowUs ();

    if (Time > Sim->LastNowUs) {
      Sim->LastNowUs = Time;
    }
  }

  return Sim->LastNowUs;
}

//
// ---------------------------------------------------------------------------
// SimPciIo.cpp
// ---------------------------------------------------------------------------
//

/**
  Build the configuration space, number the BARs, find the register window
  and fill in the protocol members of a controller whose Config, Row and
  Dma are set.
**/
VOID
SimPciIoInit (
  IN OUT SIM_CONTROLLER  *Sim
  );

//
// ---------------------------------------------------------------------------
// SimFirmware.cpp
// ---------------------------------------------------------------------------
//

/**
  Set up the firmware state of a controller whose Config is set: the drives
  as configured, no frame awaiting read-backs.
**/
VOID
SimFirmwareInit (
  IN OUT SIM_CONTROLLER  *Sim
  );

/**
  Release what the firmware holds: an open flash operation's buffer and the
  committed components.
**/
VOID
SimFirmwareRelease (
  IN OUT SIM_CONTROLLER  *Sim
  );

/**
  A read of the register at window offset Register (an access that hit the
  window).

  @return The value the register answers.
**/
UINT32
SimFirmwareReadRegister (
  IN OUT SIM_CONTROLLER  *Sim,
  IN     UINT32          Register
  );

/**
  A write of Value to the register at window offset Register (an access that
  hit the window). Writing the low queue port posts a frame.
**/
VOID
SimFirmwareWriteRegister (
  IN OUT SIM_CONTROLLER  *Sim,
  IN     UINT32          Register,
  IN     UINT32          Value
  );

#endif
