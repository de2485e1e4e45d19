/** @file
  CtlSimDxe: puts simulated RAID controllers on the handle database of a
  UEFI firmware (OVMF under QEMU), so that the real application runs
  against them.

  Loaded from the shell ("load fs0:\CtlSimDxe.efi"), it reads ctlsim.cfg
  from the root of the volume it was loaded from, installs one handle per
  controller of that scenario with EFI_PCI_IO_PROTOCOL and a vendor device
  path, and installs CTL_SIM_CONTROL_PROTOCOL on its image handle for
  ctlsimctl.efi. A periodic timer event tells the models the time, so
  delayed answers arrive while the application polls.

  A controller whose scenario says "persistent" keeps its drives'
  properties, its committed components and an open flash operation in a
  non-volatile variable ("Sim-SSSS:BB:DD.F", CTL_SIM_STATE_VARIABLE_GUID),
  saved after every change and applied on top of the scenario whenever one
  is loaded: a second boot with the same variable store sees what the
  first left, as a real controller keeps its configuration.

  | State     | Changed by                         | Read by                      |
  |-----------|------------------------------------|------------------------------|
  | mSet      | ReplaceControllers (at TPL_CALLBACK)| the timer, the protocol      |
  | mHandles  | ReplaceControllers                 | ReplaceControllers           |
  | mCounter* | the entry point                    | DxeNowUs                     |

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Protocol/DevicePath.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SimpleFileSystem.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

#include "../../CtlFlash.h"
#include "../Include/CtlSimControl.h"
#include "CycleCounter.h"

namespace {

///
/// ctlsim.cfg larger than this is refused.
///
constexpr UINT64  CONFIG_FILE_LIMIT = 1024 * 1024;

///
/// Period of the timer event: 1 ms in 100 ns units. The firmware's own tick
/// may be coarser; the models take the time from the processor's counter
/// (CycleCounter.h), not from counting ticks.
///
constexpr UINT64  TIMER_PERIOD = 10000;

#pragma pack(push, 1)

struct SIM_DEVICE_PATH {
  VENDOR_DEVICE_PATH          Vendor;
  UINT32                      Index;
  EFI_DEVICE_PATH_PROTOCOL    End;
};

#pragma pack(pop)

struct SIM_HANDLE {
  EFI_HANDLE         Handle;
  SIM_DEVICE_PATH    DevicePath;
};

SIM_SET     mSet;
SIM_HANDLE  mHandles[SIM_MAX_SCENARIO_CONTROLLERS];
EFI_EVENT   mTimer;
UINT64      mCounterStart;
UINT64      mCounterPerUs = 1;
EFI_GUID    mControlGuid    = CTL_SIM_CONTROL_PROTOCOL_GUID;
EFI_GUID    mDevicePathGuid = CTL_SIM_DEVICE_PATH_GUID;
EFI_GUID    mStateGuid      = CTL_SIM_STATE_VARIABLE_GUID;

///
/// "Sim-SSSS:BB:DD.F" and its NUL.
///
constexpr UINTN  STATE_NAME_LENGTH = 32;

//
// ---------------------------------------------------------------------------
// Environment of the models
// ---------------------------------------------------------------------------
//

VOID *
DxeAllocate (
  UINTN  Size
  )
{
  return AllocatePool (Size);
}

VOID
DxeFree (
  VOID  *Buffer
  )
{
  FreePool (Buffer);
}

//
// Below 4 GiB, as a root bridge gives a device without dual address cycles
// its buffers, and bounce buffers in particular.
//
VOID *
DxeAllocatePages (
  UINTN  Pages
  )
{
  EFI_PHYSICAL_ADDRESS  Address = 0xFFFFFFFF;

  if (EFI_ERROR (gBS->AllocatePages (AllocateMaxAddress, EfiBootServicesData, Pages, &Address))) {
    return NULL;
  }

  return reinterpret_cast<VOID *> (static_cast<UINTN> (Address));
}

VOID
DxeFreePages (
  VOID   *Buffer,
  UINTN  Pages
  )
{
  FreePages (Buffer, Pages);
}

UINT64
DxeNowUs (
  VOID
  )
{
  return (ReadCycleCounter () - mCounterStart) / mCounterPerUs;
}

///
/// Keep the timer's notification out while a model runs: raise to
/// TPL_CALLBACK, or stay where the caller already is when that is higher.
///
UINTN
DxeLock (
  VOID
  )
{
  EFI_TPL  Current = gBS->RaiseTPL (TPL_HIGH_LEVEL);

  gBS->RestoreTPL (Current);
  return gBS->RaiseTPL ((Current > TPL_CALLBACK) ? Current : TPL_CALLBACK);
}

VOID
DxeUnlock (
  UINTN  Token
  )
{
  gBS->RestoreTPL (static_cast<EFI_TPL> (Token));
}

//
// ---------------------------------------------------------------------------
// Persistent state: one non-volatile variable per persistent controller,
// named after its PCI location
// ---------------------------------------------------------------------------
//

VOID
StateName (
  IN  SIM_CONTROLLER  *Sim,
  OUT CHAR16          (&Name)[STATE_NAME_LENGTH]
  )
{
  CONST SIM_PCI_LOCATION  *Location = &SimGetConfig (Sim)->Location;

  UnicodeSPrint (
    Name,
    sizeof (Name),
    CTL_WSTR ("Sim-%04x:%02x:%02x.%x"),
    Location->Segment,
    static_cast<UINT32> (Location->Bus),
    static_cast<UINT32> (Location->Device),
    static_cast<UINT32> (Location->Function)
    );
}

///
/// Called by the model, with its lock held (TPL_CALLBACK, where the
/// variable services may be called), after each command that changes what
/// a real controller keeps across a power cut.
///
VOID
DxeStateChanged (
  SIM_CONTROLLER  *Sim
  )
{
  CHAR16             Name[STATE_NAME_LENGTH];
  SIM_PERSIST_STATE  State;

  if (!SimGetConfig (Sim)->Persistent) {
    return;
  }

  StateName (Sim, Name);
  SimSaveState (Sim, &State);
  EFI_STATUS  Status = gRT->SetVariable (Name, &mStateGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, sizeof (State), &State);

  if (EFI_ERROR (Status)) {
    Print (CTL_WSTR ("CtlSimDxe: state of %s not saved (%r)\n"), Name, Status);
  }
}

///
/// Put what an earlier boot left on top of a new persistent controller.
///
VOID
ApplySavedState (
  IN SIM_CONTROLLER  *Sim
  )
{
  CHAR16             Name[STATE_NAME_LENGTH];
  SIM_PERSIST_STATE  State;
  UINTN              Size = sizeof (State);

  if (!SimGetConfig (Sim)->Persistent) {
    return;
  }

  StateName (Sim, Name);
  if (EFI_ERROR (gRT->GetVariable (Name, &mStateGuid, NULL, &Size, &State))) {
    return;
  }

  if (!SimApplyState (Sim, &State, Size)) {
    Print (CTL_WSTR ("CtlSimDxe: saved state %s does not fit the scenario; not applied\n"), Name);
  }
}

//
// DxeAllocate takes boot-services pool, which the application frees with
// FreePool: it also serves the descriptors that GetBarAttributes hands out.
// The buffers of PciIo->AllocateBuffer are boot-services pages.
//
constexpr SIM_ENV  mEnv = { DxeAllocate, DxeFree, DxeNowUs, DxeLock, DxeUnlock, DxeAllocate, DxeAllocatePages, DxeFreePages, DxeStateChanged };

///
/// Measure the counter against Stall once, so that DxeNowUs gives microseconds.
///
VOID
CalibrateClock (
  VOID
  )
{
  UINT64  Start = ReadCycleCounter ();

  gBS->Stall (10000);
  mCounterPerUs = (ReadCycleCounter () - Start) / 10000;
  if (mCounterPerUs == 0) {
    mCounterPerUs = 1;
  }

  mCounterStart = ReadCycleCounter ();
}

VOID
EFIAPI
OnTimer (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  SimSetAdvanceTime (&mSet, DxeNowUs ());
}

//
// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------
//

EFI_STATUS
UninstallHandle (
  IN SIM_HANDLE      *Entry,
  IN SIM_CONTROLLER  *Sim
  )
{
  EFI_STATUS  Status;

  if (Entry->Handle == NULL) {
    return EFI_SUCCESS;
  }

  Status = gBS->UninstallMultipleProtocolInterfaces (
                  Entry->Handle,
                  &gEfiDevicePathProtocolGuid,
                  &Entry->DevicePath,
                  &gEfiPciIoProtocolGuid,
                  SimGetPciIo (Sim),
                  NULL
                  );
  if (!EFI_ERROR (Status)) {
    Entry->Handle = NULL;
  }

  return Status;
}

VOID
SetNodeLength (
  OUT EFI_DEVICE_PATH_PROTOCOL  *Node,
  IN  UINTN                     Length
  )
{
  Node->Length[0] = static_cast<UINT8> (Length);
  Node->Length[1] = static_cast<UINT8> (Length >> 8);
}

EFI_STATUS
InstallHandle (
  IN SIM_HANDLE      *Entry,
  IN SIM_CONTROLLER  *Sim,
  IN UINT32          Index
  )
{
  SIM_DEVICE_PATH  *Path = &Entry->DevicePath;

  ZeroMem (Path, sizeof (*Path));
  Path->Vendor.Header.Type    = HARDWARE_DEVICE_PATH;
  Path->Vendor.Header.SubType = HW_VENDOR_DP;
  SetNodeLength (&Path->Vendor.Header, sizeof (Path->Vendor) + sizeof (Path->Index));
  CopyMem (&Path->Vendor.Guid, &mDevicePathGuid, sizeof (EFI_GUID));
  Path->Index          = Index;
  Path->End.Type       = END_DEVICE_PATH_TYPE;
  Path->End.SubType    = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  SetNodeLength (&Path->End, sizeof (Path->End));

  Entry->Handle = NULL;
  return gBS->InstallMultipleProtocolInterfaces (
                &Entry->Handle,
                &gEfiDevicePathProtocolGuid,
                Path,
                &gEfiPciIoProtocolGuid,
                SimGetPciIo (Sim),
                NULL
                );
}

///
/// Take down the current controllers: uninstall each handle and destroy
/// its model. A model whose handle cannot be uninstalled (something still
/// holds it) is left alive, since the handle still points into it.
///
VOID
RemoveControllers (
  VOID
  )
{
  SIM_SET  Old;
  EFI_TPL  Tpl;

  Tpl = gBS->RaiseTPL (TPL_CALLBACK);
  CopyMem (&Old, &mSet, sizeof (Old));
  mSet.Count = 0;
  gBS->RestoreTPL (Tpl);

  for (UINT32 Index = 0; Index < Old.Count; Index++) {
    EFI_STATUS  Status = UninstallHandle (&mHandles[Index], Old.Controllers[Index]);

    if (EFI_ERROR (Status)) {
      Print (CTL_WSTR ("CtlSimDxe: controller %u stays installed (%r)\n"), Index, Status);
      continue;
    }

    SimDestroy (Old.Controllers[Index]);
  }
}

/**
  Replace the simulated controllers by those of a scenario text.
**/
EFI_STATUS
ReplaceControllers (
  IN  CONST CHAR8      *Text,
  IN  UINTN            Length,
  OUT SIM_PARSE_ERROR  *Error
  )
{
  SIM_SET     New;
  EFI_STATUS  Status = EFI_SUCCESS;
  EFI_TPL     Tpl;

  if (!SimSetLoad (&mEnv, Text, Length, &New, Error)) {
    return (Error->Line != 0) ? EFI_INVALID_PARAMETER : EFI_OUT_OF_RESOURCES;
  }

  for (UINT32 Index = 0; Index < New.Count; Index++) {
    ApplySavedState (New.Controllers[Index]);
  }

  RemoveControllers ();

  for (UINT32 Index = 0; Index < New.Count; Index++) {
    Status = InstallHandle (&mHandles[Index], New.Controllers[Index], Index);
    if (EFI_ERROR (Status)) {
      while (Index > 0) {
        Index--;
        UninstallHandle (&mHandles[Index], New.Controllers[Index]);
      }

      SimSetDestroy (&New);
      return Status;
    }
  }

  Tpl = gBS->RaiseTPL (TPL_CALLBACK);
  CopyMem (&mSet, &New, sizeof (mSet));
  gBS->RestoreTPL (Tpl);
  return EFI_SUCCESS;
}

