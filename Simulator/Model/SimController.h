/** @file
  A software model of the maker's RAID controller, seen through the
  EFI_PCI_IO_PROTOCOL that the application uses: the PCI configuration
  header, the register window (status register, doorbell, bring-up
  handshake, queue ports), the frame engine with the command set, fault
  injection and a journal of everything the host did.

  The model is freestanding C++: EDK II base types, no C or C++ runtime, no
  global constructors. Memory and time come from the SIM_ENV given at
  creation, so the same sources run in the host unit tests (malloc, the
  virtual clock) and inside a UEFI driver (pool memory, a timer event).

  Typical use in a test:

    SIM_CONFIG  Config;
    SimConfigInit (&Config, MAKER_DEVICE_ID_MODEL_8, 0);
    Config.Drives[Config.DriveCount++] = { 5, 5, 0x01, 0, 0 };   // edit what matters
    SIM_CONTROLLER       *Sim   = SimCreate (&Env, &Config);
    EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);            // hand it to the product
    ... run the product; call SimAdvanceTime () whenever time passes ...
    SimFrameCount (Sim), SimGetFrame (Sim, 0)->Opcode, SimGetCommit (Sim, 0) ...
    SimDestroy (Sim);

  On the host test harness, SIM_HOST (Simulator/Host/SimHost.h) does the
  environment, the handles and the clock. Simulator/README.md describes the
  model and the scenario texts in full.

  The controller reaches host memory (frames, data buffers) only as a bus
  master would, through the platform side of SimDma.h: the buffers of
  AllocateBuffer, the mappings of Map and the function's attributes. Without
  "dma protected" a device address is the host address.
**/

#ifndef SIM_CONTROLLER_H_
#define SIM_CONTROLLER_H_

#include "../../CtlFlash.h"

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

///
/// The largest piece one OP_FLASH_DOWNLOAD may carry.
///
#define SIM_FLASH_PIECE_LIMIT  0x8000u

///
/// Bring-up handshake: the host writes SIM_HANDSHAKE_VALUE to this register
/// (BAR-relative) until it reads back 0.
///
#define SIM_HANDSHAKE_REGISTER  0x2Cu
#define SIM_HANDSHAKE_VALUE     0xDEADDEADu
#define SIM_HANDSHAKE_NEVER     0xFFFFFFFFu    ///< HandshakeWrites: never clears

///
/// Response and request layouts of the logical-drive commands.
///
#define SIM_LD_LIST_SIZE              4104u
#define SIM_LD_LIST_ENTRIES_OFFSET    8u
#define SIM_LD_LIST_ENTRY_SIZE        16u
#define SIM_LD_LIST_MAX_ENTRIES       256u
#define SIM_LD_PROPERTIES_SIZE        32u
#define SIM_LD_CACHE_POLICY_OFFSET    20u

