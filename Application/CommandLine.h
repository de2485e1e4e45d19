/** @file
  The command-line flow and its helpers, for the application entry and its
  tests.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef COMMAND_LINE_H_
#define COMMAND_LINE_H_

#include "../CtlFlash.h"

///
/// Size of the buffer into which an argument is narrowed: 255 characters
/// and the NUL. Longer arguments are refused.
///
#define ARGUMENT_BUFFER_SIZE  256

///
/// A start-up or exit hook.
///
typedef VOID (*APPLICATION_HOOK)(VOID);

extern APPLICATION_HOOK  *mExitHooks;
extern UINT32            mExitHookCapacity;
extern UINT32            mExitHookCount;

/**
  Call every non-null hook of a range, first to last.

  @param[in] First  First entry of the range.
  @param[in] End    One past the last entry.
**/
VOID
CallHookRange (
  IN CONST APPLICATION_HOOK  *First,
  IN CONST APPLICATION_HOOK  *End
  );

/**
  Create the exit-hook table and run the start-up initialisers.
**/
VOID
RunStartupHooks (
  VOID
  );

/**
  Run the registered exit hooks in the order of registration and release the
  table.
**/
VOID
RunExitHooks (
  VOID
  );

/**
  The whole command-line flow: discovery, then the listing (with -sfo the
  Controller records), the update or the check. Its result is the exit
  status of the application, which the shell shows in %lasterror%:

  | Status                | Outcome                                             |
  |-----------------------|-----------------------------------------------------|
  | EFI_SUCCESS           | listing; completed update; passed check; with all:  |
  |                       | no controller failed and one or more succeeded      |
  | EFI_INVALID_PARAMETER | refused command line (argument count, a target that |
  |                       | is no index, PCI location or "all", an argument of  |
  |                       | more than 255 characters, a third word other than   |
  |                       | "force" or "check")                                 |
  | EFI_NOT_FOUND         | index not below the controller count; no controller |
  |                       | of the run at the location; an update or check      |
  |                       | command line with no supported controller           |
  | EFI_NO_RESPONSE       | the chosen controller did not answer the inventory  |
  | EFI_LOAD_ERROR        | the image file cannot be read                       |
  | EFI_UNSUPPORTED       | the image is refused; with all: every controller    |
  |                       | was skipped, none supported by the image            |
  | EFI_DEVICE_ERROR      | the update failed or partly failed (drive step,     |
  |                       | flash, or a restore after a successful flash)       |
  | EFI_ABORTED           | the controller's update record does not match it    |
  | the store's error     | the update record could not be written              |

  "forget LOCATION" runs before discovery: EFI_SUCCESS when the record was
  dropped, EFI_NOT_FOUND when there was none, EFI_INVALID_PARAMETER for a
  location that does not parse, else the variable service's error.

  With all and some controllers failed, the status is the first failed
  controller's (in index order).

  @param[in] Argc  Number of arguments, the program name included.
  @param[in] Argv  The arguments.

  @return The exit status, as above.
**/
EFI_STATUS
ProcessCommandLine (
  IN UINTN   Argc,
  IN CHAR16  **Argv
  );

/**
  Narrow a CHAR16 string to ASCII: each character keeps its low 8 bits.
  Applies no bound: the caller makes sure Destination is large enough.

  @param[out] Destination  Receives the ASCII string and its NUL.
  @param[in]  Source       NUL-terminated CHAR16 string.

  @return Destination.
**/
CHAR8 *
UnicodeToAsciiCopy (
  OUT CHAR8         *Destination,
  IN  CONST CHAR16  *Source
  );

/**
  Convert a decimal string (leading blanks and tabs, one sign, digits in
  wrapping unsigned 32-bit arithmetic).

  @param[in] String  NUL-terminated ASCII string.

  @return The value as a 32-bit two's-complement integer; 0 without digits.
**/
INT32
AsciiToInt (
  IN CONST CHAR8  *String
  );

#endif
