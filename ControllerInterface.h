/** @file
  The controller's interface as its firmware defines it: the supported
  models and how each is reached, the registers with their fields, the
  firmware states, the 64-byte command frame with its flags, the command
  set's opcodes and every record that a request carries.

  This header holds wire facts only, each declared once; the application's
  own records and state are in CtlFlash.h. It needs nothing but the UEFI
  base types and the maker's identifiers, so that everything that speaks to
  a controller, or plays one, includes the same declarations.

  All multi-byte fields are little-endian.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CONTROLLER_INTERFACE_H_
#define CONTROLLER_INTERFACE_H_

extern "C" {
#include <Uefi.h>
}

#include "MakerIds.h"

//
// ---------------------------------------------------------------------------
// Supported models
// ---------------------------------------------------------------------------
//

#define SUPPORTED_CONTROLLER_COUNT  11

///
/// AccessSpace values: how a model's registers are reached. Any other value
/// turns every register access into nothing (reads give 0).
///
#define ACCESS_SPACE_MEMORY  0u
#define ACCESS_SPACE_IO      1u

///
/// AddressEncoding values: how a frame address becomes the queue-port value.
///
#define ENCODE_OR           0u
#define ENCODE_AND          1u
#define ENCODE_SHIFT_LEFT   2u
#define ENCODE_SHIFT_RIGHT  3u

///
/// One supported controller model.
///
struct SUPPORTED_CONTROLLER {
  UINT16     DeviceId;          ///< PCI device ID of the model
  INT32      BarIndex;          ///< BAR (0-5) that holds the register window
  UINT32     BarMask;           ///< ANDed with that BAR to give RegisterBase
  UINT32     AccessSpace;       ///< ACCESS_SPACE_MEMORY or ACCESS_SPACE_IO
  UINT32     StatusRegister;    ///< firmware status register offset
  UINT32     DoorbellRegister;  ///< doorbell register offset
  UINT32     AddressEncoding;   ///< ENCODE_* of the frame address
  UINT32     EncodingOperand;   ///< operand of AddressEncoding
  UINT32     QueuePortHigh;     ///< queue port for the upper 32 address bits
  UINT32     QueuePortLow;      ///< queue port for the lower 32 address bits
  BOOLEAN    FlushReads;        ///< status read-backs and bring-up handshake
};

///
/// The constant table of supported models, searched in this order.
///
inline constexpr SUPPORTED_CONTROLLER  mSupportedControllers[SUPPORTED_CONTROLLER_COUNT] = {
  // DeviceId                 Bar Mask        Space            Status Door  Encoding   Op High  Low   Flush
  { MAKER_DEVICE_ID_MODEL_1,  2, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 1, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_2,  2, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 1, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_3,  2, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 1, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_4,  0, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 1, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_5,  0, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 1, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_6,  0, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 1, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_7,  0, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 1, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_8,  0, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 2, 0xC4, 0xC0, TRUE  },
  { MAKER_DEVICE_ID_MODEL_9,  0, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 2, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_10, 0, 0xFFFFFFFEu, ACCESS_SPACE_IO, 0xB0, 0x20, ENCODE_OR, 2, 0xC4, 0xC0, FALSE },
  { MAKER_DEVICE_ID_MODEL_11, 1, 0xFFFFFFF0u, ACCESS_SPACE_MEMORY, 0xB0, 0x20, ENCODE_OR, 2, 0xC4, 0xC0, TRUE },
};

///
/// A FlushReads model of this chip revision or later needs neither the
/// read-backs nor the bring-up handshake.
///
constexpr UINT8  FLUSH_READS_FIXED_REVISION = 2;

//
// ---------------------------------------------------------------------------
// Registers
// ---------------------------------------------------------------------------
//
// Every register is 32 bits wide and lies in the register window, the BAR
// that the model's row names. Each one is declared below as a
// CONTROLLER_REGISTER: where its offset comes from and how it is reached.
// Register access takes these definitions, so no caller picks an offset or
// an addressing mode of its own.
//
// | Register           | Offset                   | Reached       | Fields               |
// |--------------------|--------------------------|---------------|----------------------|
// | STATUS_REGISTER    | row's StatusRegister     | BAR-relative  | FIRMWARE_STATUS      |
// | DOORBELL_REGISTER  | row's DoorbellRegister   | base-relative | DOORBELL_RING        |
// | QUEUE_PORT_HIGH    | row's QueuePortHigh      | base-relative | frame address 63-32  |
// | QUEUE_PORT_LOW     | row's QueuePortLow       | base-relative | frame address 31-0   |
// | HANDSHAKE_REGISTER | 0x2C on every model      | BAR-relative  | HANDSHAKE_PATTERN    |
//

///
/// How a register is reached.
///
enum class REGISTER_MODE : UINT32 {
  REG_BAR_RELATIVE  = 0,    ///< through the window's BAR, at the offset
  REG_BASE_RELATIVE = 1     ///< pass-through BAR, at RegisterBase + offset
};

///
/// Where a register's offset comes from: a column of the model's row, or a
/// fixed offset that is the same on every model.
///
enum class REGISTER_OFFSET : UINT8 {
  ROW_STATUS_REGISTER,      ///< SUPPORTED_CONTROLLER.StatusRegister
  ROW_DOORBELL_REGISTER,    ///< SUPPORTED_CONTROLLER.DoorbellRegister
  ROW_QUEUE_PORT_HIGH,      ///< SUPPORTED_CONTROLLER.QueuePortHigh
  ROW_QUEUE_PORT_LOW,       ///< SUPPORTED_CONTROLLER.QueuePortLow
  FIXED                     ///< CONTROLLER_REGISTER.FixedOffset
};

///
/// One register of the controller.
///
struct CONTROLLER_REGISTER {
  REGISTER_OFFSET    Offset;        ///< where the offset comes from
  REGISTER_MODE      Mode;          ///< how the register is reached
  UINT32             FixedOffset;   ///< the offset for REGISTER_OFFSET::FIXED, else 0
};

/**
  @param[in] Model     The controller's model.
  @param[in] Register  One of the registers.

  @return The register's offset on that model.
**/
constexpr UINT32
RegisterOffset (
  IN CONST SUPPORTED_CONTROLLER  *Model,
  IN CONTROLLER_REGISTER         Register
  )
{
  switch (Register.Offset) {
    case REGISTER_OFFSET::ROW_STATUS_REGISTER:
      return Model->StatusRegister;
    case REGISTER_OFFSET::ROW_DOORBELL_REGISTER:
      return Model->DoorbellRegister;
    case REGISTER_OFFSET::ROW_QUEUE_PORT_HIGH:
      return Model->QueuePortHigh;
    case REGISTER_OFFSET::ROW_QUEUE_PORT_LOW:
      return Model->QueuePortLow;
    default:
      return Register.FixedOffset;
  }
}

