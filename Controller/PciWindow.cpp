/** @file
  Where a function's BAR lies as PCI I/O knows it: the BarIndex of a
  configuration slot, confirmed by the platform's description of the BAR.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "PciWindow.h"

namespace {

constexpr UINT32  BAR_IO_ADDRESS_MASK     = ~0x3u;
constexpr UINT32  BAR_MEMORY_ADDRESS_MASK = ~0xFu;
constexpr UINT64  SMALLEST_IO_BAR         = 4;
constexpr UINT64  SMALLEST_MEMORY_BAR     = 16;

BOOLEAN
IsSlotInRange (
  IN INT32  Slot
  )
{
  return (Slot >= 0) && (Slot < PCI_MAX_BAR);
}

BOOLEAN
IsIoBar (
  IN UINT32  Bar
  )
{
  return (Bar & BIT0) != 0;
}

BOOLEAN
IsMemory64Bar (
  IN UINT32  Bar
  )
{
  return !IsIoBar (Bar) && (((Bar >> 1) & 0x3) == 0x2);
}

///
/// The index that EDK II's PCI bus driver gives the BAR of Slot; FALSE when
/// the slot is the upper half of a 64-bit BAR.
///
BOOLEAN
NumberPciBar (
  IN  CONST PCI_TYPE00  *Header,
  IN  INT32             Slot,
  OUT UINT8             *PciBarIndex
  )
{
  INT32  Walk  = 0;
  UINT8  Index = 0;

  while (Walk < Slot) {
    Walk += (IsMemory64Bar (Header->Device.Bar[Walk]) && (Walk < PCI_MAX_BAR - 1)) ? 2 : 1;
    Index++;
  }

  if (Walk != Slot) {
    return FALSE;
  }

  *PciBarIndex = Index;
  return TRUE;
}

///
/// Does the platform's descriptor tell of the BAR in Slot? Same space, a
/// length that a BAR can have and the slot's address is aligned to, and the
/// same bus address.
///
BOOLEAN
DescriptorMatchesSlot (
  IN CONST EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR  *Descriptor,
  IN BOOLEAN                                  Io,
  IN UINT64                                   BusAddress
  )
{
  UINT64  Length = Descriptor->AddrLen;

  if (Descriptor->Desc != ACPI_ADDRESS_SPACE_DESCRIPTOR) {
    return FALSE;
  }

  if (Descriptor->ResType != (Io ? ACPI_ADDRESS_SPACE_TYPE_IO : ACPI_ADDRESS_SPACE_TYPE_MEM)) {
    return FALSE;
  }

  if ((Length < (Io ? SMALLEST_IO_BAR : SMALLEST_MEMORY_BAR)) || ((Length & (Length - 1)) != 0) ||
      ((BusAddress & (Length - 1)) != 0))
  {
    return FALSE;
  }

  //
  // The descriptor holds the host address: the bus address less the root
  // bridge's translation offset.
  //
  return Descriptor->AddrRangeMin + Descriptor->AddrTranslationOffset == BusAddress;
}

///
/// Does the platform answer GetBarAttributes for any of the function's
/// BARs? Firmware without that member answers for none.
///
BOOLEAN
DescribesAnyBar (
  IN EFI_PCI_IO_PROTOCOL  *PciIo
  )
{
  for (UINT8 Index = 0; Index < PCI_MAX_BAR; Index++) {
    VOID  *Resources = NULL;

    if (!EFI_ERROR (PciIo->GetBarAttributes (PciIo, Index, NULL, &Resources)) && (Resources != NULL)) {
      FreePool (Resources);
      return TRUE;
    }
  }

  return FALSE;
}

} // namespace

UINT64
PciSlotAddress (
  IN CONST PCI_TYPE00  *Header,
  IN INT32             Slot
  )
{
  if (!IsSlotInRange (Slot)) {
    return 0;
  }

  UINT32  Low = Header->Device.Bar[Slot];

  if (IsIoBar (Low)) {
    return Low & BAR_IO_ADDRESS_MASK;
  }

  UINT64  Address = Low & BAR_MEMORY_ADDRESS_MASK;

  if (IsMemory64Bar (Low) && (Slot < PCI_MAX_BAR - 1)) {
    Address |= LShiftU64 (Header->Device.Bar[Slot + 1], 32);
  }

  return Address;
}

BOOLEAN
FindPciWindow (
  IN  EFI_PCI_IO_PROTOCOL  *PciIo,
  IN  CONST PCI_TYPE00     *Header,
  IN  INT32                Slot,
  OUT PCI_WINDOW           *Window
  )
{
  UINT8  Index = 0;

  if (!IsSlotInRange (Slot) || !NumberPciBar (Header, Slot, &Index)) {
    return FALSE;
  }

  BOOLEAN  Io         = IsIoBar (Header->Device.Bar[Slot]);
  UINT64   BusAddress = PciSlotAddress (Header, Slot);
  VOID     *Resources = NULL;

  EFI_STATUS  Status = PciIo->GetBarAttributes (PciIo, Index, NULL, &Resources);

  if (EFI_ERROR (Status) || (Resources == NULL)) {
    //
    // Only firmware that describes no BAR at all is taken at the numbering's
    // word; there an address of 0 is what an unassigned BAR holds.
    //
    if ((Status != EFI_UNSUPPORTED) || (BusAddress == 0) || DescribesAnyBar (PciIo)) {
      return FALSE;
    }

    Window->Length = 0;
  } else {
    POOL_GUARD  ResourcesGuard (Resources);

    CONST EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR  *Descriptor = static_cast<CONST EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR *> (Resources);

    if (!DescriptorMatchesSlot (Descriptor, Io, BusAddress)) {
      return FALSE;
    }

    Window->Length = Descriptor->AddrLen;
  }

  Window->PciBarIndex = Index;
  Window->Io          = Io;
  Window->BusAddress  = BusAddress;
  return TRUE;
}
