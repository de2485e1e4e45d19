/** @file
  Discovery and bring-up: walks every PCI function that offers PCI I/O,
  keeps the maker's supported controllers in the controller table and brings
  each controller's firmware to its ready state, with register access alone.
  Prints nothing.
**/

#include "../CtlFlash.h"

///
/// Filled by DiscoverControllers once per run; afterwards only the Disabled
/// flags change.
///
CONTROLLER_TABLE  mControllerTable;

namespace {

constexpr UINT32  HANDSHAKE_REGISTER       = 0x2C;
constexpr UINT32  HANDSHAKE_PATTERN        = 0xDEADDEAD;
constexpr UINTN   HANDSHAKE_STALL_US       = 1000;
constexpr UINTN   FIRMWARE_PAUSE_US        = 200000;
constexpr UINTN   FIRMWARE_STATE0_PAUSE_US = 2000000;
constexpr UINT16  UNCHANGED_POLL_LIMIT     = 900;
constexpr UINT32  DOORBELL_RING            = 1;

///
/// The handshake repeats until the controller clears its register. A
/// controller that has not done so after 60,000 tries (a minute) is left out
/// of the table like one whose firmware reports a fault.
///
constexpr UINT32  HANDSHAKE_TRY_LIMIT = 60000;

///
/// Overall bound of the firmware wait, so a firmware whose status keeps
/// changing without ever settling cannot hang the machine: 3,000 polls, that
/// is at least ten minutes. It lies well above the 900 unchanged polls that
/// end the wait on their own. A controller that reaches it is left out.
///
constexpr UINT32  FIRMWARE_POLL_LIMIT = 3000;

///
/// Firmware states, bits 31-28 of the status register.
///
enum class FIRMWARE_STATE : UINT32 {
  Reset          = 0,
  WaitHandshake  = 6,
  Ready          = 11,
  Operational    = 12,
  Fault          = 15
};

constexpr BOOLEAN
IsReadyState (
  UINT32  State
  )
{
  return State == static_cast<UINT32> (FIRMWARE_STATE::Ready) ||
         State == static_cast<UINT32> (FIRMWARE_STATE::Operational);
}

///
/// States that are waited through before the doorbell was rung and are a
/// failure after it.
///
constexpr BOOLEAN
IsFailingAfterDoorbell (
  UINT32  State
  )
{
  return State == 2 || State == 3 || State == 5 || State == 13 || State == 14;
}

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
/// A 64-bit memory BAR whose upper half is not zero lies above 4 GiB.
///
BOOLEAN
IsWindowAbove4G (
  IN CONST PCI_TYPE00  *Header,
  IN INT32             BarIndex
  )
{
  UINT32  Bar = Header->Device.Bar[BarIndex];

  if ((Bar & BIT0) != 0) {
    return FALSE;                                // I/O space
  }

  if (((Bar >> 1) & 0x3) != 0x2) {
    return FALSE;                                // 32-bit memory BAR
  }

  return (BarIndex < 5) && (Header->Device.Bar[BarIndex + 1] != 0);
}

///
/// The handshake of the controllers that need read-backs, below chip
/// revision 2: write the pattern until the controller answers 0.
///
BOOLEAN
RunBringUpHandshake (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  for (UINT32 Try = 0; Try < HANDSHAKE_TRY_LIMIT; Try++) {
    WriteControllerRegister (Controller, HANDSHAKE_REGISTER, HANDSHAKE_PATTERN, REGISTER_MODE::REG_BAR_RELATIVE);
    gBS->Stall (HANDSHAKE_STALL_US);
    if (ReadControllerRegister (Controller, HANDSHAKE_REGISTER, REGISTER_MODE::REG_BAR_RELATIVE) == 0) {
      return TRUE;
    }
  }

  return FALSE;
}

} // namespace

