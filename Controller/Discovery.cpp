/** @file
  Discovery and bring-up: walks every PCI function that offers PCI I/O,
  keeps the maker's supported controllers in the controller table, turns on
  their decoding and bus mastering (PciAttributes.cpp) and brings each
  controller's firmware to its ready state, with register access alone.
  A supported controller that cannot be brought up is named in one line; a
  long bring-up is shown while it lasts (WaitNotice.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "PciWindow.h"
#include "WaitNotice.h"

///
/// Filled by DiscoverControllers once per run. Which fields of a controller
/// change afterwards, and who changes them, is in CONTROLLER_CONTEXT's table
/// (CtlFlash.h).
///
CONTROLLER_TABLE  mControllerTable;
LEFT_OUT_TABLE    mLeftOutTable;

namespace {

constexpr UINTN   HANDSHAKE_STALL_US       = 1000;
constexpr UINTN   FIRMWARE_PAUSE_US        = 200000;
constexpr UINTN   FIRMWARE_STATE0_PAUSE_US = 2000000;
constexpr UINT16  UNCHANGED_POLL_LIMIT     = 900;

///
/// The handshake repeats until the controller clears its register. A
/// controller that has not done so after 60,000 tries (a minute, inside the
/// bring-up's three) is left out of the table like one whose firmware
/// reports a fault.
///
constexpr UINT32  HANDSHAKE_TRY_LIMIT = 60000;

constexpr BOOLEAN
BarIndicesAreValid ()
{
  for (CONST SUPPORTED_CONTROLLER &Row : mSupportedControllers) {
    if ((Row.BarIndex < 0) || (Row.BarIndex > 5)) {
      return FALSE;
    }
  }

  return TRUE;
}

static_assert (BarIndicesAreValid (), "every supported model names one of the six BARs");

///
/// Fill Controller->Location from the platform's answer.
///
VOID
ReadLocation (
  IN OUT CONTROLLER_CONTEXT  *Controller
  )
{
  UINTN  Segment  = 0;
  UINTN  Bus      = 0;
  UINTN  Device   = 0;
  UINTN  Function = 0;

  if (EFI_ERROR (Controller->PciIo->GetLocation (Controller->PciIo, &Segment, &Bus, &Device, &Function))) {
    AsciiStrCpyS (Controller->Location, sizeof (Controller->Location), "unknown location");
    return;
  }

  AsciiSPrint (
    Controller->Location,
    sizeof (Controller->Location),
    "%04x:%02x:%02x.%x",
    static_cast<UINT32> (Segment),
    static_cast<UINT32> (Bus),
    static_cast<UINT32> (Device),
    static_cast<UINT32> (Function)
    );
}

///
/// Why a controller was left out, as the console says it.
///
CONST CHAR8 *
LeftOutReason (
  IN BRING_UP_RESULT  Result
  )
{
  switch (Result) {
    case BRING_UP_RESULT::BRING_UP_FIRMWARE_FAULT:
      return "firmware fault";
    case BRING_UP_RESULT::BRING_UP_NO_HANDSHAKE:
      return "handshake not answered";
    case BRING_UP_RESULT::BRING_UP_NEVER_READY:
      return "firmware never got ready";
    case BRING_UP_RESULT::BRING_UP_NO_WINDOW:
      return "register window not found";
    case BRING_UP_RESULT::BRING_UP_NO_BUS_MASTER:
      return "bus mastering not enabled";
    default:
      return "bring-up failed";
  }
}

///
/// Keep a left-out controller for the machine-readable listing; beyond
/// MAX_CONTROLLERS of them the rest are only printed.
///
VOID
RecordLeftOut (
  IN CONST CONTROLLER_CONTEXT  *Slot,
  IN CONST CHAR8               *Reason
  )
{
  if (mLeftOutTable.Count >= MAX_CONTROLLERS) {
    return;
  }

  LEFT_OUT_CONTROLLER  *Record = &mLeftOutTable.Controllers[mLeftOutTable.Count++];

  gBS->CopyMem (Record->Location, const_cast<CHAR8 *> (Slot->Location), sizeof (Record->Location));
  Record->VendorId          = Slot->VendorId;
  Record->DeviceId          = Slot->DeviceId;
  Record->SubsystemVendorId = Slot->SubsystemVendorId;
  Record->SubsystemId       = Slot->SubsystemId;
  Record->Reason            = Reason;
}

///
/// The handshake of the controllers that need read-backs, below chip
/// revision 2: write the pattern until the controller answers 0.
///
BOOLEAN
RunBringUpHandshake (
  IN     CONTROLLER_CONTEXT  *Controller,
  IN OUT WAIT_NOTICE         *Wait
  )
{
  Wait->Subject = WAIT_SUBJECT::HANDSHAKE;
  for (UINT32 Try = 0; Try < HANDSHAKE_TRY_LIMIT; Try++) {
    WriteControllerRegister (Controller, HANDSHAKE_REGISTER, HANDSHAKE_PATTERN);
    WaitNoticeStall (Wait, HANDSHAKE_STALL_US);
    if (ReadControllerRegister (Controller, HANDSHAKE_REGISTER) == HANDSHAKE_ANSWERED) {
      return TRUE;
    }
  }

  return FALSE;
}

///
/// Everything of the bring-up after the record is filled.
///
BRING_UP_RESULT
BringUp (
  IN OUT CONTROLLER_CONTEXT  *Slot,
  IN     CONST PCI_TYPE00    *Header,
  IN OUT WAIT_NOTICE         *Wait
  )
{
  PCI_WINDOW  Window;

  if (!FindPciWindow (Slot->PciIo, Header, Slot->Model.BarIndex, &Window)) {
    return BRING_UP_RESULT::BRING_UP_NO_WINDOW;
  }

  Slot->PciBarIndex = Window.PciBarIndex;

  //
  // Before the first register access: the window must decode, and every
  // request needs the controller to reach host memory.
  //
  if (!EnableControllerDma (Slot)) {
    return BRING_UP_RESULT::BRING_UP_NO_BUS_MASTER;
  }

  if (Slot->Model.FlushReads) {
    if (Header->Hdr.RevisionID >= FLUSH_READS_FIXED_REVISION) {
      Slot->Model.FlushReads = FALSE;
    } else if (!RunBringUpHandshake (Slot, Wait)) {
      return BRING_UP_RESULT::BRING_UP_NO_HANDSHAKE;
    }
  }

  return WaitForFirmwareReady (Slot, Wait);
}

} // namespace

VOID
DiscoverControllers (
  VOID
  )
{
  EFI_STATUS  Status;
  UINTN       HandleCount;
  EFI_HANDLE  *Handles;

  mControllerTable.ControllerCount = 0;
  mLeftOutTable.Count              = 0;

  HandleCount = 0;
  Handles     = NULL;
  Status      = gBS->LocateHandleBuffer (ByProtocol, &gEfiPciIoProtocolGuid, NULL, &HandleCount, &Handles);
  if (EFI_ERROR (Status) || (Handles == NULL)) {
    return;
  }

  POOL_GUARD  HandleBuffer (Handles);

  for (UINTN Index = 0; Index < HandleCount; Index++) {
    //
    // The table has MAX_CONTROLLERS slots; further controllers are not
    // looked at.
    //
    if (mControllerTable.ControllerCount >= MAX_CONTROLLERS) {
      break;
    }

    EFI_PCI_IO_PROTOCOL  *PciIo = NULL;

    Status = gBS->OpenProtocol (
                    Handles[Index],
                    &gEfiPciIoProtocolGuid,
                    reinterpret_cast<VOID **> (&PciIo),
                    gImageHandle,
                    NULL,
                    EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL
                    );
    if ((EFI_ERROR (Status) && (Status != EFI_ALREADY_STARTED)) || (PciIo == NULL)) {
      continue;
    }

    PCI_TYPE00  Header;

    gBS->SetMem (&Header, sizeof (Header), 0);
    Status = PciIo->Pci.Read (PciIo, EfiPciIoWidthUint8, 0, sizeof (Header), &Header);
    if (EFI_ERROR (Status)) {
      break;
    }

    if (Header.Hdr.VendorId != MAKER_VENDOR_ID) {
      continue;
    }

    CONST SUPPORTED_CONTROLLER  *Row = FindSupportedController (Header.Hdr.DeviceId);

    if (Row == NULL) {
      continue;
    }

    //
    // A controller that fails its bring-up is not counted: the next one found
    // takes its slot and its index.
    //
    if (InitializeController (GetControllerContext (mControllerTable.ControllerCount), &Header, PciIo, Row)) {
      mControllerTable.ControllerCount++;
    }
  }
}

CONTROLLER_CONTEXT *
GetControllerContext (
  IN UINT32  Index
  )
{
  ASSERT (Index < MAX_CONTROLLERS);
  return &mControllerTable.Controllers[Index];
}

BOOLEAN
InitializeController (
  OUT CONTROLLER_CONTEXT          *Slot,
  IN  CONST PCI_TYPE00            *Header,
  IN  EFI_PCI_IO_PROTOCOL         *PciIo,
  IN  CONST SUPPORTED_CONTROLLER  *Row
  )
{
  Slot->Disabled     = FALSE;
  Slot->NotAnswering = FALSE;
  gBS->CopyMem (&Slot->Model, const_cast<SUPPORTED_CONTROLLER *> (Row), sizeof (Slot->Model));

  Slot->VendorId          = Header->Hdr.VendorId;
  Slot->DeviceId          = Header->Hdr.DeviceId;
  Slot->SubsystemVendorId = Header->Device.SubsystemVendorID;
  Slot->SubsystemId       = Header->Device.SubsystemID;
  Slot->PciIo             = PciIo;
  //
  // Pass-through accesses go to the root bridge's I/O, which takes bus
  // addresses and applies its own translation: so RegisterBase keeps the
  // address of the configuration header, not the host address that
  // GetBarAttributes gives.
  //
  Slot->RegisterBase      = Header->Device.Bar[Slot->Model.BarIndex] & Slot->Model.BarMask;
  Slot->WindowAbove4G     = PciSlotAddress (Header, Slot->Model.BarIndex) > MAX_UINT32;
  Slot->PciBarIndex       = 0;
  Slot->AttributesChanged = FALSE;
  ReadLocation (Slot);

  WAIT_NOTICE  Wait;

  WaitNoticeStart (&Wait, Slot, WAIT_SUBJECT::FIRMWARE, BRING_UP_LIMIT_US);

  BRING_UP_RESULT  Result = BringUp (Slot, Header, &Wait);

  WaitNoticeEnd (&Wait, Result == BRING_UP_RESULT::BRING_UP_READY);
  if (Result != BRING_UP_RESULT::BRING_UP_READY) {
    Slot->Disabled = TRUE;
    //
    // The slot is taken by the next controller found: put this one's
    // attributes back now.
    //
    RestoreAttributesOf (Slot);
    AsciiPrint ("\nController at %a left out: %a..", Slot->Location, LeftOutReason (Result));
    RecordLeftOut (Slot, LeftOutReason (Result));
    return FALSE;
  }

  return TRUE;
}

//
// The 900 polls are looked at before the bound: a value held from the
// first poll on settles at exactly the bound (900 pauses of 0.2 s).
//
BRING_UP_RESULT
WaitForFirmwareReady (
  IN     CONTROLLER_CONTEXT  *Controller,
  IN OUT WAIT_NOTICE         *Wait
  )
{
  UINT16   UnchangedPolls = 0;
  UINT32   PreviousValue  = 0;
  BOOLEAN  DoorbellRung   = FALSE;

  Wait->Subject = WAIT_SUBJECT::FIRMWARE;
  for ( ; ;) {
    if (UnchangedPolls >= UNCHANGED_POLL_LIMIT) {
      return BRING_UP_RESULT::BRING_UP_READY;
    }

    if (Wait->WaitedUs >= BRING_UP_LIMIT_US) {
      return BRING_UP_RESULT::BRING_UP_NEVER_READY;
    }

    FIRMWARE_STATUS  Status = { ReadControllerRegister (Controller, STATUS_REGISTER) };

    if (Controller->Model.FlushReads) {
      ReadControllerRegister (Controller, STATUS_REGISTER);
    }

    if (Status.Value != PreviousValue) {
      UnchangedPolls = 0;
    }

    PreviousValue = Status.Value;

    FIRMWARE_STATE  State = Status.State ();

    Wait->FirmwareState = static_cast<UINT32> (State);
    if (State == FIRMWARE_STATE::FAULT) {
      return BRING_UP_RESULT::BRING_UP_FIRMWARE_FAULT;
    }

    if (DoorbellRung && IsFailingAfterDoorbell (State)) {
      return BRING_UP_RESULT::BRING_UP_FIRMWARE_FAULT;
    }

    if (State == FIRMWARE_STATE::RESET) {
      WaitNoticeStall (Wait, FIRMWARE_STATE0_PAUSE_US);
    } else if (State == FIRMWARE_STATE::DOORBELL_WAIT) {
      WriteControllerRegister (Controller, DOORBELL_REGISTER, DOORBELL_RING);
      DoorbellRung = TRUE;
    }

    WaitNoticeStall (Wait, FIRMWARE_PAUSE_US);
    UnchangedPolls++;

    if (IsReadyState (State)) {
      return BRING_UP_RESULT::BRING_UP_READY;
    }
  }
}