#define SIM_PRODUCT_NAME_SIZE  (CTRL_INFO_RESPONSE_SIZE - CTRL_INFO_PRODUCT_NAME)   ///< 704
#define SIM_BATTERY_NAME_SIZE  (BBU_RESPONSE_SIZE - BBU_INFO_NAME_OFFSET)         ///< 38

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
  SIM_PCI_LOCATION    Location;
  ///
  /// Bus-master access of a protected platform (SimDma.h): device addresses
  /// differ from host addresses and only live mappings reach memory.
  ///
  BOOLEAN             DmaProtected;
  BOOLEAN             BusMasterOff;          ///< bus mastering initially disabled
  BOOLEAN             DecodingOff;           ///< I/O and memory decoding initially disabled
  UINT32              MapLimit;              ///< 0, or the most bytes one Map call maps
  ///
  /// Attributes refuses to enable bus mastering (EFI_UNSUPPORTED), as for
  /// a function whose platform does not let it master the bus.
  ///
  BOOLEAN             BusMasterUnsupported;

  UINT32              StatusStepCount;       ///< 1 to SIM_MAX_STATUS_STEPS
  SIM_STATUS_STEP     StatusSteps[SIM_MAX_STATUS_STEPS];

  ///
  /// Handshake writes after which register 0x2C reads 0 (0: reads 0 at
  /// once); SIM_HANDSHAKE_NEVER: it never clears.
  ///
  UINT32              HandshakeWrites;

  ///
  /// NUL-terminated; a name of SIM_PRODUCT_NAME_SIZE characters fills the
  /// field without a NUL.
  ///
  CHAR8               ProductName[SIM_PRODUCT_NAME_SIZE + 1];
  ///
  /// TRUE: the name is repeated up to the end of the 2048-byte response, so
  /// the field holds no NUL.
  ///
  BOOLEAN             ProductNameUnterminated;

  UINT8               BbuType;
  UINT8               BbuTypeVariant;
  CHAR8               BbuName[SIM_BATTERY_NAME_SIZE + 1];   ///< 38 characters: no NUL in the response

  UINT32              DriveCount;
  SIM_DRIVE_CONFIG    Drives[SIM_MAX_DRIVES];
  BOOLEAN             OverrideListCount;     ///< TRUE: the list answers ListCount as its Count
  UINT32              ListCount;

  UINT32              FaultCount;
  SIM_FAULT           Faults[SIM_MAX_FAULTS];
};

//
// ---------------------------------------------------------------------------
// Journal records
// ---------------------------------------------------------------------------
//

enum class SIM_ACCESS_KIND : UINT8 {
  IO_READ   = 0,
  IO_WRITE  = 1,
  MEM_READ  = 2,
  MEM_WRITE = 3,
  PCI_READ  = 4,
  PCI_WRITE = 5,    ///< always refused with EFI_UNSUPPORTED
  OTHER     = 6     ///< any other member of the protocol (EFI_UNSUPPORTED)
};

///
/// One call of the protocol, as the host made it.
///
struct SIM_ACCESS_RECORD {
  SIM_ACCESS_KIND    Kind;
  UINT8              BarIndex;    ///< as passed (0xFF = pass-through); 0 for PCI_*
  UINT8              Width;       ///< EFI_PCI_IO_PROTOCOL_WIDTH as passed
  ///
  /// TRUE when the access reached the register window (or, for PCI_READ,
  /// the configuration space). FALSE marks a stray access: nothing in the
  /// model was read or written.
  ///
  BOOLEAN            Hit;
  BOOLEAN            Rejected;    ///< bad width, count or buffer: EFI_INVALID_PARAMETER
  UINT32             Count;       ///< as passed
  UINT64             Offset;      ///< as passed
  UINT32             Register;    ///< window offset of the register when Hit
  UINT32             Value;       ///< value read or written (first 4 bytes for PCI_READ)
  EFI_STATUS         Status;      ///< what the call returned
  UINT64             TimeUs;
};

enum class SIM_FRAME_CHECK : UINT8 {
  OK               = 0,
  BAD_ADDRESS      = 1,   ///< tag missing or address not 256-byte aligned: nothing fetched, nothing answered
  BAD_COMMAND      = 2,   ///< Command is not 5
  BAD_STATUS       = 3,   ///< Status byte was not preset to 0xFF
  BAD_RESERVED     = 4,   ///< a reserved byte or Timeout is not 0
  BAD_FLAGS        = 5,   ///< bits 0-1 not set, direction 3, or other bits set
  BAD_SGE_COUNT    = 6,   ///< SgeCount above 2
  BAD_UNUSED_SGE   = 7,   ///< an entry beyond SgeCount is not all zero
  BAD_SGE_ADDRESS  = 8,   ///< a used entry has a length but address 0
  BAD_CONTEXT      = 9,   ///< Context is not the low half of entry 0's address
  BAD_LENGTH       = 10,  ///< DataTransferLength is not the sum of the used entries' lengths
  NOT_FETCHED      = 11   ///< the bus-master fetch of the frame was refused: nothing answered
};