//
// ---------------------------------------------------------------------------
// CTL_SIM_CONTROL_PROTOCOL
// ---------------------------------------------------------------------------
//

EFI_STATUS
EFIAPI
ControlLoad (
  IN  CTL_SIM_CONTROL_PROTOCOL  *This,
  IN  CONST CHAR8               *Text,
  IN  UINTN                     Length,
  OUT SIM_PARSE_ERROR           *Error
  )
{
  if ((Text == NULL) || (Error == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  return ReplaceControllers (Text, Length, Error);
}

UINT32
EFIAPI
ControlGetCount (
  IN CTL_SIM_CONTROL_PROTOCOL  *This
  )
{
  return mSet.Count;
}

SIM_CONTROLLER *
EFIAPI
ControlGetController (
  IN CTL_SIM_CONTROL_PROTOCOL  *This,
  IN UINT32                    Index
  )
{
  return (Index < mSet.Count) ? mSet.Controllers[Index] : NULL;
}

UINT32
EFIAPI
ControlClearState (
  IN CTL_SIM_CONTROL_PROTOCOL  *This
  )
{
  UINT32  Cleared = 0;

  for (UINT32 Index = 0; Index < mSet.Count; Index++) {
    CHAR16  Name[STATE_NAME_LENGTH];

    StateName (mSet.Controllers[Index], Name);
    if (!EFI_ERROR (gRT->SetVariable (Name, &mStateGuid, 0, 0, NULL))) {
      Cleared++;
    }
  }

  return Cleared;
}

CTL_SIM_CONTROL_PROTOCOL  mControl = {
  CTL_SIM_CONTROL_REVISION,
  ControlLoad,
  ControlGetCount,
  ControlGetController,
  ControlClearState
};

//
// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------
//

///
/// Read ctlsim.cfg from the root of the volume the driver was loaded from.
/// EFI_NOT_FOUND when there is no such volume or file.
///
EFI_STATUS
ReadConfigFile (
  IN  EFI_HANDLE  ImageHandle,
  OUT CHAR8       **Text,
  OUT UINTN       *Length
  )
{
  EFI_LOADED_IMAGE_PROTOCOL        *Image;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *FileSystem;
  EFI_FILE_PROTOCOL                *Root;
  EFI_FILE_PROTOCOL                *File;
  EFI_STATUS                       Status;
  UINT64                           Size;
  UINTN                            Done;
  CHAR8                            *Buffer;

  *Text   = NULL;
  *Length = 0;
  Status  = gBS->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **> (&Image));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->HandleProtocol (Image->DeviceHandle, &gEfiSimpleFileSystemProtocolGuid, reinterpret_cast<VOID **> (&FileSystem));
  if (EFI_ERROR (Status)) {
    return EFI_NOT_FOUND;
  }

  Status = FileSystem->OpenVolume (FileSystem, &Root);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = Root->Open (Root, &File, const_cast<CHAR16 *> (CTL_WSTR ("ctlsim.cfg")), EFI_FILE_MODE_READ, 0);
  Root->Close (Root);
  if (EFI_ERROR (Status)) {
    return EFI_NOT_FOUND;
  }

  Status = File->SetPosition (File, MAX_UINT64);
  if (!EFI_ERROR (Status)) {
    Status = File->GetPosition (File, &Size);
  }

  if (!EFI_ERROR (Status)) {
    Status = File->SetPosition (File, 0);
  }

  if (!EFI_ERROR (Status) && (Size > CONFIG_FILE_LIMIT)) {
    Status = EFI_BAD_BUFFER_SIZE;
  }

  if (EFI_ERROR (Status)) {
    File->Close (File);
    return Status;
  }

  Buffer = static_cast<CHAR8 *> (AllocatePool (static_cast<UINTN> (Size) + 1));
  if (Buffer == NULL) {
    File->Close (File);
    return EFI_OUT_OF_RESOURCES;
  }

  for (Done = 0; Done < Size; ) {
    UINTN  Piece = static_cast<UINTN> (Size) - Done;

    Status = File->Read (File, &Piece, Buffer + Done);
    if (EFI_ERROR (Status) || (Piece == 0)) {
      break;
    }

    Done += Piece;
  }

  File->Close (File);
  if (EFI_ERROR (Status) || (Done != Size)) {
    FreePool (Buffer);
    return EFI_ERROR (Status) ? Status : EFI_END_OF_FILE;
  }

  Buffer[Done] = '\0';
  *Text        = Buffer;
  *Length      = Done;
  return EFI_SUCCESS;
}

VOID
StopEverything (
  VOID
  )
{
  if (mTimer != NULL) {
    gBS->CloseEvent (mTimer);
    mTimer = NULL;
  }

  RemoveControllers ();
}

} // namespace

