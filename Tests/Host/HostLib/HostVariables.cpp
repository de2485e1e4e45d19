/** @file
  The host variable store and clock (HostVariables.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <algorithm>
#include <cstring>

#include "HostInternal.h"
#include "HostVariables.h"

namespace {

std::vector<HOST_VARIABLE>  mStore;
UINT32                      mSetCalls;
BOOLEAN                     mFailArmed;
UINT32                      mFailFrom;
EFI_STATUS                  mFailStatus;
BOOLEAN                     mFailDeletions;
EFI_STATUS                  mTimeStatus;

std::u16string
NameOf (
  CONST CHAR16  *Name
  )
{
  std::u16string  Text;

  for ( ; *Name != 0; Name++) {
    Text += static_cast<char16_t> (*Name);
  }

  return Text;
}

std::vector<HOST_VARIABLE>::iterator
Find (
  CONST EFI_GUID        &Guid,
  const std::u16string  &Name
  )
{
  return std::find_if (mStore.begin (), mStore.end (), [&](const HOST_VARIABLE &Variable) {
    return (std::memcmp (&Variable.Guid, &Guid, sizeof (Guid)) == 0) && (Variable.Name == Name);
  });
}

EFI_STATUS
EFIAPI
HostGetVariable (
  IN     CHAR16    *VariableName,
  IN     EFI_GUID  *VendorGuid,
  OUT    UINT32    *Attributes OPTIONAL,
  IN OUT UINTN     *DataSize,
  OUT    VOID      *Data OPTIONAL
  )
{
  if ((VariableName == NULL) || (VendorGuid == NULL) || (DataSize == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  auto  Entry = Find (*VendorGuid, NameOf (VariableName));

  if (Entry == mStore.end ()) {
    return EFI_NOT_FOUND;
  }

  if (*DataSize < Entry->Data.size ()) {
    *DataSize = Entry->Data.size ();
    return EFI_BUFFER_TOO_SMALL;
  }

  if ((Data == NULL) && !Entry->Data.empty ()) {
    return EFI_INVALID_PARAMETER;
  }

  *DataSize = Entry->Data.size ();
  if (!Entry->Data.empty ()) {
    std::memcpy (Data, Entry->Data.data (), Entry->Data.size ());
  }

  if (Attributes != NULL) {
    *Attributes = Entry->Attributes;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostSetVariable (
  IN CHAR16    *VariableName,
  IN EFI_GUID  *VendorGuid,
  IN UINT32    Attributes,
  IN UINTN     DataSize,
  IN VOID      *Data
  )
{
  UINT32  Call = mSetCalls++;

  if ((VariableName == NULL) || (VariableName[0] == 0) || (VendorGuid == NULL) || ((DataSize != 0) && (Data == NULL))) {
    return EFI_INVALID_PARAMETER;
  }

  BOOLEAN  Deletion = (DataSize == 0) || (Attributes == 0);

  if (mFailArmed && (Call >= mFailFrom) && (!Deletion || mFailDeletions)) {
    return mFailStatus;
  }

  //
  // As the firmware's store: runtime access needs boot-service access.
  //
  if (!Deletion && ((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0) && ((Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0)) {
    return EFI_INVALID_PARAMETER;
  }

  std::u16string  Name  = NameOf (VariableName);
  auto            Entry = Find (*VendorGuid, Name);

  if (Deletion) {
    if (Entry == mStore.end ()) {
      return EFI_NOT_FOUND;
    }

    mStore.erase (Entry);
    return EFI_SUCCESS;
  }

  if ((Entry != mStore.end ()) && (Entry->Attributes != Attributes)) {
    return EFI_INVALID_PARAMETER;
  }

  std::vector<UINT8>  Bytes (static_cast<const UINT8 *> (Data), static_cast<const UINT8 *> (Data) + DataSize);

  if (Entry == mStore.end ()) {
    mStore.push_back ({ *VendorGuid, Name, Attributes, Bytes });
  } else {
    Entry->Data = Bytes;
  }

  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostGetTime (
  OUT EFI_TIME               *Time,
  OUT EFI_TIME_CAPABILITIES  *Capabilities OPTIONAL
  )
{
  if (Time == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (EFI_ERROR (mTimeStatus)) {
    return mTimeStatus;
  }

  std::memset (Time, 0, sizeof (*Time));
  Time->Year   = 2026;
  Time->Month  = 12;
  Time->Day    = 10;
  Time->Hour   = 15;
  Time->Minute = 2;
  Time->TimeZone = EFI_UNSPECIFIED_TIMEZONE;
  return EFI_SUCCESS;
}

} // namespace

VOID
HostVariablesFillRuntimeServices (
  IN OUT EFI_RUNTIME_SERVICES  *RuntimeServices
  )
{
  RuntimeServices->GetVariable = HostGetVariable;
  RuntimeServices->SetVariable = HostSetVariable;
  RuntimeServices->GetTime     = HostGetTime;
}

VOID
HostVariablesReset (
  VOID
  )
{
  mStore.clear ();
  mSetCalls      = 0;
  mFailArmed     = FALSE;
  mFailFrom      = 0;
  mFailStatus    = EFI_SUCCESS;
  mFailDeletions = FALSE;
  mTimeStatus    = EFI_SUCCESS;
}

const std::vector<HOST_VARIABLE> &
HostVariables (
  VOID
  )
{
  return mStore;
}

const HOST_VARIABLE *
HostFindVariable (
  const EFI_GUID        &Guid,
  const std::u16string  &Name
  )
{
  auto  Entry = Find (Guid, Name);

  return (Entry == mStore.end ()) ? nullptr : &*Entry;
}

VOID
HostPutVariable (
  const EFI_GUID            &Guid,
  const std::u16string      &Name,
  UINT32                    Attributes,
  const std::vector<UINT8>  &Data
  )
{
  auto  Entry = Find (Guid, Name);

  if (Entry == mStore.end ()) {
    mStore.push_back ({ Guid, Name, Attributes, Data });
  } else {
    Entry->Attributes = Attributes;
    Entry->Data       = Data;
  }
}

VOID
HostFailSetVariable (
  UINT32      After,
  EFI_STATUS  Status,
  BOOLEAN     Deletions
  )
{
  mFailArmed     = TRUE;
  mFailFrom      = mSetCalls + After;
  mFailStatus    = Status;
  mFailDeletions = Deletions;
}

UINT32
HostSetVariableCount (
  VOID
  )
{
  return mSetCalls;
}

VOID
HostSetTimeStatus (
  EFI_STATUS  Status
  )
{
  mTimeStatus = Status;
}
