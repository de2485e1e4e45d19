/** @file
  The platform side of the model's bus-master access: the function's PCI
  attributes, the buffers of PciIo->AllocateBuffer, the mappings of
  PciIo->Map, and every access the controller makes to host memory.

  Two platforms are modelled. Without protection a device address is the
  host address, as on a machine without an IOMMU: the mappings are only
  checked, and an access outside them still reaches memory (it is journaled
  as a stray all the same). With protection (scenario word "dma protected")
  Map hands out device addresses that differ from the host addresses, some
  above 4 GiB; the controller reaches host memory only through a live
  mapping of the right direction, and every other access is journaled and
  reaches nothing. With bus mastering off, the controller reaches nothing at
  all.

  Either platform may also bounce DMA (scenario word "dma bounce"), as a
  root bridge does for a device limited to 32-bit addresses or an IOMMU that
  copies: Map gives a BusMasterRead or BusMasterWrite mapping a buffer of
  its own, from the pages of SIM_ENV (below 4 GiB in the driver); what a
  write mapping's pages held before (SIM_DMA_STALE_TEXT) stays until the
  controller writes. A BusMasterRead mapping gets the
  caller's bytes copied in at Map; a BusMasterWrite mapping gets its whole
  buffer copied back to the caller's at Unmap, whatever the controller
  wrote into it. Common buffers are not bounced.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_DMA_H_
#define SIM_DMA_H_

#include "SimController.h"

#define SIM_MAX_MAPPINGS    64
#define SIM_MAX_BUFFERS     64
#define SIM_MAX_DMA_FAULTS  64

///
/// The attributes the model supports, and what a function has before anyone
/// changed them (decoding of both spaces and bus mastering on, as firmware
/// leaves a device whose own driver started it).
///
#define SIM_SUPPORTED_ATTRIBUTES  (EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY |       \
                                   EFI_PCI_IO_ATTRIBUTE_BUS_MASTER |                            \
                                   EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE)
#define SIM_DEFAULT_ATTRIBUTES    (EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY | EFI_PCI_IO_ATTRIBUTE_BUS_MASTER)

///
/// Device addresses of the protected platform: mappings alternate between a
/// window below 4 GiB and one above it (the upper one only while dual
/// address cycles are enabled, as a root bridge does). Each mapping takes a
/// whole number of SIM_DMA_MAPPING_STRIDE blocks, so the device addresses
/// of a run follow from the order of the Map calls alone.
///
#define SIM_DMA_LOW_BASE        0x40000000ull
#define SIM_DMA_LOW_LIMIT       0xC0000000ull
#define SIM_DMA_HIGH_BASE       0x800000000ull
#define SIM_DMA_HIGH_LIMIT      0x1000000000ull
#define SIM_DMA_MAPPING_STRIDE  0x100000ull

///
/// What the pages of a bounce buffer for a BusMasterWrite mapping hold
/// before the controller writes: left over from an earlier user.
///
#define SIM_DMA_STALE_TEXT  "stale!"

///
/// Why an access of the controller to host memory was refused.
///
enum class SIM_DMA_FAULT_KIND : UINT8 {
  STRAY           = 0,   ///< no live mapping covers the range
  WRONG_DIRECTION = 1,   ///< the mapping does not allow this direction
  BUS_MASTER_OFF  = 2    ///< bus mastering is disabled
};

///
/// One refused (or, without protection, merely unmapped) access.
///
struct SIM_DMA_FAULT {
  SIM_DMA_FAULT_KIND    Kind;
  BOOLEAN               DeviceWrites;   ///< TRUE: the controller wrote host memory
  UINT64                Address;        ///< device address of the access
  UINT32                Length;
  UINT32                Frame;          ///< frame record being served, or SIM_NO_RECORD
};

///
/// One mapping of PciIo->Map, live until Unmap.
///
struct SIM_DMA_MAPPING {
  BOOLEAN                          InUse;
  EFI_PCI_IO_PROTOCOL_OPERATION    Operation;
  UINT64                           HostAddress;     ///< the memory the controller reaches
  UINT64                           CallerAddress;   ///< the buffer given to Map
  UINTN                            BouncePages;     ///< pages of the bounce buffer at HostAddress, or 0
  UINT64                           DeviceAddress;
  UINTN                            Bytes;
};

///
/// One buffer of PciIo->AllocateBuffer, live until FreeBuffer.
///
struct SIM_DMA_BUFFER {
  BOOLEAN    InUse;
  VOID       *HostAddress;
  UINTN      Pages;
};

///
/// Counters of the platform side since creation or SimClearJournal.
///
struct SIM_DMA_COUNTERS {
  UINT32    AttributeCalls;
  UINT32    MapCalls;          ///< successful Map calls
  UINT32    UnmapCalls;        ///< successful Unmap calls
  UINT32    MapRefused;        ///< Map calls answered with an error
  UINT32    BadUnmaps;         ///< Unmap of something that is no live mapping
  UINT32    BufferAllocations; ///< successful AllocateBuffer calls
  UINT32    BufferFrees;       ///< successful FreeBuffer calls
  UINT32    BadFrees;          ///< FreeBuffer of something that is no live buffer
  UINT32    Strays;            ///< SIM_DMA_FAULT_KIND::STRAY
  UINT32    WrongDirection;    ///< SIM_DMA_FAULT_KIND::WRONG_DIRECTION
  UINT32    BusMasterOff;      ///< SIM_DMA_FAULT_KIND::BUS_MASTER_OFF
  UINT32    FaultOverflow;     ///< faults not journaled (journal full)
  UINT32    HighMappings;      ///< mappings placed above 4 GiB
  UINT32    Bounced;           ///< mappings given a bounce buffer
};

///
/// The platform side of one simulated controller.
///
struct SIM_DMA {
  BOOLEAN             Protected;
  BOOLEAN             Bounce;
  BOOLEAN             SetFails;         ///< Attributes (Set) answers EFI_DEVICE_ERROR
  BOOLEAN             BusMasterStuck;   ///< nothing clears bus mastering
  UINT64              Supported;
  UINT64              InitialAttributes;
  UINT64              Attributes;
  UINT32              MapLimit;         ///< 0, or the most bytes one Map maps
  UINT64              NextLow;
  UINT64              NextHigh;
  UINT32              MapSerial;
  UINT32              CurrentFrame;     ///< frame record being served
  SIM_DMA_MAPPING     Mappings[SIM_MAX_MAPPINGS];
  SIM_DMA_BUFFER      Buffers[SIM_MAX_BUFFERS];
  SIM_DMA_COUNTERS    Counters;
  UINT32              FaultCount;
  SIM_DMA_FAULT       Faults[SIM_MAX_DMA_FAULTS];
};

/**
  Set up the platform side from a configuration: protection, the initial
  attributes and the mapping limit.
**/
VOID
SimDmaInit (
  OUT SIM_DMA           *Dma,
  IN  CONST SIM_CONFIG  *Config
  );