/**
  Find the maker's supported controllers on the PCI bus, fill
  mControllerTable and bring each controller's firmware to its ready state.
  Prints nothing.
**/
VOID
DiscoverControllers (
  VOID
  )
{
  EFI_STATUS  Status;
  UINTN       HandleCount;
  EFI_HANDLE  *Handles;

  mControllerTable.ControllerCount = 0;

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

/**
  @param[in] Index  A slot number below mControllerTable.ControllerCount.

  @return The controller record of that slot.
**/
CONTROLLER_CONTEXT *
GetControllerContext (
  IN UINT32  Index
  )
{
  ASSERT (Index < MAX_CONTROLLERS);
  return &mControllerTable.Controllers[Index];
}

/**
  Fill one controller record and bring the controller's firmware up.

  @param[out] Slot    The record to fill.
  @param[in]  Header  The controller's first 64 bytes of configuration space.
  @param[in]  PciIo   Its PCI I/O interface.
  @param[in]  Row     Its supported-controller row.

  @retval TRUE   The controller is ready for requests.
  @retval FALSE  The bring-up failed; Slot->Disabled is set.
**/
BOOLEAN
InitializeController (
  OUT CONTROLLER_CONTEXT          *Slot,
  IN  CONST PCI_TYPE00            *Header,
  IN  EFI_PCI_IO_PROTOCOL         *PciIo,
  IN  CONST SUPPORTED_CONTROLLER  *Row
  )
{
  Slot->Disabled = FALSE;
  gBS->CopyMem (&Slot->Model, const_cast<SUPPORTED_CONTROLLER *> (Row), sizeof (Slot->Model));

  Slot->VendorId          = Header->Hdr.VendorId;
  Slot->DeviceId          = Header->Hdr.DeviceId;
  Slot->SubsystemVendorId = Header->Device.SubsystemVendorID;
  Slot->SubsystemId       = Header->Device.SubsystemID;
  Slot->PciIo             = PciIo;
  Slot->RegisterBase      = Header->Device.Bar[Slot->Model.BarIndex] & Slot->Model.BarMask;
  Slot->WindowAbove4G     = IsWindowAbove4G (Header, Slot->Model.BarIndex);

  if (Slot->Model.FlushReads) {
    if (Header->Hdr.RevisionID >= 2) {
      Slot->Model.FlushReads = FALSE;
    } else if (!RunBringUpHandshake (Slot)) {
      Slot->Disabled = TRUE;
      return FALSE;
    }
  }

  if (!WaitForFirmwareReady (Slot)) {
    Slot->Disabled = TRUE;
    return FALSE;
  }

  return TRUE;
}

/**
  Poll the firmware state until the firmware is ready or has failed.

  The wait also ends, with TRUE, after 900 consecutive polls that read the
  same status value, and with FALSE after FIRMWARE_POLL_LIMIT polls in all.

  @param[in] Controller  A filled controller record.

  @retval TRUE   The firmware reached a ready state, or held one status value
                 for 900 polls.
  @retval FALSE  The firmware reported a fault, or never settled.
**/
BOOLEAN
WaitForFirmwareReady (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  UINT16   UnchangedPolls = 0;
  UINT32   PreviousValue  = 0;
  BOOLEAN  DoorbellRung   = FALSE;

  for (UINT32 Poll = 0; ; Poll++) {
    if (UnchangedPolls >= UNCHANGED_POLL_LIMIT) {
      return TRUE;
    }

    if (Poll >= FIRMWARE_POLL_LIMIT) {
      return FALSE;
    }

    FIRMWARE_STATUS  Status = { ReadControllerRegister (Controller, Controller->Model.StatusRegister, REGISTER_MODE::REG_BAR_RELATIVE) };

    if (Controller->Model.FlushReads) {
      ReadControllerRegister (Controller, Controller->Model.StatusRegister, REGISTER_MODE::REG_BAR_RELATIVE);
    }

    if (Status.Value != PreviousValue) {
      UnchangedPolls = 0;
    }

    PreviousValue = Status.Value;

    UINT32  State = Status.State ();

    if (State == static_cast<UINT32> (FIRMWARE_STATE::Fault)) {
      return FALSE;
    }

    if (DoorbellRung && IsFailingAfterDoorbell (State)) {
      return FALSE;
    }

    if (State == static_cast<UINT32> (FIRMWARE_STATE::Reset)) {
      gBS->Stall (FIRMWARE_STATE0_PAUSE_US);
    } else if (State == static_cast<UINT32> (FIRMWARE_STATE::WaitHandshake)) {
      WriteControllerRegister (Controller, Controller->Model.DoorbellRegister, DOORBELL_RING, REGISTER_MODE::REG_BASE_RELATIVE);
      DoorbellRung = TRUE;
    }

    gBS->Stall (FIRMWARE_PAUSE_US);
    UnchangedPolls++;

    if (IsReadyState (State)) {
      return TRUE;
    }
  }
}
