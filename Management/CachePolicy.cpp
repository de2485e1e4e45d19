/** @file
  Write-cache policy guard: around a firmware flash, the logical drives of
  the controller that cache writes in write-back mode are switched to
  write-through, and their saved policies are put back afterwards. With
  "force" on the command line both steps leave the drives alone; with
  "check" the switch only reads and names the drives it would switch.

  Besides the saved policies, the guard keeps which drives this run has
  actually switched (their set request succeeded) and not yet put back, so
  that whoever ends an update can tell the user which drives stay in
  write-through, also after a read has discarded the saved policies.

  Before its first set-properties request the switch has the update
  record written (UpdateRecord.h): the drives it is about to switch and
  their saved policies. When an earlier update of the controller was cut
  off, the switch takes the policies of its record for the drives that
  record holds in write-through, so that the restore puts write-back back
  rather than the write-through it finds.

  Every failure is printed where it happens and recorded in
  mCachePolicyFailed, from which each step's result is taken.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "CachePolicyInternal.h"
#include "UpdateRecord.h"

LD_LIST         mLdList;
UINT32          mLdCount;
LD_PROPERTIES   mLdProperties[MAX_TARGET_IDS];
UINT8           mSavedCachePolicy[MAX_TARGET_IDS];
BOOLEAN         mCachePolicyFailed;
SWITCHED_DRIVE  mSwitchedDrives[MAX_TARGET_IDS];
UINT32          mSwitchedCount;
BOOLEAN         mInWriteThrough[MAX_TARGET_IDS];

namespace {

UINT8
TargetIdAt (
  IN UINT32  Position
  )
{
  return LdRefTargetId (mLdList.Entries[Position].Ref);
}

UINT8
DriveIdOf (
  IN UINT8  TargetId
  )
{
  return LdRefTargetId (mLdProperties[TargetId].Ref);
}

BOOLEAN
DriveIsListed (
  IN UINT8  TargetId
  )
{
  for (UINT32 Position = 0; Position < mLdCount; Position++) {
    if (TargetIdAt (Position) == TargetId) {
      return TargetId < MAX_TARGET_IDS;
    }
  }

  return FALSE;
}

BOOLEAN
RecordHolds (
  IN CONST UPDATE_RECORD_DRIVE  *Drives,
  IN UINT32                     DriveCount,
  IN UINT8                      TargetId
  )
{
  for (UINT32 Index = 0; Index < DriveCount; Index++) {
    if (Drives[Index].TargetId == TargetId) {
      return TRUE;
    }
  }

  return FALSE;
}

} // namespace

UINT32
GetLogicalDriveList (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  mLdCount = 0;
  gBS->SetMem (&mLdList, sizeof (mLdList), 0);

  UINT8  Status = RequestFromController (Controller, OP_LD_LIST, 0, &mLdList, sizeof (mLdList));

  if (Status != 0) {
    AsciiPrint ("\nError getting ld list..\n");
    mCachePolicyFailed = TRUE;
    return Status;
  }

  if (mLdList.Count > MAX_LD_LIST_ENTRIES) {
    AsciiPrint ("\nLD list reports %u drives, more than the %d supported..\n", mLdList.Count, MAX_LD_LIST_ENTRIES);
    mCachePolicyFailed = TRUE;
    return LD_ANSWER_OUT_OF_RANGE;
  }

  mLdCount = mLdList.Count;
  return 0;
}

UINT32
GetLogicalDriveProperties (
  IN CONTROLLER_CONTEXT  *Controller,
  IN BOOLEAN             SavePolicy
  )
{
  UINT32  Result = 0;

  gBS->SetMem (mLdProperties, sizeof (mLdProperties), 0);
  if (SavePolicy) {
    gBS->SetMem (mSavedCachePolicy, sizeof (mSavedCachePolicy), 0);
  }

  for (UINT32 Position = 0; Position < mLdCount; Position++) {
    UINT8  TargetId = TargetIdAt (Position);

    if (TargetId >= MAX_TARGET_IDS) {
      AsciiPrint ("\nLD(%d) target id is above the supported %d.", TargetId, MAX_TARGET_IDS - 1);
      mCachePolicyFailed = TRUE;
      Result             = LD_ANSWER_OUT_OF_RANGE;
      break;
    }

    UINT8  Status = RequestFromController (Controller, OP_LD_GET_PROPERTIES, TargetId, &mLdProperties[TargetId], sizeof (mLdProperties[TargetId]));

    if (Status != 0) {
      AsciiPrint ("\nFailed to get LD(%d) properties Err(%d).", TargetId, Status);
      mCachePolicyFailed = TRUE;
      Result             = Status;
      break;
    }

    if (SavePolicy) {
      UINT8  Policy = mLdProperties[TargetId].CachePolicy;

      mSavedCachePolicy[TargetId] = ((Policy & LD_CACHE_POLICY_WRITE_BACK) != 0) ? Policy : 0;
    }
  }

  AsciiPrint ("\n");
  return Result;
}

VOID
SetLogicalDriveProperties (
  IN CONTROLLER_CONTEXT  *Controller,
  IN BOOLEAN             Switching
  )
{
  //
  // Per target id: a set request under it succeeded, or failed. A faulty
  // list may name one target id twice (two references): the per-drive
  // arrays hold it once, so the bookkeeping waits for every entry.
  //
  BOOLEAN  Succeeded[MAX_TARGET_IDS];
  BOOLEAN  Failed[MAX_TARGET_IDS];

  gBS->SetMem (Succeeded, sizeof (Succeeded), 0);
  gBS->SetMem (Failed, sizeof (Failed), 0);

  for (UINT32 Position = 0; Position < mLdCount; Position++) {
    UINT8  TargetId = TargetIdAt (Position);

    //
    // Target ids were checked by the read that filled the list.
    //
    if (TargetId >= MAX_TARGET_IDS) {
      continue;
    }

    //
    // The VD number as the switch message showed it, before the list's Ref
    // replaces the controller's.
    //
    UINT8  VdId = DriveIdOf (TargetId);

    mLdProperties[TargetId].Ref = mLdList.Entries[Position].Ref;

    UINT8  Status = RequestToController (Controller, OP_LD_SET_PROPERTIES, mLdList.Entries[Position].Ref, &mLdProperties[TargetId], sizeof (mLdProperties[TargetId]));

    if (Status != 0) {
      AsciiPrint ("\nFailed to set LD(%d) properties Err(%d).", TargetId, Status);
      Failed[TargetId]   = TRUE;
      mCachePolicyFailed = TRUE;
      continue;
    }

    Succeeded[TargetId] = TRUE;
    if (mSavedCachePolicy[TargetId] == 0) {
      continue;
    }

    if (Switching && !mInWriteThrough[TargetId] && (mSwitchedCount < MAX_TARGET_IDS)) {
      //
      // A target id listed twice is recorded once, so the record never
      // holds more than the 64 target ids. A set that succeeded is recorded
      // even when another entry of the same target id failed: that drive is
      // in write-through now.
      //
      mInWriteThrough[TargetId]                = TRUE;
      mSwitchedDrives[mSwitchedCount].TargetId = TargetId;
      mSwitchedDrives[mSwitchedCount].VdId     = VdId;
      mSwitchedCount++;
    }
  }

  for (UINT32 TargetId = 0; TargetId < MAX_TARGET_IDS; TargetId++) {
    //
    // A drive whose every set failed was not changed: it loses its saved
    // policy, so the restore leaves it alone.
    //
    if (Failed[TargetId] && !Succeeded[TargetId]) {
      mSavedCachePolicy[TargetId] = 0;
    }

    //
    // Back in write-back only when every set under the target id
    // succeeded: after a partial failure the tool cannot tell which drive
    // of a target id listed twice is which, and names it as kept.
    //
    if (!Switching && Succeeded[TargetId] && !Failed[TargetId] && (mSavedCachePolicy[TargetId] != 0)) {
      mInWriteThrough[TargetId] = FALSE;
    }
  }

  AsciiPrint ("\n");
}

UINT32
ReadLogicalDrives (
  IN CONTROLLER_CONTEXT  *Controller,
  IN BOOLEAN             SavePolicy
  )
{
  CONST CHAR8  *Message;
  UINT32       Status;

  mCachePolicyFailed = FALSE;

  Status = GetLogicalDriveList (Controller);
  if (Status != 0) {
    Message = "\nFailed to get LD List..";
  } else {
    Status = GetLogicalDriveProperties (Controller, SavePolicy);
    if (Status == 0) {
      return 0;
    }

    Message = "\nFailed to get LD properties..";
  }

  AsciiPrint (Message);
  mLdCount = 0;
  gBS->SetMem (mSavedCachePolicy, sizeof (mSavedCachePolicy), 0);
  gBS->SetMem (&mLdList, sizeof (mLdList), 0);
  gBS->SetMem (mLdProperties, sizeof (mLdProperties), 0);
  return Status;
}

BOOLEAN
SwitchToWriteThrough (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  mCachePolicyFailed = FALSE;

  mSwitchedCount = 0;
  gBS->SetMem (mInWriteThrough, sizeof (mInWriteThrough), 0);

  if (mForceUpdate) {
    AsciiPrint ("\nIgnoring VD write policy..");
    return TRUE;
  }

  if (ReadLogicalDrives (Controller, TRUE) != 0) {
    AsciiPrint ("\nError getting LD information..");
    return FALSE;
  }

  if (!TakeOverUpdateRecord (Controller)) {
    return FALSE;
  }

  UPDATE_RECORD_DRIVE  Drives[MAX_TARGET_IDS];
  UINT32               DriveCount = 0;

  for (UINT32 Position = 0; Position < mLdCount; Position++) {
    UINT8  TargetId = TargetIdAt (Position);

    if ((TargetId >= MAX_TARGET_IDS) || (mSavedCachePolicy[TargetId] == 0)) {
      continue;
    }

    //
    // A drive that a cut-off update left in write-through has its saved
    // policy from that update's record, and nothing to switch.
    //
    if ((mLdProperties[TargetId].CachePolicy & LD_CACHE_POLICY_WRITE_BACK) != 0) {
      if (mCheckOnly) {
        AsciiPrint ("\nWould switch VD(%d) WB->WT.", DriveIdOf (TargetId));
      } else {
        mLdProperties[TargetId].CachePolicy &= LD_CACHE_POLICY_WRITE_THROUGH_MASK;
        AsciiPrint ("\nModifying write cache policy for VD(%d) WB->WT.", DriveIdOf (TargetId));
      }
    }

    if (!RecordHolds (Drives, DriveCount, TargetId)) {
      Drives[DriveCount].TargetId    = TargetId;
      Drives[DriveCount].VdId        = DriveIdOf (TargetId);
      Drives[DriveCount].SavedPolicy = mSavedCachePolicy[TargetId];
      Drives[DriveCount].Reserved    = 0;
      DriveCount++;
    }
  }

  if (mCheckOnly) {
    return TRUE;
  }

  //
  // Nothing has been changed yet: a record that cannot be kept stops the
  // update here.
  //
  if ((DriveCount != 0) && EFI_ERROR (WriteUpdateRecord (Controller, Drives, DriveCount))) {
    mCachePolicyFailed = TRUE;
    return FALSE;
  }

  SetLogicalDriveProperties (Controller, TRUE);
  if (!mCachePolicyFailed) {
    return TRUE;
  }

  //
  // Nothing has reached the flash yet: put the drives switched so far back
  // rather than leave them in write-through for an update that will not
  // happen. After an earlier flash that was cut off, though, the firmware
  // may be half written, and the drives stay in write-through.
  //
  if (EarlierFlashWasCut ()) {
    ReportDrivesLeftInWriteThrough (WRITE_THROUGH_REASON::FLASH_FAILED);
  } else {
    PutWriteThroughDrivesBack (Controller);
  }

  mCachePolicyFailed = TRUE;
  return FALSE;
}

BOOLEAN
TakeOverUpdateRecord (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  CONST UPDATE_RECORD  *Found = FoundUpdateRecord ();

  if (Found == NULL) {
    return TRUE;
  }

  for (UINT32 Index = 0; Index < Found->Header.DriveCount; Index++) {
    UINT8  TargetId = Found->Drives[Index].TargetId;

    if (!DriveIsListed (TargetId)) {
      ReportUpdateRecordMismatch (Controller, UPDATE_RECORD_MATCH::DRIVES_GONE, TargetId);
      return FALSE;
    }
  }

  for (UINT32 Index = 0; Index < Found->Header.DriveCount; Index++) {
    CONST UPDATE_RECORD_DRIVE  *Drive   = &Found->Drives[Index];
    UINT8                      TargetId = Drive->TargetId;

    //
    // A drive switched back to write-back by hand since has its policy
    // from the read, as any write-back drive.
    //
    if ((mLdProperties[TargetId].CachePolicy & LD_CACHE_POLICY_WRITE_BACK) != 0) {
      continue;
    }

    mSavedCachePolicy[TargetId] = Drive->SavedPolicy;
    if (!mCheckOnly && !mInWriteThrough[TargetId]) {
      mInWriteThrough[TargetId]                = TRUE;
      mSwitchedDrives[mSwitchedCount].TargetId = TargetId;
      mSwitchedDrives[mSwitchedCount].VdId     = Drive->VdId;
      mSwitchedCount++;
    }
  }

  PrintUpdateRecordTakeOver ();
  return TRUE;
}

//
// Drives are matched by target id.
//
BOOLEAN
RestoreWriteCachePolicy (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  mCachePolicyFailed = FALSE;

  if (mForceUpdate) {
    return TRUE;
  }

  if (ReadLogicalDrives (Controller, FALSE) != 0) {
    AsciiPrint ("\nError getting LD information..");
    return FALSE;
  }

  for (UINT32 Position = 0; Position < mLdCount; Position++) {
    UINT8  TargetId = TargetIdAt (Position);

    if ((TargetId < MAX_TARGET_IDS) && (mSavedCachePolicy[TargetId] != 0)) {
      mLdProperties[TargetId].CachePolicy = mSavedCachePolicy[TargetId];
      AsciiPrint ("\nModifying write cache policy for VD(%d) WT->WB.", DriveIdOf (TargetId));
    }
  }

  SetLogicalDriveProperties (Controller, FALSE);
  return !mCachePolicyFailed;
}

VOID
PutWriteThroughDrivesBack (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  if (DrivesLeftInWriteThrough () != 0) {
    RestoreWriteCachePolicy (Controller);
    ReportDrivesLeftInWriteThrough (WRITE_THROUGH_REASON::RESTORE_FAILED);
  }
}

UINT32
DrivesLeftInWriteThrough (
  VOID
  )
{
  UINT32  Count = 0;

  for (UINT32 Index = 0; Index < mSwitchedCount; Index++) {
    if (mInWriteThrough[mSwitchedDrives[Index].TargetId]) {
      Count++;
    }
  }

  return Count;
}

BOOLEAN
ReportDrivesLeftInWriteThrough (
  IN WRITE_THROUGH_REASON  Reason
  )
{
  if (DrivesLeftInWriteThrough () == 0) {
    return FALSE;
  }

  AsciiPrint ("\nWrite-through kept for");
  for (UINT32 Index = 0; Index < mSwitchedCount; Index++) {
    if (mInWriteThrough[mSwitchedDrives[Index].TargetId]) {
      AsciiPrint (" VD(%d)", mSwitchedDrives[Index].VdId);
    }
  }

  AsciiPrint (
    ": %a.",
    (Reason == WRITE_THROUGH_REASON::FLASH_FAILED) ? "the flash failed; switch back by hand once the controller is updated"
                                                   : "restoring write-back failed; switch back by hand"
    );
  return TRUE;
}

UINT32
ListDrivesLeftInWriteThrough (
  OUT UINT8   *VdIds,
  IN  UINT32  Capacity
  )
{
  UINT32  Count = 0;

  for (UINT32 Index = 0; Index < mSwitchedCount; Index++) {
    if (mInWriteThrough[mSwitchedDrives[Index].TargetId]) {
      if (Count < Capacity) {
        VdIds[Count] = mSwitchedDrives[Index].VdId;
      }

      Count++;
    }
  }

  return Count;
}
