/** @file
  The handle database of the host boot services: LocateHandleBuffer,
  OpenProtocol, CloseProtocol, HandleProtocol and LocateProtocol over the
  handles that a test adds (each carries EFI_PCI_IO_PROTOCOL), with a record
  of the calls. See HostHandleDatabase.h.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <memory>
#include <vector>

#include "HostHandleDatabase.h"
#include "HostInternal.h"

extern "C" {
#include <Library/BaseMemoryLib.h>
}

namespace {

///
/// One entry of the handle database. The handle is the entry's address.
///
struct HANDLE_ENTRY {
  EFI_PCI_IO_PROTOCOL    *PciIo;
  EFI_STATUS             OpenStatus;
};

std::vector<std::unique_ptr<HANDLE_ENTRY> >  &
Handles (
  VOID
  )
{
  static std::vector<std::unique_ptr<HANDLE_ENTRY> >  Storage;

  return Storage;
}

std::vector<HOST_OPEN_PROTOCOL_CALL> &
OpenCalls (
  VOID
  )
{
  static std::vector<HOST_OPEN_PROTOCOL_CALL>  Storage;

  return Storage;
}

EFI_STATUS  mLocateHandleStatus = EFI_SUCCESS;
UINT32      mLocateHandleCalls;
UINT32      mCloseProtocolCalls;

HANDLE_ENTRY *
FindHandle (
  EFI_HANDLE  Handle
  )
{
  for (auto &Entry : Handles ()) {
    if (static_cast<EFI_HANDLE> (Entry.get ()) == Handle) {
      return Entry.get ();
    }
  }

  return nullptr;
}

EFI_STATUS
EFIAPI
HostLocateHandleBuffer (
  IN     EFI_LOCATE_SEARCH_TYPE  SearchType,
  IN     EFI_GUID                *Protocol OPTIONAL,
  IN     VOID                    *SearchKey OPTIONAL,
  OUT    UINTN                   *NoHandles,
  OUT    EFI_HANDLE              **Buffer
  )
{
  mLocateHandleCalls++;
  if ((NoHandles == NULL) || (Buffer == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *NoHandles = 0;
  *Buffer    = NULL;
  if (EFI_ERROR (mLocateHandleStatus)) {
    return mLocateHandleStatus;
  }

  BOOLEAN  All = (SearchType == AllHandles);

  if (!All) {
    if ((SearchType != ByProtocol) || (Protocol == NULL)) {
      return EFI_INVALID_PARAMETER;
    }

    if (!CompareGuid (Protocol, &gEfiPciIoProtocolGuid)) {
      return EFI_NOT_FOUND;
    }
  }

  UINTN  Count = Handles ().size ();

  if (Count == 0) {
    return EFI_NOT_FOUND;
  }

  EFI_HANDLE  *List = static_cast<EFI_HANDLE *> (HostPoolAllocate (Count * sizeof (EFI_HANDLE), FALSE));

  if (List == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  for (UINTN Index = 0; Index < Count; Index++) {
    List[Index] = static_cast<EFI_HANDLE> (Handles ()[Index].get ());
  }

  *NoHandles = Count;
  *Buffer    = List;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostOpenProtocol (
  IN  EFI_HANDLE  Handle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface OPTIONAL,
  IN  EFI_HANDLE  AgentHandle,
  IN  EFI_HANDLE  ControllerHandle,
  IN  UINT32      Attributes
  )
{
  HOST_OPEN_PROTOCOL_CALL  Call = {};
  HANDLE_ENTRY             *Entry = FindHandle (Handle);

  Call.Handle           = Handle;
  Call.Protocol         = (Protocol != NULL) ? *Protocol : EFI_GUID {};
  Call.AgentHandle      = AgentHandle;
  Call.ControllerHandle = ControllerHandle;
  Call.Attributes       = Attributes;

  if ((Interface == NULL) && (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) {
    Call.Status = EFI_INVALID_PARAMETER;
  } else {
    if (Interface != NULL) {
      *Interface = NULL;
    }

    if ((Protocol == NULL) || (Entry == nullptr)) {
      Call.Status = EFI_INVALID_PARAMETER;
    } else if (!CompareGuid (Protocol, &gEfiPciIoProtocolGuid)) {
      Call.Status = EFI_UNSUPPORTED;
    } else {
      Call.Status = Entry->OpenStatus;
      if (!EFI_ERROR (Call.Status) || (Call.Status == EFI_ALREADY_STARTED)) {
        Call.Interface = Entry->PciIo;
        if (Interface != NULL) {
          *Interface = Entry->PciIo;
        }
      }
    }
  }

  OpenCalls ().push_back (Call);
  return Call.Status;
}

EFI_STATUS
EFIAPI
HostCloseProtocol (
  IN EFI_HANDLE  UserHandle,
  IN EFI_GUID    *Protocol,
  IN EFI_HANDLE  AgentHandle,
  IN EFI_HANDLE  ControllerHandle
  )
{
  mCloseProtocolCalls++;
  return (FindHandle (UserHandle) == nullptr) ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostHandleProtocol (
  IN  EFI_HANDLE  UserHandle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface
  )
{
  HANDLE_ENTRY  *Entry = FindHandle (UserHandle);

  if ((Interface == NULL) || (Protocol == NULL) || (Entry == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  *Interface = NULL;
  if (!CompareGuid (Protocol, &gEfiPciIoProtocolGuid)) {
    return EFI_UNSUPPORTED;
  }

  *Interface = Entry->PciIo;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostLocateProtocol (
  IN  EFI_GUID  *Protocol,
  IN  VOID      *Registration OPTIONAL,
  OUT VOID      **Interface
  )
{
  if (Interface != NULL) {
    *Interface = NULL;
  }

  return EFI_NOT_FOUND;
}

} // namespace

//
// EDK II's build generates the GUID variables of a module (AutoGen.c); the
// host defines the ones the product uses.
//
EFI_GUID  gEfiPciIoProtocolGuid = EFI_PCI_IO_PROTOCOL_GUID;

VOID
HostHandleDatabaseFillBootServices (
  IN OUT EFI_BOOT_SERVICES  *BootServices
  )
{
  BootServices->HandleProtocol     = HostHandleProtocol;
  BootServices->OpenProtocol       = HostOpenProtocol;
  BootServices->CloseProtocol      = HostCloseProtocol;
  BootServices->LocateHandleBuffer = HostLocateHandleBuffer;
  BootServices->LocateProtocol     = HostLocateProtocol;
}

VOID
HostHandleDatabaseResetState (
  VOID
  )
{
  Handles ().clear ();
  OpenCalls ().clear ();
  mLocateHandleStatus = EFI_SUCCESS;
  mLocateHandleCalls  = 0;
  mCloseProtocolCalls = 0;
}

EFI_HANDLE
HostAddPciIoHandle (
  IN EFI_PCI_IO_PROTOCOL  *PciIo,
  IN EFI_STATUS           OpenStatus
  )
{
  Handles ().push_back (std::unique_ptr<HANDLE_ENTRY> (new HANDLE_ENTRY { PciIo, OpenStatus }));
  return static_cast<EFI_HANDLE> (Handles ().back ().get ());
}

VOID
HostSetOpenProtocolStatus (
  IN EFI_HANDLE  Handle,
  IN EFI_STATUS  OpenStatus
  )
{
  HANDLE_ENTRY  *Entry = FindHandle (Handle);

  if (Entry == nullptr) {
    HostReportFailure ("HostSetOpenProtocolStatus: unknown handle %p", Handle);
    return;
  }

  Entry->OpenStatus = OpenStatus;
}

VOID
HostClearHandles (
  VOID
  )
{
  Handles ().clear ();
}

VOID
HostSetLocateHandleStatus (
  IN EFI_STATUS  Status
  )
{
  mLocateHandleStatus = Status;
}

CONST std::vector<HOST_OPEN_PROTOCOL_CALL> &
HostOpenProtocolCalls (
  VOID
  )
{
  return OpenCalls ();
}

UINT32
HostLocateHandleBufferCalls (
  VOID
  )
{
  return mLocateHandleCalls;
}

UINT32
HostCloseProtocolCalls (
  VOID
  )
{
  return mCloseProtocolCalls;
}
