/** @file
  The two boot services that the image format code calls (SetMem and
  CopyMem), for host programs that run it outside the test harness: the
  image tool and the fuzzer. Every other boot service is absent.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>

extern "C" {
#include <Uefi.h>
#include <Library/UefiBootServicesTableLib.h>
}

namespace {

VOID
EFIAPI
ToolCopyMem (
  IN VOID   *Destination,
  IN VOID   *Source,
  IN UINTN  Length
  )
{
  std::memmove (Destination, Source, Length);
}

VOID
EFIAPI
ToolSetMem (
  IN VOID   *Buffer,
  IN UINTN  Size,
  IN UINT8  Value
  )
{
  std::memset (Buffer, Value, Size);
}

EFI_BOOT_SERVICES
MakeBootServices (
  )
{
  EFI_BOOT_SERVICES  Services;

  std::memset (&Services, 0, sizeof (Services));
  Services.CopyMem = ToolCopyMem;
  Services.SetMem  = ToolSetMem;
  return Services;
}

EFI_BOOT_SERVICES  mToolBootServices = MakeBootServices ();

} // namespace

EFI_BOOT_SERVICES  *gBS = &mToolBootServices;
