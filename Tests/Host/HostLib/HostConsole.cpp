/** @file
  The console of the host system table: the text output protocol behind
  gST->ConOut and gST->StdErr, and the capture that both feed, as the shell
  shows both on the screen. See HostConsole.h.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>
#include <string>

#include "HostConsole.h"
#include "HostInternal.h"

namespace {

std::string &
Console (
  VOID
  )
{
  static std::string  Storage;

  return Storage;
}

EFI_STATUS
EFIAPI
HostTextReset (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN BOOLEAN                          ExtendedVerification
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextOutputString (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN CHAR16                           *String
  )
{
  if (String == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  HostConsoleAppend (String);
  return EFI_SUCCESS;
}

std::string &
StandardOutput (
  VOID
  )
{
  static std::string  Storage;

  return Storage;
}

EFI_STATUS
EFIAPI
HostStandardOutputString (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN CHAR16                           *String
  )
{
  if (String == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  for (CONST CHAR16 *Next = String; *Next != 0; Next++) {
    StandardOutput ().push_back (static_cast<char> (*Next & 0xFF));
  }

  HostConsoleAppend (String);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextTestString (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN CHAR16                           *String
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextQueryMode (
  IN  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN  UINTN                            ModeNumber,
  OUT UINTN                            *Columns,
  OUT UINTN                            *Rows
  )
{
  if (ModeNumber != 0) {
    return EFI_UNSUPPORTED;
  }

  *Columns = 80;
  *Rows    = 25;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextSetMode (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN UINTN                            ModeNumber
  )
{
  return (ModeNumber == 0) ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
HostTextSetAttribute (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN UINTN                            Attribute
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextClearScreen (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextSetCursorPosition (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN UINTN                            Column,
  IN UINTN                            Row
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextEnableCursor (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN BOOLEAN                          Visible
  )
{
  return EFI_SUCCESS;
}

} // namespace

VOID
HostConsoleFillTextOutput (
  OUT EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *Protocol,
  IN  EFI_SIMPLE_TEXT_OUTPUT_MODE      *Mode,
  IN  BOOLEAN                          StandardOutput
  )
{
  std::memset (Protocol, 0, sizeof (*Protocol));
  Protocol->Reset             = HostTextReset;
  Protocol->OutputString      = StandardOutput ? HostStandardOutputString : HostTextOutputString;
  Protocol->TestString        = HostTextTestString;
  Protocol->QueryMode         = HostTextQueryMode;
  Protocol->SetMode           = HostTextSetMode;
  Protocol->SetAttribute      = HostTextSetAttribute;
  Protocol->ClearScreen       = HostTextClearScreen;
  Protocol->SetCursorPosition = HostTextSetCursorPosition;
  Protocol->EnableCursor      = HostTextEnableCursor;
  Protocol->Mode              = Mode;
}

VOID
HostConsoleAppend (
  IN CONST CHAR16  *String
  )
{
  for ( ; *String != 0; String++) {
    Console ().push_back (static_cast<char> (*String & 0xFF));
  }
}

VOID
HostConsoleResetState (
  VOID
  )
{
  Console ().clear ();
  StandardOutput ().clear ();
}

std::string
HostStandardOutputText (
  VOID
  )
{
  return StandardOutput ();
}

std::string
HostConsoleText (
  VOID
  )
{
  std::string  Folded;

  for (UINTN Index = 0; Index < Console ().size (); Index++) {
    if ((Console ()[Index] == '\r') && (Index + 1 < Console ().size ()) && (Console ()[Index + 1] == '\n')) {
      continue;
    }

    Folded.push_back (Console ()[Index]);
  }

  return Folded;
}

std::string
HostConsoleRawText (
  VOID
  )
{
  return Console ();
}

VOID
HostConsoleClear (
  VOID
  )
{
  Console ().clear ();
  StandardOutput ().clear ();
}
