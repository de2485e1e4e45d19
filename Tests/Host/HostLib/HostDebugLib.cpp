/** @file
  Host instance of DebugLib. ASSERT () prints "ASSERT %a(%d): %a\n" to the
  console's standard error, as the shell application's debug library does,
  records the assertion and carries on (no breakpoint, no dead loop). A test
  fails when an assertion fired that it did not declare expected
  (HostExpectAssertions).

  Assertions, DEBUG () and DEBUG_CODE () are all enabled. DEBUG () output of
  every error level goes to a separate log (HostDebugLogText), not to the
  console, so that the console capture holds what a user sees.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstdio>
#include <string>

#include "HostDebugLib.h"
#include "HostInternal.h"

extern "C" {
#include <Library/BaseMemoryLib.h>
#include <Library/DebugLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
}

namespace {

constexpr UINTN  MAX_DEBUG_MESSAGE_LENGTH = 0x100;

std::vector<HOST_ASSERTION> &
Assertions (
  VOID
  )
{
  static std::vector<HOST_ASSERTION>  Storage;

  return Storage;
}

std::string &
DebugLog (
  VOID
  )
{
  static std::string  Storage;

  return Storage;
}

BOOLEAN  mAssertionsExpected;

} // namespace

VOID
HostDebugLogAppend (
  IN CONST CHAR8  *String
  )
{
  DebugLog () += String;
}

VOID
HostDebugResetState (
  VOID
  )
{
  Assertions ().clear ();
  DebugLog ().clear ();
  mAssertionsExpected = FALSE;
}

std::string
HostDebugLogText (
  VOID
  )
{
  return DebugLog ();
}

CONST std::vector<HOST_ASSERTION> &
HostAssertions (
  VOID
  )
{
  return Assertions ();
}

VOID
HostExpectAssertions (
  VOID
  )
{
  mAssertionsExpected = TRUE;
}

std::string
HostUnexpectedAssertionReport (
  VOID
  )
{
  std::string  Report;

  if (mAssertionsExpected) {
    return Report;
  }

  for (const HOST_ASSERTION &Entry : Assertions ()) {
    Report += "  ASSERT " + Entry.FileName + "(" + std::to_string (Entry.LineNumber) + "): " + Entry.Description + "\n";
  }

  return Report;
}

VOID
EFIAPI
DebugPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  DebugVPrint (ErrorLevel, Format, Marker);
  VA_END (Marker);
}

VOID
EFIAPI
DebugVPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  IN  VA_LIST      VaListMarker
  )
{
  CHAR8  Buffer[MAX_DEBUG_MESSAGE_LENGTH];

  ASSERT (Format != NULL);
  AsciiVSPrint (Buffer, sizeof (Buffer), Format, VaListMarker);
  HostDebugLogAppend (Buffer);
}

VOID
EFIAPI
DebugBPrint (
  IN  UINTN        ErrorLevel,
  IN  CONST CHAR8  *Format,
  IN  BASE_LIST    BaseListMarker
  )
{
  CHAR8  Buffer[MAX_DEBUG_MESSAGE_LENGTH];

  ASSERT (Format != NULL);
  AsciiBSPrint (Buffer, sizeof (Buffer), Format, BaseListMarker);
  HostDebugLogAppend (Buffer);
}

VOID
EFIAPI
DebugAssert (
  IN CONST CHAR8  *FileName,
  IN UINTN        LineNumber,
  IN CONST CHAR8  *Description
  )
{
  CHAR16  Buffer[MAX_DEBUG_MESSAGE_LENGTH];

  UnicodeSPrintAsciiFormat (
    Buffer,
    sizeof (Buffer),
    "ASSERT %a(%d): %a\n",
    FileName,
    LineNumber,
    Description
    );
  if ((gST != NULL) && (gST->StdErr != NULL)) {
    gST->StdErr->OutputString (gST->StdErr, Buffer);
  }

  Assertions ().push_back (
                  HOST_ASSERTION {
    (FileName != NULL) ? FileName : "(NULL)", LineNumber,
    (Description != NULL) ? Description : "(NULL)"
  }
                  );
}

VOID *
EFIAPI
DebugClearMemory (
  OUT VOID  *Buffer,
  IN UINTN  Length
  )
{
  ASSERT (Buffer != NULL);
  return SetMem (Buffer, Length, 0xAF);
}

BOOLEAN
EFIAPI
DebugAssertEnabled (
  VOID
  )
{
  return TRUE;
}

BOOLEAN
EFIAPI
DebugPrintEnabled (
  VOID
  )
{
  return TRUE;
}

BOOLEAN
EFIAPI
DebugCodeEnabled (
  VOID
  )
{
  return TRUE;
}

BOOLEAN
EFIAPI
DebugClearMemoryEnabled (
  VOID
  )
{
  return FALSE;
}

BOOLEAN
EFIAPI
DebugPrintLevelEnabled (
  IN  CONST UINTN  ErrorLevel
  )
{
  return TRUE;
}