///
/// Firmware status: its state (FIRMWARE_STATUS) says whether the firmware
/// is ready. Read while the firmware comes up, and read back once after
/// each queue-port write on a model that needs FlushReads.
///
constexpr CONTROLLER_REGISTER  STATUS_REGISTER = { REGISTER_OFFSET::ROW_STATUS_REGISTER, REGISTER_MODE::REG_BAR_RELATIVE, 0 };

///
/// Doorbell: DOORBELL_RING answers a firmware waiting in
/// FIRMWARE_STATE::DOORBELL_WAIT.
///
constexpr CONTROLLER_REGISTER  DOORBELL_REGISTER = { REGISTER_OFFSET::ROW_DOORBELL_REGISTER, REGISTER_MODE::REG_BASE_RELATIVE, 0 };

///
/// Queue ports: a frame is posted by writing the upper 32 bits of its
/// encoded address (ENCODE_*) to the high port first, then the lower 32 bits
/// to the low port; the write to the low port starts the request.
///
constexpr CONTROLLER_REGISTER  QUEUE_PORT_HIGH = { REGISTER_OFFSET::ROW_QUEUE_PORT_HIGH, REGISTER_MODE::REG_BASE_RELATIVE, 0 };
constexpr CONTROLLER_REGISTER  QUEUE_PORT_LOW  = { REGISTER_OFFSET::ROW_QUEUE_PORT_LOW, REGISTER_MODE::REG_BASE_RELATIVE, 0 };

