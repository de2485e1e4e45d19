/** @file
  The write-cache guard's own records, module state and steps, for
  CachePolicy.cpp and its tests. The guard's entry points are declared in
  CtlFlash.h, the logical-drive records that it exchanges with the
  controller in ControllerInterface.h.

  Module state, valid for one run:

  | Name               | Written by                                    |
  |--------------------|-----------------------------------------------|
  | mLdList, mLdCount  | GetLogicalDriveList; cleared by a failed read |
  | mLdProperties      | GetLogicalDriveProperties (by target id), the |
  |                    | switch and restore steps                      |
  | mSavedCachePolicy  | the saving read; cleared by every failed read |
  |                    | and per drive by a failed set request         |
  | mCachePolicyFailed | every failed request of the current step      |
  | mSwitchedDrives,   | a successful set of the switch appends a      |
  | mSwitchedCount     | drive; cleared when the next switch begins    |
  | mInWriteThrough    | TRUE by a successful set of the switch, or by |
  |                    | TakeOverUpdateRecord for a drive a cut-off    |
  |                    | update left in write-through; FALSE by a      |
  |                    | successful set of the restore                 |

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CACHE_POLICY_INTERNAL_H_
#define CACHE_POLICY_INTERNAL_H_

#include "../CtlFlash.h"

///
/// The per-drive arrays hold target ids 0 to 63.
///
#define MAX_TARGET_IDS  64

///
/// A drive that the switch put into write-through: its target id and its VD
/// number as the switch message showed it.
///
struct SWITCHED_DRIVE {
  UINT8    TargetId;
  UINT8    VdId;
};

extern LD_LIST         mLdList;
extern UINT32          mLdCount;
extern LD_PROPERTIES   mLdProperties[MAX_TARGET_IDS];
extern UINT8           mSavedCachePolicy[MAX_TARGET_IDS];
extern BOOLEAN         mCachePolicyFailed;
extern SWITCHED_DRIVE  mSwitchedDrives[MAX_TARGET_IDS];
extern UINT32          mSwitchedCount;
extern BOOLEAN         mInWriteThrough[MAX_TARGET_IDS];

///
/// Result of a read whose answer the arrays cannot hold (more than 256
/// drives, or a target id above 63). It lies outside the status bytes, so
/// it is never mistaken for a controller's own status.
///
inline constexpr UINT32  LD_ANSWER_OUT_OF_RANGE = 0x100;

/**
  Read the controller's logical-drive list into mLdList.

  A list of more than 256 drives does not fit and fails the step: drives
  beyond the list could not be switched to write-through.

  @param[in] Controller  The controller.

  @return 0, the status of the failed list request, or
          LD_ANSWER_OUT_OF_RANGE.
**/
UINT32
GetLogicalDriveList (
  IN CONTROLLER_CONTEXT  *Controller
  );

/**
  Read the properties of every listed drive into mLdProperties, by target
  id, and with SavePolicy save the policy of every write-back drive.

  A target id above 63 has no room in the per-drive arrays and fails the
  step like a failed read.

  @param[in] Controller  The controller.
  @param[in] SavePolicy  TRUE to save the write-back policies.

  @return 0 when every drive was read, else the failed request's status or
          LD_ANSWER_OUT_OF_RANGE.
**/
UINT32
GetLogicalDriveProperties (
  IN CONTROLLER_CONTEXT  *Controller,
  IN BOOLEAN             SavePolicy
  );

/**
  Write the properties of every listed drive back to the controller. A drive
  whose set request fails loses its saved policy, so the restore leaves it
  alone. The outcome is in mCachePolicyFailed.

  A successful set of a drive with a saved policy marks it in write-through
  when Switching, and back in write-back otherwise. A target id that a
  faulty list names twice is one drive here: it keeps its saved policy when
  any of its sets succeeded, and is back in write-back only when all of
  them did.

  @param[in] Controller  The controller.
  @param[in] Switching   TRUE for the switch, FALSE for the restore.
**/
VOID
SetLogicalDriveProperties (
  IN CONTROLLER_CONTEXT  *Controller,
  IN BOOLEAN             Switching
  );

/**
  Read the list and the properties of every drive. A failed read discards the
  list, the properties and the saved policies.

  @param[in] Controller  The controller.
  @param[in] SavePolicy  TRUE to save the write-back policies.

  @return 0, or the status of the read that failed.
**/
UINT32
ReadLogicalDrives (
  IN CONTROLLER_CONTEXT  *Controller,
  IN BOOLEAN             SavePolicy
  );

/**
  Take over the record of an earlier update of the controller that was cut
  off (FoundUpdateRecord), after the saving read: every drive it names must
  still be listed; each of them that is in write-through now gets the
  record's saved policy and counts as switched by this run. Says so in one
  line.

  @param[in] Controller  The controller.

  @retval TRUE   No record, or it was taken over.
  @retval FALSE  A drive of the record is no longer listed: the record is
                 reported, kept and not applied.
**/
BOOLEAN
TakeOverUpdateRecord (
  IN CONTROLLER_CONTEXT  *Controller
  );

#endif
