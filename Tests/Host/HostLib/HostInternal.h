/** @file
  What the host instances share among themselves and no test needs: the
  pool entry points behind both MemoryAllocationLib and the boot services,
  the console and DEBUG () sinks, the pieces that each concern contributes
  to the service tables, and the per-module resets that HostReset calls.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_INTERNAL_H_
#define HOST_INTERNAL_H_

#include "HostHarness.h"

extern "C" {
#include <Uefi.h>
}

/**
  Allocate a tracked block (subject to fault injection).

  @param[in] Size   Bytes wanted.
  @param[in] Pages  TRUE for AllocatePages (4 KiB aligned).

  @return The block, filled with a non-zero pattern; NULL on failure.
**/
VOID *
HostPoolAllocate (
  IN UINTN    Size,
  IN BOOLEAN  Pages
  );

/**
  Free a tracked block. A pointer that is not an outstanding block of the
  same kind (double free, unknown pointer) is reported and left alone.

  @retval EFI_SUCCESS            The block was freed.
  @retval EFI_INVALID_PARAMETER  The pointer was not an outstanding block.
**/
EFI_STATUS
HostPoolFree (
  IN VOID     *Buffer,
  IN BOOLEAN  Pages
  );

/**
  Append a NUL-terminated CHAR16 string to the console capture.
**/
VOID
HostConsoleAppend (
  IN CONST CHAR16  *String
  );

/**
  Append a NUL-terminated ASCII string to the DEBUG () log.
**/
VOID
HostDebugLogAppend (
  IN CONST CHAR8  *String
  );

/**
  Fill a text output protocol (ConOut or StdErr) whose output goes to the
  console capture, with one 80 x 25 mode described by Mode. Output of the
  standard-output protocol is also kept apart (HostStandardOutputText).
**/
VOID
HostConsoleFillTextOutput (
  OUT EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *Protocol,
  IN  EFI_SIMPLE_TEXT_OUTPUT_MODE      *Mode,
  IN  BOOLEAN                          StandardOutput
  );

/**
  Put the handle database's services (LocateHandleBuffer, OpenProtocol,
  CloseProtocol, HandleProtocol, LocateProtocol) into a boot services table.
**/
VOID
HostHandleDatabaseFillBootServices (
  IN OUT EFI_BOOT_SERVICES  *BootServices
  );

/**
  Put the virtual clock's Stall into a boot services table.
**/
VOID
HostClockFillBootServices (
  IN OUT EFI_BOOT_SERVICES  *BootServices
  );

/**
  Put the variable store's services (GetVariable, SetVariable) and the
  clock's GetTime into a runtime services table.
**/
VOID
HostVariablesFillRuntimeServices (
  IN OUT EFI_RUNTIME_SERVICES  *RuntimeServices
  );

//
// Per-module resets, called by HostReset.
//

VOID
HostBootServicesResetState (
  VOID
  );

VOID
HostHandleDatabaseResetState (
  VOID
  );

/**
  HostClockReset, and besides: no listeners, the default limits.
**/
VOID
HostClockResetState (
  VOID
  );

VOID
HostPoolResetState (
  VOID
  );

VOID
HostConsoleResetState (
  VOID
  );

VOID
HostDebugResetState (
  VOID
  );

#endif