///
/// Bring-up handshake of a FlushReads model below FLUSH_READS_FIXED_REVISION:
/// the host writes HANDSHAKE_PATTERN until the register reads
/// HANDSHAKE_ANSWERED.
///
constexpr CONTROLLER_REGISTER  HANDSHAKE_REGISTER = { REGISTER_OFFSET::FIXED, REGISTER_MODE::REG_BAR_RELATIVE, 0x2C };

constexpr UINT32  HANDSHAKE_PATTERN  = 0xDEADDEAD;
constexpr UINT32  HANDSHAKE_ANSWERED = 0;

///
/// The value written to DOORBELL_REGISTER.
///
constexpr UINT32  DOORBELL_RING = 1;

///
/// Firmware states, bits 31-28 of the status register. The states that are
/// not named here mean:
/// - 1, 4, 7, 8, 9, 10: the firmware is still on its way; wait.
/// - 2, 3, 5, 13, 14: wait before the doorbell has been rung; after it they
///   are a failure (IsFailingAfterDoorbell).
///
enum class FIRMWARE_STATE : UINT32 {
  RESET         = 0,    ///< coming out of reset: give it a long pause
  DOORBELL_WAIT = 6,    ///< waiting for DOORBELL_RING
  READY         = 11,   ///< ready for requests
  OPERATIONAL   = 12,   ///< ready for requests
  FAULT         = 15    ///< failed; it will not get ready
};

///
/// The firmware status register's value.
///
struct FIRMWARE_STATUS {
  UINT32    Value;

  ///
  /// @return Bits 31-28.
  ///
  constexpr FIRMWARE_STATE
  State () const
  {
    return static_cast<FIRMWARE_STATE> (Value >> 28);
  }
};

static_assert (sizeof (FIRMWARE_STATUS) == 4, "FIRMWARE_STATUS is one register");
static_assert (FIRMWARE_STATUS { 0xB0000000u }.State () == FIRMWARE_STATE::READY, "the state is bits 31-28");
static_assert (FIRMWARE_STATUS { 0x0FFFFFFFu }.State () == FIRMWARE_STATE::RESET, "bits 27-0 are not the state");

constexpr BOOLEAN
IsReadyState (
  IN FIRMWARE_STATE  State
  )
{
  return (State == FIRMWARE_STATE::READY) || (State == FIRMWARE_STATE::OPERATIONAL);
}

///
/// States that are waited through before the doorbell was rung and are a
/// failure after it.
///
constexpr BOOLEAN
IsFailingAfterDoorbell (
  IN FIRMWARE_STATE  State
  )
{
  switch (static_cast<UINT32> (State)) {
    case 2:
    case 3:
    case 5:
    case 13:
    case 14:
      return TRUE;
    default:
      return FALSE;
  }
}

//
// ---------------------------------------------------------------------------
// Command frames
// ---------------------------------------------------------------------------
//

///
/// Directions of a frame (COMMAND_FRAME.Flags bits 3-4). A direction is two
/// bits wide: DIRECTION_MASK.
///
#define DIRECTION_NONE             0
#define DIRECTION_TO_CONTROLLER    1
#define DIRECTION_FROM_CONTROLLER  2
#define DIRECTION_MASK             0x3

#define FRAME_COMMAND          5       ///< COMMAND_FRAME.Command of every frame
#define FRAME_STATUS_PENDING   0xFF    ///< COMMAND_FRAME.Status until the controller answers
#define FRAME_ALIGNMENT        256     ///< a frame's address is a multiple of this