///
/// One frame, from the queue-port write that posted it to its answer.
///
struct SIM_FRAME_RECORD {
  UINT8              Raw[sizeof (COMMAND_FRAME)];   ///< the frame as fetched (Status byte as the host preset it)
  UINT64             Encoded;          ///< high:low value of the queue ports
  UINT64             Address;          ///< decoded frame address; 0 for BAD_ADDRESS
  BOOLEAN            HighWritten;      ///< the high port was written since the previous low write
  SIM_FRAME_CHECK    Check;
  UINT32             Opcode;
  UINT32             Mailbox[3];
  UINT16             Flags;
  UINT8              Direction;        ///< Flags bits 3-4
  UINT8              SgeCount;
  UINT32             DataTransferLength;
  UINT64             SgeAddress[2];
  UINT32             SgeLength[2];
  UINT32             Occurrence;       ///< n-th valid frame with this opcode (0 when invalid)
  BOOLEAN            Answered;         ///< the status byte was written
  UINT8              Status;           ///< the status written (0xFF while unanswered)
  UINT64             PostedUs;
  UINT64             AnsweredUs;
  ///
  /// Status-register reads that came straight after the high-port write
  /// (before the low write), and straight after the low-port write (before
  /// any other register access): the read-backs of the FlushReads models.
  ///
  UINT32             StatusReadsAfterHigh;
  UINT32             StatusReadsAfterLow;
};

///
/// One OP_LD_SET_PROPERTIES request, executed or not.
///
struct SIM_SET_RECORD {
  UINT32    Mailbox0;                          ///< the Ref the host sent
  UINT8     Data[SIM_LD_PROPERTIES_SIZE];      ///< the record the host sent
  UINT8     Status;                            ///< what the model answered
};

///
/// One committed flash component.
///
struct SIM_COMMIT {
  UINT32         Size;
  UINT32         Crc32;     ///< CRC-32 (IEEE, as zlib computes it) of Data
  CONST UINT8    *Data;     ///< the component bytes; NULL when Size is 0
};

///
/// A logical drive as the model holds it now.
///
struct SIM_DRIVE {
  UINT32    Ref;                                     ///< list reference
  UINT8     Properties[SIM_LD_PROPERTIES_SIZE];      ///< what get-properties answers
  UINT8     GetFailStatus;
  UINT8     SetFailStatus;
};

///
/// Running counters since creation or the last SimClearJournal.
///
struct SIM_COUNTERS {
  UINT32    AccessOverflow;      ///< accesses not journaled (journal full)
  UINT32    FrameOverflow;       ///< frames not journaled
  UINT32    SetOverflow;
  UINT32    CommitOverflow;      ///< commits acknowledged but not kept
  UINT32    StrayAccesses;       ///< register accesses that missed the window
  UINT32    RejectedAccesses;    ///< calls refused with EFI_INVALID_PARAMETER
  UINT32    OtherCalls;          ///< calls of unsupported protocol members
  UINT32    StatusReads;
  UINT32    FlushReadbacks;      ///< status reads straight after a queue-port write
  UINT32    DoorbellRings;       ///< writes of 1 to the doorbell
  UINT32    HandshakeWrites;     ///< writes of 0xDEADDEAD to register 0x2C
  UINT32    PendingDropped;      ///< delayed answers dropped (too many outstanding)
  UINT32    BarAttributeCalls;   ///< GetBarAttributes calls (not in the access journal)
  UINT32    LocationCalls;       ///< GetLocation calls (not in the access journal)
};

struct SIM_CONTROLLER;

//
// ---------------------------------------------------------------------------
// Creating controllers
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
  "Sim RAID Adapter", no battery (type 0), no drives, no faults.

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

