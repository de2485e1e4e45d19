/** @file
  Test-facing control of the handle database behind the boot services'
  LocateHandleBuffer, OpenProtocol, HandleProtocol and CloseProtocol: the
  handles that carry EFI_PCI_IO_PROTOCOL, what opening them returns, and a
  record of the calls.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_HANDLE_DATABASE_H_
#define HOST_HANDLE_DATABASE_H_

#include <vector>

extern "C" {
#include <Uefi.h>
#include <Protocol/PciIo.h>
}

/**
  Add a handle that carries EFI_PCI_IO_PROTOCOL. Handles are returned by
  LocateHandleBuffer in the order in which they were added.

  @param[in] PciIo       The interface that OpenProtocol hands out.
  @param[in] OpenStatus  What OpenProtocol returns for it. EFI_SUCCESS and
                         EFI_ALREADY_STARTED hand out the interface; any other
                         status hands out NULL.

  @return The new handle.
**/
EFI_HANDLE
HostAddPciIoHandle (
  IN EFI_PCI_IO_PROTOCOL  *PciIo,
  IN EFI_STATUS           OpenStatus = EFI_SUCCESS
  );

/**
  Change what OpenProtocol returns for a handle added before.
**/
VOID
HostSetOpenProtocolStatus (
  IN EFI_HANDLE  Handle,
  IN EFI_STATUS  OpenStatus
  );

/**
  Remove every handle.
**/
VOID
HostClearHandles (
  VOID
  );

/**
  Make LocateHandleBuffer fail with Status (no buffer, no count); EFI_SUCCESS
  returns it to normal.
**/
VOID
HostSetLocateHandleStatus (
  IN EFI_STATUS  Status
  );

///
/// One OpenProtocol call as the product made it.
///
struct HOST_OPEN_PROTOCOL_CALL {
  EFI_HANDLE    Handle;
  EFI_GUID      Protocol;
  EFI_HANDLE    AgentHandle;
  EFI_HANDLE    ControllerHandle;
  UINT32        Attributes;
  EFI_STATUS    Status;             ///< what was returned
  VOID          *Interface;         ///< what was handed out
};

/**
  @return Every OpenProtocol call since the last reset, in call order.
**/
CONST std::vector<HOST_OPEN_PROTOCOL_CALL> &
HostOpenProtocolCalls (
  VOID
  );

/**
  @return Number of LocateHandleBuffer calls since the last reset.
**/
UINT32
HostLocateHandleBufferCalls (
  VOID
  );

/**
  @return Number of CloseProtocol calls since the last reset.
**/
UINT32
HostCloseProtocolCalls (
  VOID
  );

#endif