/**
  Entry point: read ctlsim.cfg, install its controllers and the control
  protocol, start the timer.

  @param[in] ImageHandle  The driver's image handle.
  @param[in] SystemTable  The system table.

  @retval EFI_SUCCESS  The controllers are installed (none when there is no
                       ctlsim.cfg).
  @return A failure: ctlsim.cfg does not parse (the line is printed) or a
          handle could not be installed; nothing stays installed.
**/
extern "C"
EFI_STATUS
EFIAPI
CtlSimDxeEntry (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS       Status;
  CHAR8            *Text;
  UINTN            Length;
  SIM_PARSE_ERROR  Error;

  CalibrateClock ();
  Status = gBS->CreateEvent (EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnTimer, NULL, &mTimer);
  if (EFI_ERROR (Status)) {
    Print (CTL_WSTR ("CtlSimDxe: no timer event (%r)\n"), Status);
    return Status;
  }

  Status = ReadConfigFile (ImageHandle, &Text, &Length);
  if (Status == EFI_NOT_FOUND) {
    Print (CTL_WSTR ("CtlSimDxe: no ctlsim.cfg, starting without controllers\n"));
  } else if (EFI_ERROR (Status)) {
    Print (CTL_WSTR ("CtlSimDxe: cannot read ctlsim.cfg (%r)\n"), Status);
    StopEverything ();
    return Status;
  } else {
    Status = ReplaceControllers (Text, Length, &Error);
    FreePool (Text);
    if (EFI_ERROR (Status)) {
      AsciiPrint ("CtlSimDxe: ctlsim.cfg line %u: %a\n", Error.Line, Error.Message);
      Print (CTL_WSTR ("CtlSimDxe: not started (%r)\n"), Status);
      StopEverything ();
      return Status;
    }
  }

  EFI_HANDLE  Handle = ImageHandle;

  Status = gBS->InstallMultipleProtocolInterfaces (&Handle, &mControlGuid, &mControl, NULL);
  if (!EFI_ERROR (Status)) {
    Status = gBS->SetTimer (mTimer, TimerPeriodic, TIMER_PERIOD);
  }

  if (EFI_ERROR (Status)) {
    Print (CTL_WSTR ("CtlSimDxe: not started (%r)\n"), Status);
    gBS->UninstallMultipleProtocolInterfaces (ImageHandle, &mControlGuid, &mControl, NULL);
    StopEverything ();
    return Status;
  }

  Print (CTL_WSTR ("CtlSimDxe: %u simulated controller(s)\n"), mSet.Count);
  return EFI_SUCCESS;
}