/**
  Create one simulated controller.

  @param[in] Env     Memory and time; copied.
  @param[in] Config  The configuration; copied.

  @return The controller, or NULL when the configuration fails
          SimCheckConfig or there is no memory.
**/
SIM_CONTROLLER *
SimCreate (
  IN CONST SIM_ENV     *Env,
  IN CONST SIM_CONFIG  *Config
  );

/**
  Release a controller and everything it holds (committed components
  included). Frames still waiting for a delayed answer are never answered.

  @param[in] Sim  The controller, or NULL.
**/
VOID
SimDestroy (
  IN SIM_CONTROLLER  *Sim
  );

/**
  @return The controller's EFI_PCI_IO_PROTOCOL. Its Mem, Io and Pci.Read
          reach the model. GetLocation answers the configured location;
          GetBarAttributes answers, for each BAR as the PCI bus driver numbers
          them (a 64-bit memory BAR takes two slots and one index), one QWORD
          address-space descriptor and an end tag in memory from
          SIM_ENV.AllocateForCaller (EFI_UNSUPPORTED for an unused BAR, an
          index beyond the BARs, or BarAttributesUnsupported); both are
          counted, not journaled. Attributes, Map, Unmap, AllocateBuffer and
          FreeBuffer are the platform side of SimDma.h (counted there, not in
          the access journal); register accesses need the decoding of their
          space enabled. PollMem, PollIo, CopyMem, Flush, SetBarAttributes
          and Pci.Write answer EFI_UNSUPPORTED (journaled).
**/
EFI_PCI_IO_PROTOCOL *
SimGetPciIo (
  IN SIM_CONTROLLER  *Sim
  );

/**
  @param[in] PciIo  A protocol instance.

  @return The controller that owns it, or NULL when it is not a simulated
          controller's.
**/
SIM_CONTROLLER *
SimFromPciIo (
  IN EFI_PCI_IO_PROTOCOL  *PciIo
  );