/**
  The PCI I/O members, without the protocol's This (the caller resolves it
  and holds the model's lock).
**/
EFI_STATUS
SimDmaAttributes (
  IN OUT SIM_DMA                                  *Dma,
  IN     EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
  IN     UINT64                                   Attributes,
  OUT    UINT64                                   *Result OPTIONAL
  );

EFI_STATUS
SimDmaMap (
  IN OUT SIM_DMA                        *Dma,
  IN     CONST SIM_ENV                  *Env,
  IN     EFI_PCI_IO_PROTOCOL_OPERATION  Operation,
  IN     VOID                           *HostAddress,
  IN OUT UINTN                          *NumberOfBytes,
  OUT    EFI_PHYSICAL_ADDRESS           *DeviceAddress,
  OUT    VOID                           **Mapping
  );

EFI_STATUS
SimDmaUnmap (
  IN OUT SIM_DMA        *Dma,
  IN     CONST SIM_ENV  *Env,
  IN     VOID           *Mapping
  );

/**
  Give back the bounce buffers of the mappings still live (a mapping that
  a caller kept for the rest of the boot) when the model goes away.
**/
VOID
SimDmaRelease (
  IN OUT SIM_DMA        *Dma,
  IN     CONST SIM_ENV  *Env
  );

EFI_STATUS
SimDmaAllocateBuffer (
  IN OUT SIM_DMA            *Dma,
  IN     CONST SIM_ENV      *Env,
  IN     EFI_ALLOCATE_TYPE  Type,
  IN     EFI_MEMORY_TYPE    MemoryType,
  IN     UINTN              Pages,
  OUT    VOID               **HostAddress,
  IN     UINT64             Attributes
  );

EFI_STATUS
SimDmaFreeBuffer (
  IN OUT SIM_DMA        *Dma,
  IN     CONST SIM_ENV  *Env,
  IN     UINTN          Pages,
  IN     VOID           *HostAddress
  );

/**
  Copy Length bytes that the controller reads at DeviceAddress into
  Destination.

  @retval TRUE   The bytes were read.
  @retval FALSE  The access was refused (journaled); Destination is zeroed.
**/
BOOLEAN
SimDmaRead (
  IN OUT SIM_DMA  *Dma,
  IN     UINT64   DeviceAddress,
  OUT    VOID     *Destination,
  IN     UINT32   Length
  );

/**
  Copy Length bytes that the controller writes at DeviceAddress from Source.

  @retval TRUE   The bytes reached host memory.
  @retval FALSE  The access was refused (journaled); nothing was written.
**/
BOOLEAN
SimDmaWrite (
  IN OUT SIM_DMA     *Dma,
  IN     UINT64      DeviceAddress,
  IN     CONST VOID  *Source,
  IN     UINT32      Length
  );

/**
  @return Number of live mappings.
**/
UINT32
SimDmaLiveMappings (
  IN CONST SIM_DMA  *Dma
  );

/**
  @return Number of live AllocateBuffer buffers.
**/
UINT32
SimDmaLiveBuffers (
  IN CONST SIM_DMA  *Dma
  );

/**
  Forget the faults and the counters; mappings, buffers and attributes stay.
**/
VOID
SimDmaClearJournal (
  IN OUT SIM_DMA  *Dma
  );

/**
  @return The platform side of a controller, for inspection.
**/
CONST SIM_DMA *
SimGetDma (
  IN CONST SIM_CONTROLLER  *Sim
  );

#endif