///
/// COMMAND_FRAME.Flags: bits 0-1 are set in every frame, bits 3-4 hold the
/// direction, every other bit is zero.
///
constexpr UINT16  FRAME_FLAGS_FIXED           = 0x0003;   ///< bits 0-1
constexpr UINT16  FRAME_FLAGS_DIRECTION       = 0x0018;   ///< bits 3-4
constexpr UINT32  FRAME_FLAGS_DIRECTION_SHIFT = 3;

/**
  @param[in] Direction  DIRECTION_*; only its low two bits are used.

  @return The Flags of a frame with that direction.
**/
constexpr UINT16
FrameFlags (
  IN UINT16  Direction
  )
{
  return static_cast<UINT16> (FRAME_FLAGS_FIXED | ((Direction & DIRECTION_MASK) << FRAME_FLAGS_DIRECTION_SHIFT));
}

/**
  @param[in] Flags  A frame's Flags.

  @return The direction that they carry (bits 3-4).
**/
constexpr UINT16
FrameFlagsDirection (
  IN UINT16  Flags
  )
{
  return static_cast<UINT16> ((Flags & FRAME_FLAGS_DIRECTION) >> FRAME_FLAGS_DIRECTION_SHIFT);
}

static_assert (FrameFlags (DIRECTION_NONE) == 0x0003, "no direction");
static_assert (FrameFlags (DIRECTION_TO_CONTROLLER) == 0x000B, "to the controller: bit 3");
static_assert (FrameFlags (DIRECTION_FROM_CONTROLLER) == 0x0013, "from the controller: bit 4");
static_assert (FrameFlags (3) == 0x001B, "both direction bits");
static_assert (FrameFlagsDirection (0x0013) == DIRECTION_FROM_CONTROLLER, "direction from bits 3-4");

#pragma pack(push, 1)

///
/// One scatter-gather entry. The 64-bit address is not naturally aligned
/// inside the frame, so it is kept as two halves.
///
struct FRAME_SGE {
  UINT32    AddressLow;
  UINT32    AddressHigh;
  UINT32    Length;
};

///
/// The 64-byte request record that the controller fetches by bus-master
/// access. Placed at a FRAME_ALIGNMENT-aligned address.
///
struct COMMAND_FRAME {
  UINT8        Command;              ///< always FRAME_COMMAND
  UINT8        Reserved1;
  UINT8        Status;               ///< FRAME_STATUS_PENDING until answered
  UINT8        Reserved3[4];
  UINT8        SgeCount;
  UINT32       Context;              ///< low half of the first buffer address
  UINT32       Reserved12;
  UINT16       Flags;                ///< FrameFlags (direction)
  UINT16       Timeout;
  UINT32       DataTransferLength;   ///< first length + second length
  UINT32       Opcode;
  UINT32       Mailbox[3];
  FRAME_SGE    Sge[2];
};

#pragma pack(pop)

static_assert (sizeof (FRAME_SGE) == 12, "FRAME_SGE is 12 bytes");
static_assert (OFFSET_OF (FRAME_SGE, AddressLow) == 0, "FRAME_SGE.Address");
static_assert (OFFSET_OF (FRAME_SGE, AddressHigh) == 4, "FRAME_SGE.Address high half");
static_assert (OFFSET_OF (FRAME_SGE, Length) == 8, "FRAME_SGE.Length");

static_assert (sizeof (COMMAND_FRAME) == 64, "COMMAND_FRAME is 64 bytes");
static_assert (OFFSET_OF (COMMAND_FRAME, Command) == 0, "COMMAND_FRAME.Command");
static_assert (OFFSET_OF (COMMAND_FRAME, Status) == 2, "COMMAND_FRAME.Status");
static_assert (OFFSET_OF (COMMAND_FRAME, SgeCount) == 7, "COMMAND_FRAME.SgeCount");
static_assert (OFFSET_OF (COMMAND_FRAME, Context) == 8, "COMMAND_FRAME.Context");
static_assert (OFFSET_OF (COMMAND_FRAME, Flags) == 16, "COMMAND_FRAME.Flags");
static_assert (OFFSET_OF (COMMAND_FRAME, Timeout) == 18, "COMMAND_FRAME.Timeout");
static_assert (OFFSET_OF (COMMAND_FRAME, DataTransferLength) == 20, "COMMAND_FRAME.DataTransferLength");
static_assert (OFFSET_OF (COMMAND_FRAME, Opcode) == 24, "COMMAND_FRAME.Opcode");
static_assert (OFFSET_OF (COMMAND_FRAME, Mailbox) == 28, "COMMAND_FRAME.Mailbox");
static_assert (OFFSET_OF (COMMAND_FRAME, Sge) == 40, "COMMAND_FRAME.Sge[0]");
static_assert (OFFSET_OF (COMMAND_FRAME, Sge) + sizeof (FRAME_SGE) == 52, "COMMAND_FRAME.Sge[1]");

