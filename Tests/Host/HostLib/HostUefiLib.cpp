/** @file
  Host instance of UefiLib's console printing (Print, AsciiPrint, ErrorPrint,
  AsciiErrorPrint), which reaches the console capture (HostConsole.h)
  through gST->ConOut and gST->StdErr.

  The text is formatted by EDK II's own BasePrintLib, compiled for the host,
  into a buffer of PcdUefiLibMaxPrintBufferSize characters (the value that
  CtlFlashLibs.dsc.inc sets, mirrored in HostAutoGen.h), and handed to the
  console's OutputString exactly as UefiLib does, so field widths,
  "%x" in upper case and the truncation of long output all match the
  firmware. Unlike UefiLib, the format buffer lives on the stack rather than
  in pool memory, so printing neither counts as an allocation nor fails
  under injected allocation failures.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "HostInternal.h"
#include "HostAutoGen.h"

extern "C" {
#include <Library/DebugLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

namespace {

constexpr UINTN  MAX_PRINT_CHARACTERS = _PCD_VALUE_PcdUefiLibMaxPrintBufferSize;

UINTN
InternalPrint (
  IN CONST CHAR16                     *Format,
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *Out,
  IN VA_LIST                          Marker
  )
{
  CHAR16  Buffer[MAX_PRINT_CHARACTERS + 1];

  ASSERT (Format != NULL);
  ASSERT (((UINTN)Format & BIT0) == 0);
  ASSERT (Out != NULL);

  UINTN  Return = UnicodeVSPrint (Buffer, sizeof (Buffer), Format, Marker);

  if ((Out != NULL) && (Return > 0)) {
    if (EFI_ERROR (Out->OutputString (Out, Buffer))) {
      Return = 0;
    }
  }

  return Return;
}

UINTN
InternalAsciiPrint (
  IN CONST CHAR8                      *Format,
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *Out,
  IN VA_LIST                          Marker
  )
{
  CHAR16  Buffer[MAX_PRINT_CHARACTERS + 1];

  ASSERT (Format != NULL);
  ASSERT (Out != NULL);

  UINTN  Return = UnicodeVSPrintAsciiFormat (Buffer, sizeof (Buffer), Format, Marker);

  if (Out != NULL) {
    if (EFI_ERROR (Out->OutputString (Out, Buffer))) {
      Return = 0;
    }
  }

  return Return;
}

} // namespace

UINTN
EFIAPI
Print (
  IN CONST CHAR16  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  UINTN  Return = InternalPrint (Format, gST->ConOut, Marker);

  VA_END (Marker);
  return Return;
}

UINTN
EFIAPI
ErrorPrint (
  IN CONST CHAR16  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  UINTN  Return = InternalPrint (Format, gST->StdErr, Marker);

  VA_END (Marker);
  return Return;
}

UINTN
EFIAPI
AsciiPrint (
  IN CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  UINTN  Return = InternalAsciiPrint (Format, gST->ConOut, Marker);

  VA_END (Marker);
  return Return;
}

UINTN
EFIAPI
AsciiErrorPrint (
  IN CONST CHAR8  *Format,
  ...
  )
{
  VA_LIST  Marker;

  VA_START (Marker, Format);
  UINTN  Return = InternalAsciiPrint (Format, gST->StdErr, Marker);

  VA_END (Marker);
  return Return;
}
