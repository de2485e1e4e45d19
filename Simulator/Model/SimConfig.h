/** @file
  The configuration of one simulated controller: the limits and completion
  statuses of the model, the environment it runs in (SIM_ENV), the
  configuration records, and the calls that fill and check them.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_CONFIG_H_
#define SIM_CONFIG_H_

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/Pci22.h>
#include <IndustryStandard/Acpi.h>
#include <Protocol/PciIo.h>
}

#include "../../ControllerInterface.h"

//
// ---------------------------------------------------------------------------
// Limits and constants of the model
// ---------------------------------------------------------------------------
//

#define SIM_MAX_STATUS_STEPS          16
#define SIM_MAX_DRIVES                64
#define SIM_MAX_FAULTS                32
#define SIM_MAX_ACCESS_RECORDS        8192
#define SIM_MAX_FRAME_RECORDS         1024
#define SIM_MAX_SET_RECORDS           256
#define SIM_MAX_COMMITS               64
#define SIM_MAX_PENDING               16
#define SIM_MAX_SCENARIO_CONTROLLERS  40
#define SIM_MAX_COMPONENT_SIZE        (64u * 1024u * 1024u)
#define SIM_MAX_WINDOW_SIZE           0x10000u
#define SIM_DEFAULT_WINDOW_SIZE       0x100u
#define SIM_CONFIG_SPACE_SIZE         256

#define SIM_HANDSHAKE_NEVER     0xFFFFFFFFu    ///< HandshakeWrites: HANDSHAKE_REGISTER never clears

/**
  @param[in] State  A firmware state.

  @return The status register's value in that state (bits 27-0 clear).
**/
constexpr UINT32
SimFirmwareStatus (
  IN FIRMWARE_STATE  State
  )
{
  return static_cast<UINT32> (State) << 28;
}

static_assert (FIRMWARE_STATUS { SimFirmwareStatus (FIRMWARE_STATE::READY) }.State () == FIRMWARE_STATE::READY,
               "SimFirmwareStatus places the state where FIRMWARE_STATUS reads it");
static_assert (FIRMWARE_STATUS { SimFirmwareStatus (FIRMWARE_STATE::FAULT) }.State () == FIRMWARE_STATE::FAULT,
               "SimFirmwareStatus uses all four state bits");

///
/// Completion statuses of the model (0 is success, 0xFF is never written).
///
#define SIM_STATUS_SUCCESS         0x00
#define SIM_STATUS_UNKNOWN_OPCODE  0x01   ///< opcode not in the command set
#define SIM_STATUS_BAD_REQUEST     0x02   ///< direction, length or mailbox wrong for the opcode
#define SIM_STATUS_BAD_FRAME       0x03   ///< the frame failed the format checks (SIM_FRAME_CHECK)
#define SIM_STATUS_FLASH_SEQUENCE  0x04   ///< flash command out of order, overrun, short commit, open while open
#define SIM_STATUS_NO_DRIVE        0x05   ///< no logical drive with that target id or reference
#define SIM_STATUS_NO_RESOURCES    0x06   ///< component larger than SIM_MAX_COMPONENT_SIZE, or no memory
#define SIM_STATUS_DMA_FAULT       0x07   ///< the request's data could not be moved (refused bus-master access)

///
/// SIM_FAULT.Occurrence: the rule applies to every request of its opcode.
///
#define SIM_EVERY_OCCURRENCE  0u

///
/// Index value of "no record".
///
#define SIM_NO_RECORD  0xFFFFFFFFu

//
// ---------------------------------------------------------------------------
// Environment: memory and time
// ---------------------------------------------------------------------------
//

struct SIM_CONTROLLER;