/**
  @return The configuration the controller was created with.
**/
CONST SIM_CONFIG *
SimGetConfig (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  Tell the controller the time: every delayed answer that is due by NowUs is
  executed and written, in posting order. Time never goes back; an earlier
  NowUs is taken as the latest time seen.

  @param[in] Sim    The controller.
  @param[in] NowUs  Current time in microseconds.
**/
VOID
SimAdvanceTime (
  IN SIM_CONTROLLER  *Sim,
  IN UINT64          NowUs
  );

/**
  @return Number of frames posted whose delayed answer is still to come.
**/
UINT32
SimPendingCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

//
// ---------------------------------------------------------------------------
// Inspecting a controller
// ---------------------------------------------------------------------------
//

UINT32
SimAccessCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Access record Index (0 = oldest), or NULL beyond the count.
**/
CONST SIM_ACCESS_RECORD *
SimGetAccess (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

UINT32
SimFrameCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Frame record Index (0 = first posted), or NULL beyond the count.
**/
CONST SIM_FRAME_RECORD *
SimGetFrame (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

UINT32
SimSetRecordCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Set-properties record Index, or NULL beyond the count.
**/
CONST SIM_SET_RECORD *
SimGetSetRecord (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

UINT32
SimCommitCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Committed component Index (in commit order), or NULL beyond the
          count.
**/
CONST SIM_COMMIT *
SimGetCommit (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

UINT32
SimDriveCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Drive Index in list order, or NULL beyond the count.
**/
CONST SIM_DRIVE *
SimGetDrive (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

/**
  @return The first drive whose Ref's low byte is TargetId, or NULL.
**/
CONST SIM_DRIVE *
SimFindDrive (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT8                 TargetId
  );

/**
  @return The drive's current cache-policy byte (properties byte 20).
**/
UINT8
SimDriveCachePolicy (
  IN CONST SIM_DRIVE  *Drive
  );

/**
  @return The counters.
**/
CONST SIM_COUNTERS *
SimGetCounters (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Number of valid frames with this opcode so far (the occurrence
          count the fault rules use).
**/
UINT32
SimOpcodeCount (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Opcode
  );

/**
  @return Index (0-based) of the current step of the status script.
**/
UINT32
SimStatusStep (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @param[out] Size      Receives the size given to OP_FLASH_OPEN; may be NULL.
  @param[out] Received  Receives the bytes downloaded so far; may be NULL.

  @return TRUE while a flash operation is open.
**/
BOOLEAN
SimFlashState (
  IN  CONST SIM_CONTROLLER  *Sim,
  OUT UINT32                *Size      OPTIONAL,
  OUT UINT32                *Received  OPTIONAL
  );

/**
  Forget the journal (accesses, frames, set records), the committed
  components and the counters. Drives, flash state, status script position
  and occurrence counts stay.
**/
VOID
SimClearJournal (
  IN SIM_CONTROLLER  *Sim
  );

/**
  @return CRC-32 (IEEE 802.3, reflected, as zlib's crc32) of Length bytes.
**/
UINT32
SimCrc32 (
  IN CONST UINT8  *Data,
  IN UINTN        Length
  );

//
// ---------------------------------------------------------------------------
// Scenarios: sets of controllers described as text (see Simulator/README.md)
// ---------------------------------------------------------------------------
//

struct SIM_SCENARIO {
  UINT32        ControllerCount;
  SIM_CONFIG    Controllers[SIM_MAX_SCENARIO_CONTROLLERS];
};

struct SIM_PARSE_ERROR {
  UINT32    Line;          ///< 1-based line of the error; 0 when not tied to a line
  CHAR8     Message[96];   ///< NUL-terminated
};

/**
  Parse a scenario text. Bounded and safe on any input: at most
  SIM_MAX_SCENARIO_CONTROLLERS controllers, lines of at most 1023 bytes.

  @param[in]  Text      The text; need not be NUL-terminated.
  @param[in]  Length    Its length in bytes.
  @param[out] Scenario  Receives the controllers (large: allocate it).
  @param[out] Error     Receives the line and reason of a failure.

  @retval TRUE   Scenario holds the controllers.
  @retval FALSE  The text is malformed; Error says where.
**/
BOOLEAN
SimParseScenario (
  IN  CONST CHAR8      *Text,
  IN  UINTN            Length,
  OUT SIM_SCENARIO     *Scenario,
  OUT SIM_PARSE_ERROR  *Error
  );

///
/// The controllers of one scenario.
///
struct SIM_SET {
  UINT32            Count;
  SIM_CONTROLLER    *Controllers[SIM_MAX_SCENARIO_CONTROLLERS];
};

/**
  Create every controller of a scenario. On failure nothing stays created.

  @retval TRUE   Set holds Scenario->ControllerCount controllers.
  @retval FALSE  No memory; Set is empty.
**/
BOOLEAN
SimSetCreate (
  IN  CONST SIM_ENV       *Env,
  IN  CONST SIM_SCENARIO  *Scenario,
  OUT SIM_SET             *Set
  );

/**
  Parse a scenario text and create its controllers (the parsed scenario is
  held in memory from Env only while this runs).

  @retval TRUE   Set holds the controllers.
  @retval FALSE  Parse error (Error says where) or no memory (Error->Line
                 0); Set is empty.
**/
BOOLEAN
SimSetLoad (
  IN  CONST SIM_ENV    *Env,
  IN  CONST CHAR8      *Text,
  IN  UINTN            Length,
  OUT SIM_SET          *Set,
  OUT SIM_PARSE_ERROR  *Error
  );

/**
  Destroy every controller of a set and leave it empty.
**/
VOID
SimSetDestroy (
  IN OUT SIM_SET  *Set
  );

/**
  SimAdvanceTime for every controller of a set.
**/
VOID
SimSetAdvanceTime (
  IN SIM_SET  *Set,
  IN UINT64   NowUs
  );

#endif
