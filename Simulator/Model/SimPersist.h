/** @file
  The persistent state of a simulated controller: what a real controller
  keeps across a power cut (the drives' properties, the committed
  components, an open flash operation), as one record that the UEFI driver
  stores in a non-volatile variable and applies on top of the scenario at
  its next load.

  Committed components are kept as their size and CRC32 only: a variable
  has no room for firmware. A flash operation that was open comes back
  open but stale: its bytes are gone, so only a close is accepted for it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_PERSIST_H_
#define SIM_PERSIST_H_

#include "SimConfig.h"

struct SIM_CONTROLLER;

#define SIM_PERSIST_SIGNATURE  SIGNATURE_32 ('C', 'S', 'P', 'S')
#define SIM_PERSIST_VERSION    1

#pragma pack(push, 1)

struct SIM_PERSIST_DRIVE {
  UINT32    Ref;                                  ///< the drive's list reference
  UINT8     Properties[sizeof (LD_PROPERTIES)];   ///< what get-properties answers
};

static_assert (sizeof (SIM_PERSIST_DRIVE) == 36, "SIM_PERSIST_DRIVE is 36 bytes");

struct SIM_PERSIST_COMMIT {
  UINT32    Size;
  UINT32    Crc32;
};

///
/// The whole record; filled by SimSaveState.
///
struct SIM_PERSIST_STATE {
  UINT32                Signature;         ///< SIM_PERSIST_SIGNATURE
  UINT16                Version;           ///< SIM_PERSIST_VERSION
  UINT16                Size;              ///< sizeof (SIM_PERSIST_STATE)
  UINT16                VendorId;          ///< IDs of the controller it was saved from
  UINT16                DeviceId;
  UINT8                 FlashOpen;         ///< 1: a flash operation was open
  UINT8                 Reserved[3];
  UINT32                FlashSize;         ///< its size as opened
  UINT32                DriveCount;
  SIM_PERSIST_DRIVE     Drives[SIM_MAX_DRIVES];
  UINT32                CommitCount;
  SIM_PERSIST_COMMIT    Commits[SIM_MAX_COMMITS];
};

#pragma pack(pop)

static_assert (OFFSET_OF (SIM_PERSIST_STATE, FlashSize) == 16, "SIM_PERSIST_STATE.FlashSize at 16");
static_assert (OFFSET_OF (SIM_PERSIST_STATE, Drives) == 24, "SIM_PERSIST_STATE.Drives at 24");
static_assert (sizeof (SIM_PERSIST_STATE) == 24 + 36 * SIM_MAX_DRIVES + 4 + 8 * SIM_MAX_COMMITS, "SIM_PERSIST_STATE has no padding");

/**
  Fill a record with the controller's persistent state.

  @param[in]  Sim    The controller.
  @param[out] State  Receives the record.
**/
VOID
SimSaveState (
  IN  SIM_CONTROLLER     *Sim,
  OUT SIM_PERSIST_STATE  *State
  );

/**
  Apply a saved record on top of the controller's scenario: each drive of
  the record that the scenario has (same Ref) takes the saved properties;
  the saved commits come first in the commit list, without their bytes; an
  open flash operation is open again, stale.

  @param[in] Sim     The controller, just created.
  @param[in] State   The record's bytes.
  @param[in] Length  Their number.

  @retval TRUE   The record was applied.
  @retval FALSE  It is not a whole record, or was saved from a controller
                 with other IDs; nothing changed.
**/
BOOLEAN
SimApplyState (
  IN SIM_CONTROLLER  *Sim,
  IN CONST VOID      *State,
  IN UINTN           Length
  );

#endif
