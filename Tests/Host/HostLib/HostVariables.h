/** @file
  Host instance of the runtime variable services and the clock
  (gRT->GetVariable, SetVariable, GetTime): an in-memory variable store.
  HostReset empties it; between two runs of the application in one test
  it stays, so they see the same store, as two boots do.

  Tests fill, read, wipe and break the store through these calls.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_VARIABLES_H_
#define HOST_VARIABLES_H_

#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
}

///
/// One stored variable.
///
struct HOST_VARIABLE {
  EFI_GUID              Guid;
  std::u16string        Name;
  UINT32                Attributes;
  std::vector<UINT8>    Data;
};

/**
  Empty the store, undo every injected failure and put the clock back to
  its default (2026-12-10 15:02:00, valid).
**/
VOID
HostVariablesReset (
  VOID
  );

/**
  @return Every stored variable, in the order of creation.
**/
const std::vector<HOST_VARIABLE> &
HostVariables (
  VOID
  );

/**
  @return The variable of that GUID and name, or nullptr.
**/
const HOST_VARIABLE *
HostFindVariable (
  const EFI_GUID        &Guid,
  const std::u16string  &Name
  );

/**
  Store a variable as SetVariable would, without its checks.
**/
VOID
HostPutVariable (
  const EFI_GUID            &Guid,
  const std::u16string      &Name,
  UINT32                    Attributes,
  const std::vector<UINT8>  &Data
  );

/**
  Make SetVariable calls fail: the After-th call from now on (0: the next)
  and every later one answer Status without changing the store, until
  HostVariablesReset or another call of this. Deletions (no data) fail as
  well when Deletions is TRUE.
**/
VOID
HostFailSetVariable (
  UINT32      After,
  EFI_STATUS  Status,
  BOOLEAN     Deletions = FALSE
  );

/**
  @return Number of SetVariable calls since the last reset.
**/
UINT32
HostSetVariableCount (
  VOID
  );

/**
  Make GetTime answer Status (EFI_SUCCESS restores the default time).
**/
VOID
HostSetTimeStatus (
  EFI_STATUS  Status
  );

#endif