//
// ---------------------------------------------------------------------------
// Controller information and battery records (OP_CTRL_INFO, OP_BBU_*)
// ---------------------------------------------------------------------------
//

#define CTRL_INFO_RESPONSE_SIZE  2048
#define CTRL_INFO_PRODUCT_NAME   1344
#define BBU_RESPONSE_SIZE        64
#define BBU_INFO_NAME_OFFSET     26

///
/// The answer of OP_CTRL_INFO.
///
struct CTRL_INFO_RESPONSE {
  UINT8    Bytes[CTRL_INFO_RESPONSE_SIZE];   ///< NUL-terminated product name at CTRL_INFO_PRODUCT_NAME
};

///
/// The answer of OP_BBU_STATUS.
///
struct BBU_STATUS_RESPONSE {
  UINT8    Type;                             ///< battery type code
  UINT8    TypeVariant;                      ///< with some type codes: which name applies
  UINT8    Reserved[BBU_RESPONSE_SIZE - 2];
};

///
/// The answer of OP_BBU_INFO.
///
struct BBU_INFO_RESPONSE {
  UINT8    Reserved[BBU_INFO_NAME_OFFSET];
  CHAR8    Name[BBU_RESPONSE_SIZE - BBU_INFO_NAME_OFFSET];   ///< NUL-terminated battery name
};

///
/// The answer of OP_BBU_0507, kept but never interpreted.
///
struct BBU_0507_RESPONSE {
  UINT8    Bytes[BBU_RESPONSE_SIZE];
};

static_assert (sizeof (CTRL_INFO_RESPONSE) == 2048, "CTRL_INFO_RESPONSE is 2048 bytes");
static_assert (sizeof (BBU_STATUS_RESPONSE) == 64, "BBU_STATUS_RESPONSE is 64 bytes");
static_assert (OFFSET_OF (BBU_STATUS_RESPONSE, TypeVariant) == 1, "BBU_STATUS_RESPONSE.TypeVariant");
static_assert (sizeof (BBU_INFO_RESPONSE) == 64, "BBU_INFO_RESPONSE is 64 bytes");
static_assert (OFFSET_OF (BBU_INFO_RESPONSE, Name) == 26, "BBU_INFO_RESPONSE.Name");
static_assert (sizeof (BBU_0507_RESPONSE) == 64, "BBU_0507_RESPONSE is 64 bytes");

//
// ---------------------------------------------------------------------------
// Logical-drive records (OP_LD_*)
// ---------------------------------------------------------------------------
//

#define MAX_LD_LIST_ENTRIES  256

///
/// LD_PROPERTIES.CachePolicy: bit 0 is write-back. Switching a drive to
/// write-through ANDs the policy with LD_CACHE_POLICY_WRITE_THROUGH_MASK,
/// which clears bit 0 and bit 4.
///
constexpr UINT8  LD_CACHE_POLICY_WRITE_BACK         = 0x01;
constexpr UINT8  LD_CACHE_POLICY_WRITE_THROUGH_MASK = 0xEE;

static_assert (static_cast<UINT8> (~LD_CACHE_POLICY_WRITE_THROUGH_MASK) == (LD_CACHE_POLICY_WRITE_BACK | BIT4),
               "write-through clears bits 0 and 4");

#pragma pack(push, 1)

