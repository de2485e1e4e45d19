/** @file
  Saving and applying the persistent state of a simulated controller
  (SimPersist.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimControllerState.h"
#include "SimInternal.h"
#include "SimPersist.h"

VOID
SimSaveState (
  IN  SIM_CONTROLLER     *Sim,
  OUT SIM_PERSIST_STATE  *State
  )
{
  SimZeroBytes (State, sizeof (*State));
  State->Signature = SIM_PERSIST_SIGNATURE;
  State->Version   = SIM_PERSIST_VERSION;
  State->Size      = sizeof (*State);
  State->VendorId  = Sim->Config.VendorId;
  State->DeviceId  = Sim->Config.DeviceId;
  State->FlashOpen = Sim->FlashOpen ? 1 : 0;
  State->FlashSize = Sim->FlashOpen ? Sim->FlashSize : 0;

  State->DriveCount = (Sim->DriveCount < SIM_MAX_DRIVES) ? Sim->DriveCount : SIM_MAX_DRIVES;
  for (UINT32 Index = 0; Index < State->DriveCount; Index++) {
    State->Drives[Index].Ref = Sim->Drives[Index].Ref;
    SimCopyBytes (State->Drives[Index].Properties, Sim->Drives[Index].Properties, sizeof (State->Drives[Index].Properties));
  }

  State->CommitCount = (Sim->CommitCount < SIM_MAX_COMMITS) ? Sim->CommitCount : SIM_MAX_COMMITS;
  for (UINT32 Index = 0; Index < State->CommitCount; Index++) {
    State->Commits[Index].Size  = Sim->Commits[Index].Size;
    State->Commits[Index].Crc32 = Sim->Commits[Index].Crc32;
  }
}

BOOLEAN
SimApplyState (
  IN SIM_CONTROLLER  *Sim,
  IN CONST VOID      *State,
  IN UINTN           Length
  )
{
  SIM_PERSIST_STATE  Saved;

  if (Length != sizeof (Saved)) {
    return FALSE;
  }

  SimCopyBytes (&Saved, State, sizeof (Saved));
  if ((Saved.Signature != SIM_PERSIST_SIGNATURE) || (Saved.Version != SIM_PERSIST_VERSION) ||
      (Saved.Size != sizeof (Saved)) || (Saved.VendorId != Sim->Config.VendorId) ||
      (Saved.DeviceId != Sim->Config.DeviceId) || (Saved.DriveCount > SIM_MAX_DRIVES) ||
      (Saved.CommitCount > SIM_MAX_COMMITS) || (Saved.FlashOpen > 1))
  {
    return FALSE;
  }

  SIM_LOCK  Lock (Sim);

  //
  // The scenario says which drives exist; the saved state says how they
  // are configured now.
  //
  for (UINT32 Entry = 0; Entry < Saved.DriveCount; Entry++) {
    for (UINT32 Index = 0; Index < Sim->DriveCount; Index++) {
      if (Sim->Drives[Index].Ref == Saved.Drives[Entry].Ref) {
        SimCopyBytes (Sim->Drives[Index].Properties, Saved.Drives[Entry].Properties, sizeof (Sim->Drives[Index].Properties));
      }
    }
  }

  //
  // Committed components come back as their size and CRC32; their bytes
  // were not kept. They precede whatever this boot commits.
  //
  for (UINT32 Index = 0; (Index < Saved.CommitCount) && (Sim->CommitCount < SIM_MAX_COMMITS); Index++) {
    SIM_COMMIT  *Commit = &Sim->Commits[Sim->CommitCount++];

    Commit->Size  = Saved.Commits[Index].Size;
    Commit->Crc32 = Saved.Commits[Index].Crc32;
    Commit->Data  = NULL;
  }

  if (Saved.FlashOpen == 1) {
    Sim->FlashOpen     = TRUE;
    Sim->FlashStale    = TRUE;
    Sim->FlashSize     = Saved.FlashSize;
    Sim->FlashReceived = 0;
  }

  return TRUE;
}
