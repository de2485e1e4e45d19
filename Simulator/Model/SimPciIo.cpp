/** @file
  The controller as the PCI bus sees it: the configuration space, the
  numbering of the BARs, the register window and its decode, and the
  members of EFI_PCI_IO_PROTOCOL (the bus-master members hand over to
  SimDma.h, the registers behind the window to SimFirmware.cpp).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimControllerState.h"

extern "C" {
#include <IndustryStandard/Acpi.h>
}

namespace {

///
/// Codes of the protocol members that the model does not serve, kept in
/// SIM_ACCESS_RECORD.Register of an OTHER record.
///
enum SIM_MEMBER : UINT32 {
  SIM_MEMBER_POLL_MEM = 1,
  SIM_MEMBER_POLL_IO,
  SIM_MEMBER_COPY_MEM,
  SIM_MEMBER_MAP,
  SIM_MEMBER_UNMAP,
  SIM_MEMBER_ALLOCATE_BUFFER,
  SIM_MEMBER_FREE_BUFFER,
  SIM_MEMBER_FLUSH,
  SIM_MEMBER_GET_LOCATION,
  SIM_MEMBER_ATTRIBUTES,
  SIM_MEMBER_GET_BAR_ATTRIBUTES,
  SIM_MEMBER_SET_BAR_ATTRIBUTES
};

SIM_ACCESS_RECORD *
NewAccessRecord (
  IN SIM_CONTROLLER     *Sim,
  IN SIM_ACCESS_RECORD  *Spare
  )
{
  SIM_ACCESS_RECORD  *Record = Spare;

  if (Sim->AccessCount < SIM_MAX_ACCESS_RECORDS) {
    Record = &Sim->Accesses[Sim->AccessCount++];
  } else {
    Sim->Counters.AccessOverflow++;
  }

  SimZeroBytes (Record, sizeof (*Record));
  Record->TimeUs = SimNow (Sim);
  return Record;
}

//
// ---------------------------------------------------------------------------
// Configuration space and window
// ---------------------------------------------------------------------------
//

VOID
BuildConfigSpace (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  CONST SIM_CONFIG  *Config = &Sim->Config;
  UINT8             *Space  = Sim->ConfigSpace;

  SimZeroBytes (Space, sizeof (Sim->ConfigSpace));
  SimPut16 (&Space[PCI_VENDOR_ID_OFFSET], Config->VendorId);
  SimPut16 (&Space[PCI_DEVICE_ID_OFFSET], Config->DeviceId);
  SimPut16 (&Space[PCI_COMMAND_OFFSET], EFI_PCI_COMMAND_IO_SPACE | EFI_PCI_COMMAND_MEMORY_SPACE | EFI_PCI_COMMAND_BUS_MASTER);
  Space[PCI_REVISION_ID_OFFSET]  = Config->RevisionId;
  Space[PCI_CLASSCODE_OFFSET + 1] = PCI_CLASS_MASS_STORAGE_RAID;
  Space[PCI_CLASSCODE_OFFSET + 2] = PCI_CLASS_MASS_STORAGE;
  Space[PCI_HEADER_TYPE_OFFSET]  = HEADER_TYPE_DEVICE;

  for (UINTN Index = 0; Index < 6; Index++) {
    CONST SIM_BAR_CONFIG  *Bar   = &Config->Bars[Index];
    UINT8                 *Field = &Space[PCI_BASE_ADDRESSREG_OFFSET + 4 * Index];

    switch (Bar->Kind) {
      case SIM_BAR_KIND::IO:
        SimPut32 (Field, (static_cast<UINT32> (Bar->Address) & 0xFFFFFFFCu) | 0x1u);
        break;
      case SIM_BAR_KIND::MEM32:
        SimPut32 (Field, static_cast<UINT32> (Bar->Address) & 0xFFFFFFF0u);
        break;
      case SIM_BAR_KIND::MEM64:
        SimPut32 (Field, (static_cast<UINT32> (Bar->Address) & 0xFFFFFFF0u) | 0x4u);
        SimPut32 (Field + 4, static_cast<UINT32> (Bar->Address >> 32));
        break;
      case SIM_BAR_KIND::NONE:
        break;
    }
  }

  SimPut16 (&Space[PCI_SUBSYSTEM_VENDOR_ID_OFFSET], Config->SubsystemVendorId);
  SimPut16 (&Space[PCI_SUBSYSTEM_ID_OFFSET], Config->SubsystemId);
  Space[PCI_INT_PIN_OFFSET] = 1;
}

///
/// The command register of the configuration space follows the attributes.
///
VOID
UpdateCommandRegister (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  UINT16  Command = 0;

  if ((Sim->Dma.Attributes & EFI_PCI_IO_ATTRIBUTE_IO) != 0) {
    Command |= EFI_PCI_COMMAND_IO_SPACE;
  }

  if ((Sim->Dma.Attributes & EFI_PCI_IO_ATTRIBUTE_MEMORY) != 0) {
    Command |= EFI_PCI_COMMAND_MEMORY_SPACE;
  }

  if ((Sim->Dma.Attributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) != 0) {
    Command |= EFI_PCI_COMMAND_BUS_MASTER;
  }

  SimPut16 (&Sim->ConfigSpace[PCI_COMMAND_OFFSET], Command);
}

VOID
PlaceWindow (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  CONST SIM_BAR_CONFIG  *Bar;

  SimNumberBars (&Sim->Config, Sim->PciBarOfSlot);
  Sim->WindowBar       = SIM_NO_PCI_BAR;
  Sim->WindowIsIo      = (Sim->Row.AccessSpace == ACCESS_SPACE_IO);
  Sim->WindowReachable = FALSE;
  if ((Sim->Row.BarIndex < 0) || (Sim->Row.BarIndex > 5)) {
    return;
  }

  //
  // The row names a configuration slot; PCI I/O reaches that BAR by its own
  // index, which differs from the slot once a 64-bit BAR lies in front.
  //
  Sim->WindowBar = Sim->PciBarOfSlot[Sim->Row.BarIndex];
  if (Sim->WindowBar == SIM_NO_PCI_BAR) {
    return;
  }

  Bar = &Sim->Config.Bars[Sim->Row.BarIndex];
  if (Sim->WindowIsIo) {
    Sim->WindowReachable = (Bar->Kind == SIM_BAR_KIND::IO);
    Sim->WindowBase      = Bar->Address & ~static_cast<UINT64> (0x3);
  } else if (Sim->Row.AccessSpace == ACCESS_SPACE_MEMORY) {
    Sim->WindowReachable = (Bar->Kind == SIM_BAR_KIND::MEM32) || (Bar->Kind == SIM_BAR_KIND::MEM64);
    Sim->WindowBase      = Bar->Address & ~static_cast<UINT64> (0xF);
  }
}

///
/// Does an access reach the register window? Offset is as passed to the
/// protocol: BAR-relative, or absolute with the pass-through BAR.
///
BOOLEAN
WindowHit (
  IN  CONST SIM_CONTROLLER  *Sim,
  IN  BOOLEAN               Memory,
  IN  UINT8                 BarIndex,
  IN  UINT64                Offset,
  OUT UINT32                *Register
  )
{
  UINT64  Relative;

  if (!Sim->WindowReachable || (Memory == Sim->WindowIsIo)) {
    return FALSE;
  }

  if (BarIndex == EFI_PCI_IO_PASS_THROUGH_BAR) {
    if (Offset < Sim->WindowBase) {
      return FALSE;
    }

    Relative = Offset - Sim->WindowBase;
  } else if (BarIndex == Sim->WindowBar) {
    Relative = Offset;
  } else {
    return FALSE;
  }

  if (Relative > Sim->Config.WindowSize - sizeof (UINT32)) {
    return FALSE;
  }

  *Register = static_cast<UINT32> (Relative);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Register accesses
// ---------------------------------------------------------------------------
//

EFI_STATUS
RegisterAccess (
  IN     SIM_CONTROLLER             *Sim,
  IN     BOOLEAN                    Memory,
  IN     BOOLEAN                    Write,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_LOCK           Lock (Sim);
  SIM_ACCESS_RECORD  Spare;
  SIM_ACCESS_RECORD  *Record = NewAccessRecord (Sim, &Spare);
  UINT32             Register;
  UINT32             Value = 0;

  if (Memory) {
    Record->Kind = Write ? SIM_ACCESS_KIND::MEM_WRITE : SIM_ACCESS_KIND::MEM_READ;
  } else {
    Record->Kind = Write ? SIM_ACCESS_KIND::IO_WRITE : SIM_ACCESS_KIND::IO_READ;
  }

  Record->BarIndex = BarIndex;
  Record->Width    = static_cast<UINT8> (Width);
  Record->Count    = static_cast<UINT32> (Count);
  Record->Offset   = Offset;

  if ((Buffer == NULL) || (Width != EfiPciIoWidthUint32) || (Count != 1)) {
    Record->Rejected = TRUE;
    Record->Status   = EFI_INVALID_PARAMETER;
    Sim->Counters.RejectedAccesses++;
    return Record->Status;
  }

  if (Write) {
    SimCopyBytes (&Value, Buffer, sizeof (Value));
    Record->Value = Value;
  }

  UINT64  Decode = Memory ? EFI_PCI_IO_ATTRIBUTE_MEMORY : EFI_PCI_IO_ATTRIBUTE_IO;

  if (((Sim->Dma.Attributes & Decode) == 0) || !WindowHit (Sim, Memory, BarIndex, Offset, &Register)) {
    //
    // Nothing of the model is touched. A BAR-relative access to a BAR that
    // is not the window is refused like PCI I/O refuses it; a pass-through
    // access that hits no device reads all ones and writes nowhere.
    //
    Sim->Counters.StrayAccesses++;
    Sim->Readback = READBACK::NONE;
    if (BarIndex != EFI_PCI_IO_PASS_THROUGH_BAR) {
      Record->Status = EFI_UNSUPPORTED;
      return Record->Status;
    }

    if (!Write) {
      Value         = 0xFFFFFFFFu;
      Record->Value = Value;
      SimCopyBytes (Buffer, &Value, sizeof (Value));
    }

    Record->Status = EFI_SUCCESS;
    return Record->Status;
  }

  Record->Hit      = TRUE;
  Record->Register = Register;
  Record->Status   = EFI_SUCCESS;
  if (Write) {
    SimFirmwareWriteRegister (Sim, Register, Value);
  } else {
    Value         = SimFirmwareReadRegister (Sim, Register);
    Record->Value = Value;
    SimCopyBytes (Buffer, &Value, sizeof (Value));
  }

  return EFI_SUCCESS;
}

EFI_STATUS
RecordOther (
  IN EFI_PCI_IO_PROTOCOL  *This,
  IN UINT32               Member,
  IN SIM_ACCESS_KIND      Kind
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK           Lock (Sim);
  SIM_ACCESS_RECORD  Spare;
  SIM_ACCESS_RECORD  *Record = NewAccessRecord (Sim, &Spare);

  Record->Kind     = Kind;
  Record->Register = Member;
  Record->Status   = EFI_UNSUPPORTED;
  Sim->Readback    = READBACK::NONE;
  Sim->Counters.OtherCalls++;
  return EFI_UNSUPPORTED;
}

//
// ---------------------------------------------------------------------------
// EFI_PCI_IO_PROTOCOL members
// ---------------------------------------------------------------------------
//

EFI_STATUS
EFIAPI
SimMemRead (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  return (Sim == NULL) ? EFI_INVALID_PARAMETER : RegisterAccess (Sim, TRUE, FALSE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
SimMemWrite (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  return (Sim == NULL) ? EFI_INVALID_PARAMETER : RegisterAccess (Sim, TRUE, TRUE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
SimIoRead (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  return (Sim == NULL) ? EFI_INVALID_PARAMETER : RegisterAccess (Sim, FALSE, FALSE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
SimIoWrite (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  return (Sim == NULL) ? EFI_INVALID_PARAMETER : RegisterAccess (Sim, FALSE, TRUE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
SimPciRead (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT32                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK           Lock (Sim);
  SIM_ACCESS_RECORD  Spare;
  SIM_ACCESS_RECORD  *Record = NewAccessRecord (Sim, &Spare);
  UINTN              Unit;

  Record->Kind   = SIM_ACCESS_KIND::PCI_READ;
  Record->Width  = static_cast<UINT8> (Width);
  Record->Count  = static_cast<UINT32> (Count);
  Record->Offset = Offset;
  Sim->Readback  = READBACK::NONE;

  if ((Buffer == NULL) || (Width > EfiPciIoWidthUint64)) {
    Record->Rejected = TRUE;
    Record->Status   = EFI_INVALID_PARAMETER;
    Sim->Counters.RejectedAccesses++;
    return Record->Status;
  }

  if (Sim->Config.PciReadFails) {
    Record->Status = EFI_DEVICE_ERROR;
    return Record->Status;
  }

  Unit = static_cast<UINTN> (1) << Width;
  if (((Offset % Unit) != 0) || (Offset >= SIM_CONFIG_SPACE_SIZE) ||
      (Count > (SIM_CONFIG_SPACE_SIZE - Offset) / Unit))
  {
    Record->Status = EFI_UNSUPPORTED;
    return Record->Status;
  }

  SimCopyBytes (Buffer, &Sim->ConfigSpace[Offset], Count * Unit);
  {
    UINT8  First[4] = { 0, 0, 0, 0 };
    UINTN  Length   = Count * Unit;

    SimCopyBytes (First, &Sim->ConfigSpace[Offset], (Length < 4) ? Length : 4);
    Record->Value = SimGet32 (First);
  }

  Record->Hit    = TRUE;
  Record->Status = EFI_SUCCESS;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimPciWrite (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT32                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK           Lock (Sim);
  SIM_ACCESS_RECORD  Spare;
  SIM_ACCESS_RECORD  *Record = NewAccessRecord (Sim, &Spare);

  Record->Kind   = SIM_ACCESS_KIND::PCI_WRITE;
  Record->Width  = static_cast<UINT8> (Width);
  Record->Count  = static_cast<UINT32> (Count);
  Record->Offset = Offset;
  Record->Status = EFI_UNSUPPORTED;
  Sim->Readback  = READBACK::NONE;
  Sim->Counters.OtherCalls++;
  (VOID)Buffer;
  return EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
SimPollMem (
  IN  EFI_PCI_IO_PROTOCOL        *This,
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT8                      BarIndex,
  IN  UINT64                     Offset,
  IN  UINT64                     Mask,
  IN  UINT64                     Value,
  IN  UINT64                     Delay,
  OUT UINT64                     *Result
  )
{
  return RecordOther (This, SIM_MEMBER_POLL_MEM, SIM_ACCESS_KIND::OTHER);
}

EFI_STATUS
EFIAPI
SimPollIo (
  IN  EFI_PCI_IO_PROTOCOL        *This,
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT8                      BarIndex,
  IN  UINT64                     Offset,
  IN  UINT64                     Mask,
  IN  UINT64                     Value,
  IN  UINT64                     Delay,
  OUT UINT64                     *Result
  )
{
  return RecordOther (This, SIM_MEMBER_POLL_IO, SIM_ACCESS_KIND::OTHER);
}

EFI_STATUS
EFIAPI
SimCopyMem (
  IN EFI_PCI_IO_PROTOCOL        *This,
  IN EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN UINT8                      DestBarIndex,
  IN UINT64                     DestOffset,
  IN UINT8                      SrcBarIndex,
  IN UINT64                     SrcOffset,
  IN UINTN                      Count
  )
{
  return RecordOther (This, SIM_MEMBER_COPY_MEM, SIM_ACCESS_KIND::OTHER);
}

EFI_STATUS
EFIAPI
SimMap (
  IN     EFI_PCI_IO_PROTOCOL            *This,
  IN     EFI_PCI_IO_PROTOCOL_OPERATION  Operation,
  IN     VOID                           *HostAddress,
  IN OUT UINTN                          *NumberOfBytes,
  OUT    EFI_PHYSICAL_ADDRESS           *DeviceAddress,
  OUT    VOID                           **Mapping
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  return SimDmaMap (&Sim->Dma, &Sim->Env, Operation, HostAddress, NumberOfBytes, DeviceAddress, Mapping);
}

EFI_STATUS
EFIAPI
SimUnmap (
  IN EFI_PCI_IO_PROTOCOL  *This,
  IN VOID                 *Mapping
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  return SimDmaUnmap (&Sim->Dma, &Sim->Env, Mapping);
}

EFI_STATUS
EFIAPI
SimAllocateBuffer (
  IN  EFI_PCI_IO_PROTOCOL  *This,
  IN  EFI_ALLOCATE_TYPE    Type,
  IN  EFI_MEMORY_TYPE      MemoryType,
  IN  UINTN                Pages,
  OUT VOID                 **HostAddress,
  IN  UINT64               Attributes
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  return SimDmaAllocateBuffer (&Sim->Dma, &Sim->Env, Type, MemoryType, Pages, HostAddress, Attributes);
}

EFI_STATUS
EFIAPI
SimFreeBuffer (
  IN EFI_PCI_IO_PROTOCOL  *This,
  IN UINTN                Pages,
  IN VOID                 *HostAddress
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  return SimDmaFreeBuffer (&Sim->Dma, &Sim->Env, Pages, HostAddress);
}

EFI_STATUS
EFIAPI
SimFlush (
  IN EFI_PCI_IO_PROTOCOL  *This
  )
{
  return RecordOther (This, SIM_MEMBER_FLUSH, SIM_ACCESS_KIND::OTHER);
}

EFI_STATUS
EFIAPI
SimGetLocation (
  IN  EFI_PCI_IO_PROTOCOL  *This,
  OUT UINTN                *SegmentNumber,
  OUT UINTN                *BusNumber,
  OUT UINTN                *DeviceNumber,
  OUT UINTN                *FunctionNumber
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if ((Sim == NULL) || (SegmentNumber == NULL) || (BusNumber == NULL) || (DeviceNumber == NULL) ||
      (FunctionNumber == NULL))
  {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  Sim->Counters.LocationCalls++;
  *SegmentNumber  = Sim->Config.Location.Segment;
  *BusNumber      = Sim->Config.Location.Bus;
  *DeviceNumber   = Sim->Config.Location.Device;
  *FunctionNumber = Sim->Config.Location.Function;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimAttributes (
  IN  EFI_PCI_IO_PROTOCOL                      *This,
  IN  EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
  IN  UINT64                                   Attributes,
  OUT UINT64                                   *Result OPTIONAL
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK    Lock (Sim);
  EFI_STATUS  Status = SimDmaAttributes (&Sim->Dma, Operation, Attributes, Result);

  Sim->Readback = READBACK::NONE;
  UpdateCommandRegister (Sim);
  return Status;
}

///
/// What GetBarAttributes answers: one QWORD address-space descriptor and the
/// end tag, as the PCI bus driver lays them out.
///
#pragma pack(push, 1)
struct SIM_BAR_RESOURCES {
  EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR    Descriptor;
  EFI_ACPI_END_TAG_DESCRIPTOR          End;
};
#pragma pack(pop)

static_assert (sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) == 46, "QWORD address-space descriptor");
static_assert (sizeof (SIM_BAR_RESOURCES) == 48, "descriptor and end tag");

EFI_STATUS
EFIAPI
SimGetBarAttributes (
  IN  EFI_PCI_IO_PROTOCOL  *This,
  IN  UINT8                BarIndex,
  OUT UINT64               *Supports OPTIONAL,
  OUT VOID                 **Resources OPTIONAL
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if ((Sim == NULL) || ((Supports == NULL) && (Resources == NULL))) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);
  UINTN     Slot = 0;

  Sim->Counters.BarAttributeCalls++;
  while ((Slot < 6) && (Sim->PciBarOfSlot[Slot] != BarIndex)) {
    Slot++;
  }

  if (Sim->Config.BarAttributesUnsupported || (Slot == 6) || (Sim->Config.Bars[Slot].Kind == SIM_BAR_KIND::NONE)) {
    return EFI_UNSUPPORTED;
  }

  if (Supports != NULL) {
    *Supports = 0;
  }

  if (Resources == NULL) {
    return EFI_SUCCESS;
  }

  if (Sim->Env.AllocateForCaller == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  SIM_BAR_RESOURCES  *Answer = static_cast<SIM_BAR_RESOURCES *> (Sim->Env.AllocateForCaller (sizeof (SIM_BAR_RESOURCES)));

  if (Answer == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  CONST SIM_BAR_CONFIG  *Bar      = &Sim->Config.Bars[Slot];
  BOOLEAN               IsWindow  = (Sim->WindowReachable && (BarIndex == Sim->WindowBar));
  UINT64                Length    = (Bar->Kind == SIM_BAR_KIND::IO) ? 0x4u : 0x10u;

  //
  // A BAR's length is a power of two: the window's size rounded up, or a
  // small default for the other BARs.
  //
  while (Length < (IsWindow ? Sim->Config.WindowSize : ((Bar->Kind == SIM_BAR_KIND::IO) ? 0x100u : 0x1000u))) {
    Length <<= 1;
  }

  SimZeroBytes (Answer, sizeof (*Answer));
  Answer->Descriptor.Desc         = ACPI_ADDRESS_SPACE_DESCRIPTOR;
  Answer->Descriptor.Len          = static_cast<UINT16> (sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) - 3);
  Answer->Descriptor.AddrLen      = Length;
  Answer->Descriptor.AddrRangeMax = Length - 1;
  if (Bar->Kind == SIM_BAR_KIND::IO) {
    Answer->Descriptor.ResType      = ACPI_ADDRESS_SPACE_TYPE_IO;
    Answer->Descriptor.AddrRangeMin = Bar->Address & ~static_cast<UINT64> (0x3);
  } else {
    //
    // The PCI bus driver answers the host address: the bus address less the
    // root bridge's translation offset, which it gives alongside.
    //
    Answer->Descriptor.ResType               = ACPI_ADDRESS_SPACE_TYPE_MEM;
    Answer->Descriptor.AddrSpaceGranularity  = (Bar->Kind == SIM_BAR_KIND::MEM64) ? 64 : 32;
    Answer->Descriptor.AddrTranslationOffset = Sim->Config.MemoryTranslation;
    Answer->Descriptor.AddrRangeMin          = (Bar->Address & ~static_cast<UINT64> (0xF)) - Sim->Config.MemoryTranslation;
  }

  Answer->End.Desc = ACPI_END_TAG_DESCRIPTOR;
  *Resources       = Answer;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimSetBarAttributes (
  IN     EFI_PCI_IO_PROTOCOL  *This,
  IN     UINT64               Attributes,
  IN     UINT8                BarIndex,
  IN OUT UINT64               *Offset,
  IN OUT UINT64               *Length
  )
{
  return RecordOther (This, SIM_MEMBER_SET_BAR_ATTRIBUTES, SIM_ACCESS_KIND::OTHER);
}

} // namespace

VOID
SimPciIoInit (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  BuildConfigSpace (Sim);
  UpdateCommandRegister (Sim);
  PlaceWindow (Sim);

  Sim->PciIo.PollMem          = SimPollMem;
  Sim->PciIo.PollIo           = SimPollIo;
  Sim->PciIo.Mem.Read         = SimMemRead;
  Sim->PciIo.Mem.Write        = SimMemWrite;
  Sim->PciIo.Io.Read          = SimIoRead;
  Sim->PciIo.Io.Write         = SimIoWrite;
  Sim->PciIo.Pci.Read         = SimPciRead;
  Sim->PciIo.Pci.Write        = SimPciWrite;
  Sim->PciIo.CopyMem          = SimCopyMem;
  Sim->PciIo.Map              = SimMap;
  Sim->PciIo.Unmap            = SimUnmap;
  Sim->PciIo.AllocateBuffer   = SimAllocateBuffer;
  Sim->PciIo.FreeBuffer       = SimFreeBuffer;
  Sim->PciIo.Flush            = SimFlush;
  Sim->PciIo.GetLocation      = SimGetLocation;
  Sim->PciIo.Attributes       = SimAttributes;
  Sim->PciIo.GetBarAttributes = SimGetBarAttributes;
  Sim->PciIo.SetBarAttributes = SimSetBarAttributes;
}

VOID
SimNumberBars (
  IN  CONST SIM_CONFIG  *Config,
  OUT UINT8             PciBarOfSlot[6]
  )
{
  UINT8  Next = 0;

  for (UINTN Slot = 0; Slot < 6; Slot++) {
    PciBarOfSlot[Slot] = Next++;
    if ((Config->Bars[Slot].Kind == SIM_BAR_KIND::MEM64) && (Slot < 5)) {
      PciBarOfSlot[++Slot] = SIM_NO_PCI_BAR;
    }
  }
}

EFI_PCI_IO_PROTOCOL *
SimGetPciIo (
  IN SIM_CONTROLLER  *Sim
  )
{
  return &Sim->PciIo;
}

SIM_CONTROLLER *
SimFromPciIo (
  IN EFI_PCI_IO_PROTOCOL  *PciIo
  )
{
  SIM_CONTROLLER  *Sim;

  //
  // Only an instance that carries the model's own members is looked at
  // further: memory in front of a foreign protocol is not ours to read.
  //
  if ((PciIo == NULL) || (PciIo->Io.Read != SimIoRead)) {
    return NULL;
  }

  Sim = reinterpret_cast<SIM_CONTROLLER *> (reinterpret_cast<UINT8 *> (PciIo) - OFFSET_OF (SIM_CONTROLLER, PciIo));
  return (Sim->Signature == SIM_CONTROLLER_SIGNATURE) ? Sim : NULL;
}