///
/// One drive of the list.
///
struct LD_LIST_ENTRY {
  UINT32    Ref;                      ///< drive reference; byte 0 is the target id
  UINT8     Reserved[12];
};

///
/// The answer of OP_LD_LIST.
///
struct LD_LIST {
  UINT32           Count;             ///< number of valid entries
  UINT32           Reserved;
  LD_LIST_ENTRY    Entries[MAX_LD_LIST_ENTRIES];
};

///
/// The properties of one drive: the answer of OP_LD_GET_PROPERTIES and the
/// data of OP_LD_SET_PROPERTIES, read and written whole.
///
struct LD_PROPERTIES {
  UINT32    Ref;                      ///< byte 0 is the target id
  UINT8     Reserved4[16];
  UINT8     CachePolicy;              ///< LD_CACHE_POLICY_*
  UINT8     Reserved21[11];
};

#pragma pack(pop)

static_assert (sizeof (LD_LIST_ENTRY) == 16, "LD_LIST_ENTRY is 16 bytes");
static_assert (OFFSET_OF (LD_LIST_ENTRY, Ref) == 0, "LD_LIST_ENTRY.Ref");
static_assert (sizeof (LD_LIST) == 4104, "LD_LIST is 4104 bytes");
static_assert (OFFSET_OF (LD_LIST, Count) == 0, "LD_LIST.Count");
static_assert (OFFSET_OF (LD_LIST, Entries) == 8, "LD_LIST.Entries");
static_assert (sizeof (LD_PROPERTIES) == 32, "LD_PROPERTIES is 32 bytes");
static_assert (OFFSET_OF (LD_PROPERTIES, Ref) == 0, "LD_PROPERTIES.Ref");
static_assert (OFFSET_OF (LD_PROPERTIES, CachePolicy) == 20, "LD_PROPERTIES.CachePolicy");

/**
  @param[in] Ref  A drive reference (LD_LIST_ENTRY.Ref, LD_PROPERTIES.Ref).

  @return The drive's target id, byte 0 of the reference.
**/
constexpr UINT8
LdRefTargetId (
  IN UINT32  Ref
  )
{
  return static_cast<UINT8> (Ref & 0xFF);
}

//
// ---------------------------------------------------------------------------
// The command set
// ---------------------------------------------------------------------------
//

#define OP_CTRL_INFO          0x01010000u
#define OP_BBU_STATUS         0x05010000u
#define OP_BBU_INFO           0x05030000u
#define OP_BBU_0507           0x05070200u
#define OP_LD_LIST            0x03010000u
#define OP_LD_GET_PROPERTIES  0x03030000u
#define OP_LD_SET_PROPERTIES  0x03040000u
#define OP_FLASH_OPEN         0x010F0100u
#define OP_FLASH_DOWNLOAD     0x010F0200u
#define OP_FLASH_COMMIT       0x010F0300u
#define OP_FLASH_CLOSE        0x010F0400u

///
/// The upper half of an opcode is its group; the flash requests (OP_FLASH_*)
/// form OP_GROUP_FLASH.
///
#define OP_GROUP_MASK   0xFFFF0000u
#define OP_GROUP_FLASH  0x010F0000u

///
/// The largest piece of an image that one OP_FLASH_DOWNLOAD carries.
///
constexpr UINT32  FLASH_PIECE_LIMIT = 0x8000;

///
/// Where a request's data really goes. It is the frame's direction flag
/// (DIRECTION_*) for every request but one: see OP_LD_SET_PROPERTIES below.
///
enum class DATA_DIRECTION : UINT8 {
  NONE,               ///< the request has no data
  TO_CONTROLLER,      ///< the controller reads the buffer
  FROM_CONTROLLER     ///< the controller writes the buffer
};

///
/// What mailbox word 0 carries. Words 1 and 2 are 0 in every request.
///
enum class MAILBOX_RULE : UINT8 {
  ZERO,               ///< nothing: it must be 0
  TARGET_ID,          ///< the drive's target id (LdRefTargetId)
  DRIVE_REF,          ///< the drive's whole reference (LD_LIST_ENTRY.Ref)
  IMAGE_SIZE,         ///< the size of the component to be flashed, in bytes
  PIECE_OFFSET        ///< where the piece lies in the component
};

