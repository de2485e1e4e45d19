/** @file
  The platform side of the model's bus-master access (see SimDma.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimInternal.h"

namespace {

constexpr UINT64  SIM_ALLOWED_BUFFER_ATTRIBUTES = EFI_PCI_IO_ATTRIBUTE_MEMORY_WRITE_COMBINE |
                                                  EFI_PCI_IO_ATTRIBUTE_MEMORY_CACHED |
                                                  EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE;

BOOLEAN
IsCommonBuffer (
  IN EFI_PCI_IO_PROTOCOL_OPERATION  Operation
  )
{
  return Operation == EfiPciIoOperationBusMasterCommonBuffer;
}

///
/// May the controller access a mapping of this operation in this direction?
/// Data it reads needs a BusMasterRead (or common) mapping, data it writes a
/// BusMasterWrite (or common) one.
///
BOOLEAN
AllowsDirection (
  IN EFI_PCI_IO_PROTOCOL_OPERATION  Operation,
  IN BOOLEAN                        DeviceWrites
  )
{
  if (IsCommonBuffer (Operation)) {
    return TRUE;
  }

  return DeviceWrites ? (Operation == EfiPciIoOperationBusMasterWrite) : (Operation == EfiPciIoOperationBusMasterRead);
}

VOID
RecordFault (
  IN OUT SIM_DMA             *Dma,
  IN     SIM_DMA_FAULT_KIND  Kind,
  IN     BOOLEAN             DeviceWrites,
  IN     UINT64              Address,
  IN     UINT32              Length
  )
{
  switch (Kind) {
    case SIM_DMA_FAULT_KIND::STRAY:
      Dma->Counters.Strays++;
      break;
    case SIM_DMA_FAULT_KIND::WRONG_DIRECTION:
      Dma->Counters.WrongDirection++;
      break;
    case SIM_DMA_FAULT_KIND::BUS_MASTER_OFF:
      Dma->Counters.BusMasterOff++;
      break;
  }

  if (Dma->FaultCount == SIM_MAX_DMA_FAULTS) {
    Dma->Counters.FaultOverflow++;
    return;
  }

  SIM_DMA_FAULT  *Fault = &Dma->Faults[Dma->FaultCount++];

  Fault->Kind         = Kind;
  Fault->DeviceWrites = DeviceWrites;
  Fault->Address      = Address;
  Fault->Length       = Length;
  Fault->Frame        = Dma->CurrentFrame;
}

///
/// The host memory behind Length bytes at DeviceAddress, or NULL when the
/// controller may not reach them (journaled).
///
UINT8 *
Translate (
  IN OUT SIM_DMA  *Dma,
  IN     UINT64   DeviceAddress,
  IN     UINT32   Length,
  IN     BOOLEAN  DeviceWrites
  )
{
  if ((Dma->Attributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) == 0) {
    RecordFault (Dma, SIM_DMA_FAULT_KIND::BUS_MASTER_OFF, DeviceWrites, DeviceAddress, Length);
    return NULL;
  }

  for (CONST SIM_DMA_MAPPING &Mapping : Dma->Mappings) {
    if (!Mapping.InUse || (DeviceAddress < Mapping.DeviceAddress) ||
        (DeviceAddress - Mapping.DeviceAddress > Mapping.Bytes) ||
        (Length > Mapping.Bytes - (DeviceAddress - Mapping.DeviceAddress)))
    {
      continue;
    }

    if (!AllowsDirection (Mapping.Operation, DeviceWrites)) {
      RecordFault (Dma, SIM_DMA_FAULT_KIND::WRONG_DIRECTION, DeviceWrites, DeviceAddress, Length);
      if (Dma->Protected) {
        return NULL;
      }
    }

    return reinterpret_cast<UINT8 *> (static_cast<UINTN> (Mapping.HostAddress + (DeviceAddress - Mapping.DeviceAddress)));
  }

  RecordFault (Dma, SIM_DMA_FAULT_KIND::STRAY, DeviceWrites, DeviceAddress, Length);
  //
  // Without protection the device address is the host address: the access
  // lands all the same, as it would on such a machine.
  //
  return Dma->Protected ? NULL : reinterpret_cast<UINT8 *> (static_cast<UINTN> (DeviceAddress));
}

SIM_DMA_BUFFER *
FindBuffer (
  IN SIM_DMA     *Dma,
  IN CONST VOID  *HostAddress
  )
{
  for (SIM_DMA_BUFFER &Buffer : Dma->Buffers) {
    if (Buffer.InUse && (Buffer.HostAddress == HostAddress)) {
      return &Buffer;
    }
  }

  return NULL;
}

///
/// Is [Host, Host + Bytes) inside one live AllocateBuffer buffer?
///
BOOLEAN
InsideBuffer (
  IN CONST SIM_DMA  *Dma,
  IN UINT64         Host,
  IN UINTN          Bytes
  )
{
  for (CONST SIM_DMA_BUFFER &Buffer : Dma->Buffers) {
    UINT64  Start = reinterpret_cast<UINTN> (Buffer.HostAddress);
    UINT64  Size  = static_cast<UINT64> (Buffer.Pages) * EFI_PAGE_SIZE;

    if (Buffer.InUse && (Host >= Start) && (Host - Start <= Size) && (Bytes <= Size - (Host - Start))) {
      return TRUE;
    }
  }

  return FALSE;
}

///
/// A device address for a new protected mapping of Bytes bytes that starts
/// at page offset Offset.
///
UINT64
NextDeviceAddress (
  IN OUT SIM_DMA  *Dma,
  IN     UINT64   Offset,
  IN     UINTN    Bytes
  )
{
  UINT64   Span = ALIGN_VALUE (Offset + Bytes, SIM_DMA_MAPPING_STRIDE);
  BOOLEAN  High = ((Dma->MapSerial++ % 2) == 1) && ((Dma->Attributes & EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE) != 0);

  if (Span == 0) {
    Span = SIM_DMA_MAPPING_STRIDE;
  }

  if (High) {
    if (Dma->NextHigh + Span > SIM_DMA_HIGH_LIMIT) {
      Dma->NextHigh = SIM_DMA_HIGH_BASE;
    }

    Dma->Counters.HighMappings++;
    UINT64  Base = Dma->NextHigh;

    Dma->NextHigh += Span;
    return Base + Offset;
  }

  if (Dma->NextLow + Span > SIM_DMA_LOW_LIMIT) {
    Dma->NextLow = SIM_DMA_LOW_BASE;
  }

  UINT64  Base = Dma->NextLow;

  Dma->NextLow += Span;
  return Base + Offset;
}

VOID
FillStale (
  OUT UINT8  *Memory,
  IN  UINTN  Length
  )
{
  STATIC CONST CHAR8  Stale[] = SIM_DMA_STALE_TEXT;

  for (UINTN Index = 0; Index < Length; Index++) {
    Memory[Index] = static_cast<UINT8> (Stale[Index % (sizeof (Stale) - 1)]);
  }
}

} // namespace

VOID
SimDmaInit (
  OUT SIM_DMA           *Dma,
  IN  CONST SIM_CONFIG  *Config
  )
{
  SimZeroBytes (Dma, sizeof (*Dma));
  Dma->Protected         = Config->DmaProtected;
  Dma->Bounce            = Config->DmaBounce;
  Dma->SetFails          = Config->AttributesSetFails;
  Dma->BusMasterStuck    = Config->BusMasterStuck;
  Dma->Supported         = SIM_SUPPORTED_ATTRIBUTES;
  Dma->InitialAttributes = SIM_DEFAULT_ATTRIBUTES;
  if (Config->BusMasterUnsupported) {
    Dma->Supported &= ~static_cast<UINT64> (EFI_PCI_IO_ATTRIBUTE_BUS_MASTER);
  }

  if (Config->BusMasterOff) {
    Dma->InitialAttributes &= ~static_cast<UINT64> (EFI_PCI_IO_ATTRIBUTE_BUS_MASTER);
  }

  if (Config->DecodingOff) {
    Dma->InitialAttributes &= ~static_cast<UINT64> (EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY);
  }

  Dma->Attributes   = Dma->InitialAttributes;
  Dma->MapLimit     = Config->MapLimit;
  Dma->NextLow      = SIM_DMA_LOW_BASE;
  Dma->NextHigh     = SIM_DMA_HIGH_BASE;
  Dma->CurrentFrame = SIM_NO_RECORD;
}

EFI_STATUS
SimDmaAttributes (
  IN OUT SIM_DMA                                  *Dma,
  IN     EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
  IN     UINT64                                   Attributes,
  OUT    UINT64                                   *Result OPTIONAL
  )
{
  Dma->Counters.AttributeCalls++;
  switch (Operation) {
    case EfiPciIoAttributeOperationGet:
    case EfiPciIoAttributeOperationSupported:
      if (Result == NULL) {
        return EFI_INVALID_PARAMETER;
      }

      *Result = (Operation == EfiPciIoAttributeOperationGet) ? Dma->Attributes : Dma->Supported;
      return EFI_SUCCESS;

    case EfiPciIoAttributeOperationSet:
    case EfiPciIoAttributeOperationEnable:
    case EfiPciIoAttributeOperationDisable:
      if ((Attributes & ~Dma->Supported) != 0) {
        return EFI_UNSUPPORTED;
      }

      if ((Operation == EfiPciIoAttributeOperationSet) && Dma->SetFails) {
        return EFI_DEVICE_ERROR;
      }

      if (Dma->BusMasterStuck && ((Dma->Attributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) != 0) &&
          (((Operation == EfiPciIoAttributeOperationSet) && ((Attributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) == 0)) ||
           ((Operation == EfiPciIoAttributeOperationDisable) && ((Attributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) != 0))))
      {
        return EFI_DEVICE_ERROR;
      }

      if (Operation == EfiPciIoAttributeOperationSet) {
        Dma->Attributes = Attributes;
      } else if (Operation == EfiPciIoAttributeOperationEnable) {
        Dma->Attributes |= Attributes;
      } else {
        Dma->Attributes &= ~Attributes;
      }

      return EFI_SUCCESS;

    default:
      return EFI_INVALID_PARAMETER;
  }
}

EFI_STATUS
SimDmaMap (
  IN OUT SIM_DMA                        *Dma,
  IN     CONST SIM_ENV                  *Env,
  IN     EFI_PCI_IO_PROTOCOL_OPERATION  Operation,
  IN     VOID                           *HostAddress,
  IN OUT UINTN                          *NumberOfBytes,
  OUT    EFI_PHYSICAL_ADDRESS           *DeviceAddress,
  OUT    VOID                           **Mapping
  )
{
  if ((HostAddress == NULL) || (NumberOfBytes == NULL) || (DeviceAddress == NULL) || (Mapping == NULL) ||
      (Operation >= EfiPciIoOperationMaximum) || (*NumberOfBytes == 0))
  {
    Dma->Counters.MapRefused++;
    return EFI_INVALID_PARAMETER;
  }

  UINT64  Host  = reinterpret_cast<UINTN> (HostAddress);
  UINTN   Bytes = *NumberOfBytes;

  if ((Dma->MapLimit != 0) && (Bytes > Dma->MapLimit)) {
    Bytes = Dma->MapLimit;
  }

  //
  // A common buffer is shared with the controller for as long as it is
  // mapped, so it must come from AllocateBuffer.
  //
  if (IsCommonBuffer (Operation) && !InsideBuffer (Dma, Host, Bytes)) {
    Dma->Counters.MapRefused++;
    return EFI_UNSUPPORTED;
  }

  for (SIM_DMA_MAPPING &Slot : Dma->Mappings) {
    if (Slot.InUse) {
      continue;
    }

    UINTN  BouncePages = 0;

    if (Dma->Bounce && !IsCommonBuffer (Operation)) {
      BouncePages = EFI_SIZE_TO_PAGES (Bytes);
      VOID  *Bounce = (Env->AllocatePages == NULL) ? NULL : Env->AllocatePages (BouncePages);

      if (Bounce == NULL) {
        Dma->Counters.MapRefused++;
        return EFI_OUT_OF_RESOURCES;
      }

      //
      // A read mapping starts with the caller's bytes. The pages of a write
      // mapping keep what they held before, which the model makes visible:
      // SIM_DMA_STALE_TEXT, over and over.
      //
      if (Operation == EfiPciIoOperationBusMasterRead) {
        SimCopyBytes (Bounce, HostAddress, Bytes);
      } else {
        FillStale (static_cast<UINT8 *> (Bounce), BouncePages * EFI_PAGE_SIZE);
      }

      Host = reinterpret_cast<UINTN> (Bounce);
      Dma->Counters.Bounced++;
    }

    Slot.InUse         = TRUE;
    Slot.Operation     = Operation;
    Slot.HostAddress   = Host;
    Slot.CallerAddress = reinterpret_cast<UINTN> (HostAddress);
    Slot.BouncePages   = BouncePages;
    Slot.Bytes         = Bytes;
    Slot.DeviceAddress = Dma->Protected ? NextDeviceAddress (Dma, Host % EFI_PAGE_SIZE, Bytes) : Host;
    *NumberOfBytes     = Bytes;
    *DeviceAddress     = Slot.DeviceAddress;
    *Mapping           = &Slot;
    Dma->Counters.MapCalls++;
    return EFI_SUCCESS;
  }

  Dma->Counters.MapRefused++;
  return EFI_OUT_OF_RESOURCES;
}

EFI_STATUS
SimDmaUnmap (
  IN OUT SIM_DMA        *Dma,
  IN     CONST SIM_ENV  *Env,
  IN     VOID           *Mapping
  )
{
  for (SIM_DMA_MAPPING &Slot : Dma->Mappings) {
    if (Slot.InUse && (Mapping == &Slot)) {
      if (Slot.BouncePages != 0) {
        //
        // The whole buffer goes back, whatever the controller wrote.
        //
        if (Slot.Operation == EfiPciIoOperationBusMasterWrite) {
          SimCopyBytes (
            reinterpret_cast<VOID *> (static_cast<UINTN> (Slot.CallerAddress)),
            reinterpret_cast<CONST VOID *> (static_cast<UINTN> (Slot.HostAddress)),
            Slot.Bytes
            );
        }

        Env->FreePages (reinterpret_cast<VOID *> (static_cast<UINTN> (Slot.HostAddress)), Slot.BouncePages);
        Slot.BouncePages = 0;
      }

      Slot.InUse = FALSE;
      Dma->Counters.UnmapCalls++;
      return EFI_SUCCESS;
    }
  }

  Dma->Counters.BadUnmaps++;
  return EFI_INVALID_PARAMETER;
}

EFI_STATUS
SimDmaAllocateBuffer (
  IN OUT SIM_DMA            *Dma,
  IN     CONST SIM_ENV      *Env,
  IN     EFI_ALLOCATE_TYPE  Type,
  IN     EFI_MEMORY_TYPE    MemoryType,
  IN     UINTN              Pages,
  OUT    VOID               **HostAddress,
  IN     UINT64             Attributes
  )
{
  if ((HostAddress == NULL) || (Pages == 0) ||
      ((MemoryType != EfiBootServicesData) && (MemoryType != EfiRuntimeServicesData)))
  {
    return EFI_INVALID_PARAMETER;
  }

  if ((Type != AllocateAnyPages) || ((Attributes & ~SIM_ALLOWED_BUFFER_ATTRIBUTES) != 0)) {
    return EFI_UNSUPPORTED;
  }

  SIM_DMA_BUFFER  *Slot = NULL;

  for (SIM_DMA_BUFFER &Buffer : Dma->Buffers) {
    if (!Buffer.InUse) {
      Slot = &Buffer;
      break;
    }
  }

  if ((Slot == NULL) || (Env->AllocatePages == NULL)) {
    return EFI_OUT_OF_RESOURCES;
  }

  VOID  *Memory = Env->AllocatePages (Pages);

  if (Memory == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  Slot->InUse       = TRUE;
  Slot->HostAddress = Memory;
  Slot->Pages       = Pages;
  *HostAddress      = Memory;
  Dma->Counters.BufferAllocations++;
  return EFI_SUCCESS;
}

EFI_STATUS
SimDmaFreeBuffer (
  IN OUT SIM_DMA        *Dma,
  IN     CONST SIM_ENV  *Env,
  IN     UINTN          Pages,
  IN     VOID           *HostAddress
  )
{
  SIM_DMA_BUFFER  *Buffer = (HostAddress == NULL) ? NULL : FindBuffer (Dma, HostAddress);

  if ((Buffer == NULL) || (Buffer->Pages != Pages)) {
    Dma->Counters.BadFrees++;
    return EFI_INVALID_PARAMETER;
  }

  Env->FreePages (Buffer->HostAddress, Buffer->Pages);
  Buffer->InUse       = FALSE;
  Buffer->HostAddress = NULL;
  Buffer->Pages       = 0;
  Dma->Counters.BufferFrees++;
  return EFI_SUCCESS;
}

BOOLEAN
SimDmaRead (
  IN OUT SIM_DMA  *Dma,
  IN     UINT64   DeviceAddress,
  OUT    VOID     *Destination,
  IN     UINT32   Length
  )
{
  if (Length == 0) {
    return TRUE;
  }

  CONST UINT8  *Host = Translate (Dma, DeviceAddress, Length, FALSE);

  if (Host == NULL) {
    SimZeroBytes (Destination, Length);
    return FALSE;
  }

  SimCopyBytes (Destination, Host, Length);
  return TRUE;
}

BOOLEAN
SimDmaWrite (
  IN OUT SIM_DMA     *Dma,
  IN     UINT64      DeviceAddress,
  IN     CONST VOID  *Source,
  IN     UINT32      Length
  )
{
  if (Length == 0) {
    return TRUE;
  }

  UINT8  *Host = Translate (Dma, DeviceAddress, Length, TRUE);

  if (Host == NULL) {
    return FALSE;
  }

  //
  // Byte by byte through a volatile pointer: the host polls this memory.
  //
  volatile UINT8  *To   = Host;
  CONST UINT8     *From = static_cast<CONST UINT8 *> (Source);

  for (UINT32 Index = 0; Index < Length; Index++) {
    To[Index] = From[Index];
  }

  return TRUE;
}

UINT32
SimDmaLiveMappings (
  IN CONST SIM_DMA  *Dma
  )
{
  UINT32  Count = 0;

  for (CONST SIM_DMA_MAPPING &Mapping : Dma->Mappings) {
    Count += Mapping.InUse ? 1 : 0;
  }

  return Count;
}

UINT32
SimDmaLiveBuffers (
  IN CONST SIM_DMA  *Dma
  )
{
  UINT32  Count = 0;

  for (CONST SIM_DMA_BUFFER &Buffer : Dma->Buffers) {
    Count += Buffer.InUse ? 1 : 0;
  }

  return Count;
}

VOID
SimDmaRelease (
  IN OUT SIM_DMA        *Dma,
  IN     CONST SIM_ENV  *Env
  )
{
  for (SIM_DMA_MAPPING &Slot : Dma->Mappings) {
    if (Slot.InUse && (Slot.BouncePages != 0)) {
      Env->FreePages (reinterpret_cast<VOID *> (static_cast<UINTN> (Slot.HostAddress)), Slot.BouncePages);
      Slot.BouncePages = 0;
    }
  }
}

VOID
SimDmaClearJournal (
  IN OUT SIM_DMA  *Dma
  )
{
  Dma->FaultCount = 0;
  SimZeroBytes (&Dma->Counters, sizeof (Dma->Counters));
}