///
/// What the model needs from its surroundings. Copied at creation.
///
struct SIM_ENV {
  ///
  /// Allocate Size bytes (contents undefined); NULL when there is no memory.
  ///
  VOID *(*Allocate)(UINTN Size);
  ///
  /// Release a block from Allocate.
  ///
  VOID (*Free)(VOID *Buffer);
  ///
  /// Current time in microseconds. Optional: when NULL the model's time is
  /// the last value given to SimAdvanceTime.
  ///
  UINT64 (*NowUs)(VOID);
  ///
  /// Optional pair that keeps the model's entry points from running into one
  /// another (the UEFI driver raises the TPL over its timer's level). Lock's
  /// result is handed to Unlock.
  ///
  UINTN (*Lock)(VOID);
  VOID (*Unlock)(UINTN Token);
  ///
  /// Allocate Size bytes that the caller of a protocol member owns and
  /// releases with FreePool (the descriptors of GetBarAttributes): the boot
  /// services' pool in the driver, the tracked pool on the host. Optional:
  /// when NULL, GetBarAttributes answers EFI_OUT_OF_RESOURCES to a request
  /// for descriptors.
  ///
  VOID *(*AllocateForCaller)(UINTN Size);
  ///
  /// Pages for PciIo->AllocateBuffer, released with FreePages: the boot
  /// services' pages in the driver, the tracked pages on the host. Optional
  /// pair: when NULL, AllocateBuffer answers EFI_OUT_OF_RESOURCES.
  ///
  VOID *(*AllocatePages)(UINTN Pages);
  VOID (*FreePages)(VOID *Buffer, UINTN Pages);
  ///
  /// Optional: called after every command that may change what the
  /// controller keeps across a power cut (a set-properties, open, commit
  /// or close that succeeded), with the model's lock
  /// held. The UEFI driver saves the state (SimPersist.h) here.
  ///
  VOID (*StateChanged)(SIM_CONTROLLER *Sim);
};

//
// ---------------------------------------------------------------------------
// Configuration of one controller
// ---------------------------------------------------------------------------
//

enum class SIM_BAR_KIND : UINT8 {
  NONE  = 0,   ///< BAR reads 0
  IO    = 1,   ///< I/O BAR: value has bit 0 set
  MEM32 = 2,   ///< 32-bit memory BAR
  MEM64 = 3    ///< 64-bit memory BAR: takes this BAR and the next one
};

struct SIM_BAR_CONFIG {
  SIM_BAR_KIND    Kind;
  UINT64          Address;     ///< base address (I/O: 4-byte aligned, memory: 16-byte aligned)
};

///
/// Where the function sits on the PCI bus, as GetLocation answers it.
///
struct SIM_PCI_LOCATION {
  UINT32    Segment;
  UINT8     Bus;
  UINT8     Device;      ///< 0-31
  UINT8     Function;    ///< 0-7
};

///
/// One step of the status-register script. Each read of the status register
/// answers the current step's Value and counts one read against it; after
/// Reads reads the script moves to the next step. The last step stays for
/// ever, and so does a step with Reads 0.
///
struct SIM_STATUS_STEP {
  UINT32    Value;
  UINT32    Reads;
  ///
  /// -1: the doorbell does nothing at this step. Otherwise writing 1 to the
  /// doorbell while this step is current jumps to step DoorbellStep (0-based).
  ///
  INT32     DoorbellStep;
};

///
/// One logical drive. The list answers the drives in configuration order.
///
struct SIM_DRIVE_CONFIG {
  UINT32    Ref;            ///< reference in the list; low byte = target id
  UINT32    ReturnedRef;    ///< Ref inside the properties record the controller returns
  UINT8     CachePolicy;    ///< properties byte 20; bit 0 = write-back
  UINT8     GetFailStatus;  ///< non-zero: every get-properties of this drive answers it
  UINT8     SetFailStatus;  ///< non-zero: every set-properties of this drive answers it
};

///
/// A fault or delay rule. A request matches when its opcode is Opcode and it
/// is the Occurrence-th valid request with that opcode (1-based; 0 = every
/// one). Every matching rule applies: NoAnswer wins over all, the first
/// matching rule with HasStatus gives the status (the command is then not
/// executed), and the largest DelayUs delays the answer.
///
struct SIM_FAULT {
  UINT32     Opcode;
  UINT32     Occurrence;
  BOOLEAN    NoAnswer;     ///< the status byte is never written (stays 0xFF)
  BOOLEAN    HasStatus;
  UINT8      Status;       ///< answer this instead of executing the command
  UINT64     DelayUs;      ///< answer (and execute) this long after the post
};