///
/// One request of the command set: what the controller expects of its frame.
/// The frame carries one scatter-gather entry; a request without data has an
/// empty one.
///
struct CONTROLLER_COMMAND {
  UINT32            Opcode;
  CONST CHAR8       *Name;            ///< the opcode's name, as scenario texts write it
  CONST CHAR8       *Words;           ///< what it does, in a few words for the console
  UINT16            FrameDirection;   ///< DIRECTION_* in the frame's flags
  DATA_DIRECTION    Data;             ///< where the data really goes
  UINT32            MinLength;        ///< DataTransferLength bounds, inclusive
  UINT32            MaxLength;
  MAILBOX_RULE      Mailbox0;         ///< what mailbox word 0 carries
};

///
/// The command set, one row per opcode. The application's requests, the
/// simulated firmware's checks and the simulator's scenario texts all read
/// these rows; no other table of the opcodes is kept.
///
inline constexpr CONTROLLER_COMMAND  mControllerCommands[] = {
  { OP_CTRL_INFO,         "OP_CTRL_INFO",         "controller information",  DIRECTION_FROM_CONTROLLER, DATA_DIRECTION::FROM_CONTROLLER, CTRL_INFO_RESPONSE_SIZE, CTRL_INFO_RESPONSE_SIZE, MAILBOX_RULE::ZERO         },
  { OP_BBU_STATUS,        "OP_BBU_STATUS",        "battery status",          DIRECTION_FROM_CONTROLLER, DATA_DIRECTION::FROM_CONTROLLER, BBU_RESPONSE_SIZE,       BBU_RESPONSE_SIZE,       MAILBOX_RULE::ZERO         },
  { OP_BBU_INFO,          "OP_BBU_INFO",          "battery information",     DIRECTION_FROM_CONTROLLER, DATA_DIRECTION::FROM_CONTROLLER, BBU_RESPONSE_SIZE,       BBU_RESPONSE_SIZE,       MAILBOX_RULE::ZERO         },
  { OP_BBU_0507,          "OP_BBU_0507",          "battery details",         DIRECTION_FROM_CONTROLLER, DATA_DIRECTION::FROM_CONTROLLER, BBU_RESPONSE_SIZE,       BBU_RESPONSE_SIZE,       MAILBOX_RULE::ZERO         },
  { OP_LD_LIST,           "OP_LD_LIST",           "logical drive list",      DIRECTION_FROM_CONTROLLER, DATA_DIRECTION::FROM_CONTROLLER, sizeof (LD_LIST),        sizeof (LD_LIST),        MAILBOX_RULE::ZERO         },
  { OP_LD_GET_PROPERTIES, "OP_LD_GET_PROPERTIES", "drive properties",        DIRECTION_FROM_CONTROLLER, DATA_DIRECTION::FROM_CONTROLLER, sizeof (LD_PROPERTIES),  sizeof (LD_PROPERTIES),  MAILBOX_RULE::TARGET_ID    },
  //
  // The one request whose flag and data disagree: the controller expects
  // DIRECTION_FROM_CONTROLLER, like the reads, yet the record goes to it.
  // A controller that follows the flag may also write the record back into
  // the buffer. So the host sends the record from memory that the controller
  // may both read and write (a common buffer), right whichever way the
  // controller takes the flag.
  //
  { OP_LD_SET_PROPERTIES, "OP_LD_SET_PROPERTIES", "drive properties update", DIRECTION_FROM_CONTROLLER, DATA_DIRECTION::TO_CONTROLLER,   sizeof (LD_PROPERTIES),  sizeof (LD_PROPERTIES),  MAILBOX_RULE::DRIVE_REF    },
  { OP_FLASH_OPEN,        "OP_FLASH_OPEN",        "flash open",              DIRECTION_NONE,            DATA_DIRECTION::NONE,            0,                       0,                       MAILBOX_RULE::IMAGE_SIZE   },
  { OP_FLASH_DOWNLOAD,    "OP_FLASH_DOWNLOAD",    "flash download",          DIRECTION_TO_CONTROLLER,   DATA_DIRECTION::TO_CONTROLLER,   1,                       FLASH_PIECE_LIMIT,       MAILBOX_RULE::PIECE_OFFSET },
  { OP_FLASH_COMMIT,      "OP_FLASH_COMMIT",      "flash commit",            DIRECTION_NONE,            DATA_DIRECTION::NONE,            0,                       0,                       MAILBOX_RULE::ZERO         },
  { OP_FLASH_CLOSE,       "OP_FLASH_CLOSE",       "flash close",             DIRECTION_NONE,            DATA_DIRECTION::NONE,            0,                       0,                       MAILBOX_RULE::ZERO         },
};

