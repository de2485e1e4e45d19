/** @file
  Host instances of UefiBootServicesTableLib and UefiRuntimeServicesTableLib:
  gImageHandle, gST, gBS and gRT. The boot services that ctlflash calls come
  from the concern that serves them: pool allocation from the tracked pool
  (HostMemoryAllocationLib.cpp), LocateHandleBuffer, OpenProtocol and the
  other handle services from the handle database (HostHandleDatabase.cpp),
  Stall from the virtual clock (HostClock.cpp), CopyMem and SetMem from
  here; of the runtime services, GetVariable, SetVariable and GetTime from
  the variable store (HostVariables.cpp). The system table's ConOut and StdErr are the console of
  HostConsole.cpp.

  Every service that the product has no business calling stays NULL, so such
  a call ends the test with a sanitizer report at once.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>

#include "HostInternal.h"

extern "C" {
#include <Library/BaseLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {

UINT8  mImageHandleToken;

EFI_STATUS
EFIAPI
HostAllocatePoolService (
  IN  EFI_MEMORY_TYPE  PoolType,
  IN  UINTN            Size,
  OUT VOID             **Buffer
  )
{
  if (Buffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *Buffer = HostPoolAllocate (Size, FALSE);
  return (*Buffer == NULL) ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostFreePoolService (
  IN VOID  *Buffer
  )
{
  return HostPoolFree (Buffer, FALSE);
}

VOID
EFIAPI
HostCopyMemService (
  IN VOID   *Destination,
  IN VOID   *Source,
  IN UINTN  Length
  )
{
  if (Length != 0) {
    std::memmove (Destination, Source, Length);
  }
}

VOID
EFIAPI
HostSetMemService (
  IN VOID   *Buffer,
  IN UINTN  Size,
  IN UINT8  Value
  )
{
  if (Size != 0) {
    std::memset (Buffer, Value, Size);
  }
}

EFI_SIMPLE_TEXT_OUTPUT_MODE      mTextMode;
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  mConOut;
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  mStdErr;

///
/// The boot service, through BaseLib's CRC-32 (the same polynomial and
/// reflection as the firmware's).
///
EFI_STATUS
EFIAPI
HostCalculateCrc32Service (
  IN  VOID    *Data,
  IN  UINTN   DataSize,
  OUT UINT32  *Crc32
  )
{
  if ((Data == NULL) || (DataSize == 0) || (Crc32 == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *Crc32 = CalculateCrc32 (Data, DataSize);
  return EFI_SUCCESS;
}
EFI_BOOT_SERVICES                mBootServices;
EFI_RUNTIME_SERVICES             mRuntimeServices;
EFI_SYSTEM_TABLE                 mSystemTable;

/**
  Build the tables afresh; whatever a test patched into them is undone.
**/
VOID
BuildTables (
  VOID
  )
{
  std::memset (&mTextMode, 0, sizeof (mTextMode));
  mTextMode.MaxMode       = 1;
  mTextMode.CursorVisible = TRUE;
  HostConsoleFillTextOutput (&mConOut, &mTextMode, TRUE);
  HostConsoleFillTextOutput (&mStdErr, &mTextMode, FALSE);

  std::memset (&mBootServices, 0, sizeof (mBootServices));
  mBootServices.Hdr.Signature     = EFI_BOOT_SERVICES_SIGNATURE;
  mBootServices.Hdr.Revision      = EFI_BOOT_SERVICES_REVISION;
  mBootServices.Hdr.HeaderSize    = sizeof (mBootServices);
  mBootServices.AllocatePool      = HostAllocatePoolService;
  mBootServices.FreePool          = HostFreePoolService;
  mBootServices.CopyMem           = HostCopyMemService;
  mBootServices.SetMem            = HostSetMemService;
  mBootServices.CalculateCrc32    = HostCalculateCrc32Service;
  HostHandleDatabaseFillBootServices (&mBootServices);
  HostClockFillBootServices (&mBootServices);

  std::memset (&mRuntimeServices, 0, sizeof (mRuntimeServices));
  mRuntimeServices.Hdr.Signature  = EFI_RUNTIME_SERVICES_SIGNATURE;
  mRuntimeServices.Hdr.Revision   = EFI_RUNTIME_SERVICES_REVISION;
  mRuntimeServices.Hdr.HeaderSize = sizeof (mRuntimeServices);
  HostVariablesFillRuntimeServices (&mRuntimeServices);

  std::memset (&mSystemTable, 0, sizeof (mSystemTable));
  mSystemTable.Hdr.Signature      = EFI_SYSTEM_TABLE_SIGNATURE;
  mSystemTable.Hdr.Revision       = EFI_SYSTEM_TABLE_REVISION;
  mSystemTable.Hdr.HeaderSize     = sizeof (mSystemTable);
  mSystemTable.ConsoleOutHandle   = static_cast<EFI_HANDLE> (&mConOut);
  mSystemTable.ConOut             = &mConOut;
  mSystemTable.StandardErrorHandle = static_cast<EFI_HANDLE> (&mStdErr);
  mSystemTable.StdErr             = &mStdErr;
  mSystemTable.RuntimeServices    = &mRuntimeServices;
  mSystemTable.BootServices       = &mBootServices;
}

/**
  The tables are usable before the first HostReset (for instance by a
  fuzzer or a benchmark that never resets).
**/
struct TABLES_AT_LOAD {
  TABLES_AT_LOAD ()
  {
    BuildTables ();
  }
};

TABLES_AT_LOAD  mTablesAtLoad;

} // namespace

EFI_HANDLE            gImageHandle = static_cast<EFI_HANDLE> (&mImageHandleToken);
EFI_SYSTEM_TABLE      *gST         = &mSystemTable;
EFI_BOOT_SERVICES     *gBS         = &mBootServices;
EFI_RUNTIME_SERVICES  *gRT         = &mRuntimeServices;

VOID
HostBootServicesResetState (
  VOID
  )
{
  BuildTables ();
  gImageHandle = static_cast<EFI_HANDLE> (&mImageHandleToken);
  gST          = &mSystemTable;
  gBS          = &mBootServices;
  gRT          = &mRuntimeServices;
}