///
/// Sees every answer that carries data to the host just before it is
/// written, and may change any of its Length bytes: a controller whose
/// answers are arbitrary (the fuzzer of controller answers). Mailbox0 is the
/// request's mailbox word 0 (the target id of a properties read).
///
typedef VOID (*SIM_ANSWER_HOOK)(
  VOID    *Context,
  UINT32  Opcode,
  UINT32  Mailbox0,
  UINT8   *Answer,
  UINT32  Length
  );

struct SIM_CONFIG {
  UINT16              VendorId;
  UINT16              DeviceId;
  UINT16              SubsystemVendorId;
  UINT16              SubsystemId;
  UINT8               RevisionId;
  SIM_BAR_CONFIG      Bars[6];
  ///
  /// Size of the register window in the BAR that the device's row names.
  ///
  UINT32              WindowSize;
  BOOLEAN             PciReadFails;          ///< Pci.Read answers EFI_DEVICE_ERROR
  ///
  /// GetBarAttributes answers EFI_UNSUPPORTED for every index, as firmware
  /// that does not implement it would.
  ///
  BOOLEAN             BarAttributesUnsupported;
  ///
  /// What the root bridge adds to a host address of its memory window to
  /// get the bus address (0: none). GetBarAttributes answers memory BARs
  /// with the host address, bus address less this offset, and the offset,
  /// as EDK II's PCI bus driver does; the configuration header and
  /// pass-through accesses keep bus addresses.
  ///
  UINT64              MemoryTranslation;
  SIM_PCI_LOCATION    Location;
  ///
  /// TRUE: the UEFI driver keeps the controller's persistent state
  /// (SimPersist.h) in a non-volatile variable keyed by Location, and
  /// applies it on top of the scenario whenever the scenario is loaded,
  /// so that the next boot sees what this one left.
  ///
  BOOLEAN             Persistent;
  ///
  /// Bus-master access of a protected platform (SimDma.h): device addresses
  /// differ from host addresses and only live mappings reach memory.
  ///
  BOOLEAN             DmaProtected;
  ///
  /// A platform that bounces DMA (SimDma.h): every BusMasterRead or
  /// BusMasterWrite mapping goes through a buffer of its own.
  ///
  BOOLEAN             DmaBounce;
  BOOLEAN             BusMasterOff;          ///< bus mastering initially disabled
  BOOLEAN             DecodingOff;           ///< I/O and memory decoding initially disabled
  UINT32              MapLimit;              ///< 0, or the most bytes one Map call maps
  ///
  /// Attributes refuses to enable bus mastering (EFI_UNSUPPORTED), as for
  /// a function whose platform does not let it master the bus.
  ///
  BOOLEAN             BusMasterUnsupported;
  ///
  /// Attributes (Set) answers EFI_DEVICE_ERROR and changes nothing;
  /// Enable and Disable still work.
  ///
  BOOLEAN             AttributesSetFails;
  ///
  /// Nothing turns bus mastering off once it is on: a Disable or Set that
  /// would clear it answers EFI_DEVICE_ERROR and changes nothing.
  ///
  BOOLEAN             BusMasterStuck;
  ///
  /// A set-properties request that succeeds writes the drive's record back
  /// into the request's buffer, as a controller that follows the frame's
  /// direction flag does (see OP_LD_SET_PROPERTIES in the command set).
  ///
  BOOLEAN             SetWritesBack;

  UINT32              StatusStepCount;       ///< 1 to SIM_MAX_STATUS_STEPS
  SIM_STATUS_STEP     StatusSteps[SIM_MAX_STATUS_STEPS];

  ///
  /// Writes of HANDSHAKE_PATTERN after which HANDSHAKE_REGISTER reads
  /// HANDSHAKE_ANSWERED (0: at once); SIM_HANDSHAKE_NEVER: it never clears.
  ///
  UINT32              HandshakeWrites;