/**
  @param[in] Opcode  A command code.

  @return The opcode's row of the command set, or NULL for an opcode outside
          it.
**/
constexpr CONST CONTROLLER_COMMAND *
FindControllerCommand (
  IN UINT32  Opcode
  )
{
  for (CONST CONTROLLER_COMMAND &Command : mControllerCommands) {
    if (Command.Opcode == Opcode) {
      return &Command;
    }
  }

  return NULL;
}

/**
  @param[in] Direction  DIRECTION_*, as a frame's flags carry it.

  @return Where the data of a frame with that flag goes when the flag is
          taken at its word; NONE when it names no single direction.
**/
constexpr DATA_DIRECTION
FlagDataDirection (
  IN UINT16  Direction
  )
{
  return (Direction == DIRECTION_TO_CONTROLLER) ? DATA_DIRECTION::TO_CONTROLLER :
         (Direction == DIRECTION_FROM_CONTROLLER) ? DATA_DIRECTION::FROM_CONTROLLER : DATA_DIRECTION::NONE;
}

/**
  @param[in] Command  A row of the command set.

  @return TRUE when its data does not go where its frame's flag says.
**/
constexpr BOOLEAN
FlagDiffersFromData (
  IN CONST CONTROLLER_COMMAND  &Command
  )
{
  return FlagDataDirection (Command.FrameDirection) != Command.Data;
}

/**
  @return TRUE when the rows of the command set are consistent: each opcode
          once, data only with a direction, lengths within their bounds.
**/
constexpr BOOLEAN
CommandSetIsConsistent (
  )
{
  for (UINTN Index = 0; Index < ARRAY_SIZE (mControllerCommands); Index++) {
    CONST CONTROLLER_COMMAND  &Command = mControllerCommands[Index];

    if ((FindControllerCommand (Command.Opcode) != &Command) || (Command.MinLength > Command.MaxLength) ||
        ((Command.Data == DATA_DIRECTION::NONE) != (Command.MaxLength == 0)) ||
        ((Command.Data == DATA_DIRECTION::NONE) != (Command.FrameDirection == DIRECTION_NONE)))
    {
      return FALSE;
    }
  }

  return TRUE;
}

static_assert (CommandSetIsConsistent (), "each opcode once; data, lengths and direction agree");
static_assert (FlagDiffersFromData (*FindControllerCommand (OP_LD_SET_PROPERTIES)), "the set-properties flag says the opposite of its data");
static_assert (!FlagDiffersFromData (*FindControllerCommand (OP_LD_GET_PROPERTIES)) && !FlagDiffersFromData (*FindControllerCommand (OP_FLASH_DOWNLOAD)),
               "the other requests move their data as their flag says");
static_assert (((OP_FLASH_OPEN & OP_GROUP_MASK) == OP_GROUP_FLASH) &&
               ((OP_FLASH_DOWNLOAD & OP_GROUP_MASK) == OP_GROUP_FLASH) &&
               ((OP_FLASH_COMMIT & OP_GROUP_MASK) == OP_GROUP_FLASH) &&
               ((OP_FLASH_CLOSE & OP_GROUP_MASK) == OP_GROUP_FLASH), "every flash request is in the flash group");

#endif
