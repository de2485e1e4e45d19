/** @file
  Inspecting a simulated controller: its journal, drives, counters and
  firmware state, and forgetting the journal.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimControllerState.h"

UINT32
SimAccessCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->AccessCount;
}

CONST SIM_ACCESS_RECORD *
SimGetAccess (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->AccessCount) ? &Sim->Accesses[Index] : NULL;
}

UINT32
SimFrameCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->FrameCount;
}

CONST SIM_FRAME_RECORD *
SimGetFrame (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->FrameCount) ? &Sim->Frames[Index] : NULL;
}

UINT32
SimSetRecordCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->SetCount;
}

CONST SIM_SET_RECORD *
SimGetSetRecord (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->SetCount) ? &Sim->Sets[Index] : NULL;
}

UINT32
SimCommitCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->CommitCount;
}

CONST SIM_COMMIT *
SimGetCommit (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->CommitCount) ? &Sim->Commits[Index] : NULL;
}

UINT32
SimDriveCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->DriveCount;
}

CONST SIM_DRIVE *
SimGetDrive (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->DriveCount) ? &Sim->Drives[Index] : NULL;
}

CONST SIM_DRIVE *
SimFindDrive (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT8                 TargetId
  )
{
  for (UINT32 Index = 0; Index < Sim->DriveCount; Index++) {
    if (LdRefTargetId (Sim->Drives[Index].Ref) == TargetId) {
      return &Sim->Drives[Index];
    }
  }

  return NULL;
}

UINT8
SimDriveCachePolicy (
  IN CONST SIM_DRIVE  *Drive
  )
{
  return Drive->Properties[OFFSET_OF (LD_PROPERTIES, CachePolicy)];
}

CONST SIM_COUNTERS *
SimGetCounters (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return &Sim->Counters;
}

UINT32
SimOpcodeCount (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Opcode
  )
{
  for (UINT32 Index = 0; Index < Sim->OpcodeCounterCount; Index++) {
    if (Sim->OpcodeCounters[Index].Opcode == Opcode) {
      return Sim->OpcodeCounters[Index].Count;
    }
  }

  return 0;
}

UINT32
SimStatusStep (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->Step;
}

BOOLEAN
SimFlashState (
  IN  CONST SIM_CONTROLLER  *Sim,
  OUT UINT32                *Size      OPTIONAL,
  OUT UINT32                *Received  OPTIONAL
  )
{
  if (Size != NULL) {
    *Size = Sim->FlashSize;
  }

  if (Received != NULL) {
    *Received = Sim->FlashReceived;
  }

  return Sim->FlashOpen;
}

VOID
SimClearJournal (
  IN SIM_CONTROLLER  *Sim
  )
{
  SIM_LOCK  Lock (Sim);

  for (UINT32 Index = 0; Index < Sim->CommitCount; Index++) {
    if (Sim->Commits[Index].Data != NULL) {
      Sim->Env.Free (const_cast<UINT8 *> (Sim->Commits[Index].Data));
    }
  }

  //
  // Delayed answers still come, but no longer belong to a record.
  //
  for (SIM_PENDING &Pending : Sim->Pending) {
    Pending.Record = SIM_NO_RECORD;
  }

  Sim->CommitCount   = 0;
  Sim->AccessCount   = 0;
  Sim->FrameCount    = 0;
  Sim->SetCount      = 0;
  Sim->ReadbackFrame = SIM_NO_RECORD;
  Sim->Readback      = READBACK::NONE;
  SimZeroBytes (&Sim->Counters, sizeof (Sim->Counters));
  SimDmaClearJournal (&Sim->Dma);
}

CONST SIM_DMA *
SimGetDma (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return &Sim->Dma;
}

UINT32
SimCrc32 (
  IN CONST UINT8  *Data,
  IN UINTN        Length
  )
{
  UINT32  Crc = 0xFFFFFFFFu;

  for (UINTN Index = 0; Index < Length; Index++) {
    Crc ^= Data[Index];
    for (UINTN Bit = 0; Bit < 8; Bit++) {
      Crc = (Crc >> 1) ^ (0xEDB88320u & (0u - (Crc & 1u)));
    }
  }

  return ~Crc;
}