  ///
  /// NUL-terminated; a name that fills the response from
  /// CTRL_INFO_PRODUCT_NAME to its end leaves no NUL.
  ///
  CHAR8               ProductName[CTRL_INFO_RESPONSE_SIZE - CTRL_INFO_PRODUCT_NAME + 1];
  ///
  /// TRUE: the name is repeated up to the end of the 2048-byte response, so
  /// the field holds no NUL.
  ///
  BOOLEAN             ProductNameUnterminated;

  UINT8               BbuType;
  UINT8               BbuTypeVariant;
  CHAR8               BbuName[sizeof (BBU_INFO_RESPONSE::Name) + 1];   ///< 38 characters: no NUL in the response

  UINT32              DriveCount;
  SIM_DRIVE_CONFIG    Drives[SIM_MAX_DRIVES];
  BOOLEAN             OverrideListCount;     ///< TRUE: the list answers ListCount as its Count
  UINT32              ListCount;

  UINT32              FaultCount;
  SIM_FAULT           Faults[SIM_MAX_FAULTS];

  ///
  /// NULL (the default, and always from a scenario text), or a hook that
  /// may change each data answer before it is written.
  ///
  SIM_ANSWER_HOOK     AnswerHook;
  VOID                *AnswerHookContext;
};

//
// ---------------------------------------------------------------------------
// Filling and checking a configuration
// ---------------------------------------------------------------------------
//

/**
  @param[in] DeviceId  A PCI device ID.

  @return The supported-controller row whose register layout the model uses
          for that device: its own row, or the first row for a device ID
          that no row has.
**/
CONST SUPPORTED_CONTROLLER *
SimRowForDevice (
  IN UINT16  DeviceId
  );

/**
  Fill a configuration with a healthy controller of the maker: vendor
  MAKER_VENDOR_ID, the given device ID, subsystem (maker, 0x0001),
  revision 0, location segment 0, bus 3 + Index, device 0, function 0,
  the register window's BAR placed for the device's row
  (SimConfigPlaceWindow), firmware ready at once (one sticky step
  0xB0000000), handshake clearing after one write, product name
  "Simulated RAID Adapter", no battery (type 0), no drives, no faults.

  @param[out] Config    The configuration to fill.
  @param[in]  DeviceId  PCI device ID.
  @param[in]  Index     Number of the controller in its set; it spreads the
                        BAR addresses of several controllers apart.
**/
VOID
SimConfigInit (
  OUT SIM_CONFIG  *Config,
  IN  UINT16      DeviceId,
  IN  UINT32      Index
  );

/**
  Clear all six BARs and place the register window where the device's row
  looks for it: an I/O BAR at 0xC000 + Index * 0x100, or a 32-bit memory BAR
  at 0xC0000000 + Index * 0x100000.

  @param[in,out] Config  The configuration; DeviceId selects the row.
  @param[in]     Index   Number of the controller in its set.
**/
VOID
SimConfigPlaceWindow (
  IN OUT SIM_CONFIG  *Config,
  IN     UINT32      Index
  );

///
/// PciBarOfSlot entry of a slot that holds the upper half of a 64-bit BAR.
///
#define SIM_NO_PCI_BAR  0xFFu

/**
  Number the six configuration slots as the PCI bus driver numbers BARs:
  one index per BAR in slot order, a 64-bit memory BAR counting once.

  @param[in]  Config        The configuration.
  @param[out] PciBarOfSlot  Receives the index of each slot, SIM_NO_PCI_BAR
                            for the upper half of a 64-bit BAR.
**/
VOID
SimNumberBars (
  IN  CONST SIM_CONFIG  *Config,
  OUT UINT8             PciBarOfSlot[6]
  );

/**
  Check a configuration for values the model cannot represent.

  @param[in] Config  The configuration.

  @return NULL when it is usable; otherwise a short description of the
          first problem.
**/
CONST CHAR8 *
SimCheckConfig (
  IN CONST SIM_CONFIG  *Config
  );

#endif
