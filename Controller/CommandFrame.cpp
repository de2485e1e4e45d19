/** @file
  Command frames: every request to a controller's firmware is one 64-byte
  frame in host memory whose address is posted to the controller's queue
  ports. IssueCommand builds the frame, posts it, polls its status byte and
  returns that byte. Prints nothing.
**/

#include "WaitNotice.h"

namespace {

///
/// The command set, as the console names each request.
///
struct COMMAND_NAME {
  UINT32         Opcode;
  CONST CHAR8    *Name;
};

constexpr COMMAND_NAME  mCommandNames[] = {
  { OP_CTRL_INFO,         "controller information" },
  { OP_BBU_STATUS,        "battery status"         },
  { OP_BBU_INFO,          "battery information"    },
  { OP_BBU_0507,          "battery details"        },
  { OP_LD_LIST,           "logical drive list"     },
  { OP_LD_GET_PROPERTIES, "drive properties"       },
  { OP_LD_SET_PROPERTIES, "drive properties update" },
  { OP_FLASH_OPEN,        "flash open"             },
  { OP_FLASH_DOWNLOAD,    "flash download"         },
  { OP_FLASH_COMMIT,      "flash commit"           },
  { OP_FLASH_CLOSE,       "flash close"            },
};

constexpr UINT32  FLASH_OPCODE_MASK  = 0xFFFF0000u;
constexpr UINT32  FLASH_OPCODE_GROUP = 0x010F0000u;

constexpr UINT16  FRAME_FLAGS_BASE      = 0x0003;
constexpr UINT16  FRAME_DIRECTION_MASK  = 0x3;
constexpr UINT16  FRAME_DIRECTION_SHIFT = 3;

VOID
FillSge (
  OUT FRAME_SGE  *Sge,
  IN  VOID       *Buffer,
  IN  UINT32     Length
  )
{
  UINT64  Address = reinterpret_cast<UINTN> (Buffer);

  Sge->AddressLow  = static_cast<UINT32> (Address);
  Sge->AddressHigh = static_cast<UINT32> (Address >> 32);
  Sge->Length      = Length;
}

} // namespace

CONST CHAR8 *
CommandName (
  IN UINT32  Opcode
  )
{
  for (CONST COMMAND_NAME &Entry : mCommandNames) {
    if (Entry.Opcode == Opcode) {
      return Entry.Name;
    }
  }

  return "request";
}

BOOLEAN
IsFlashCommand (
  IN UINT32  Opcode
  )
{
  return (Opcode & FLASH_OPCODE_MASK) == FLASH_OPCODE_GROUP;
}

/**
  Issue one request to a controller's firmware and wait for its answer.

  The frame lives in a pool allocation of FRAME_ALLOCATION_SIZE bytes, at its
  first 256-byte boundary. Buffers and frame are given to the controller as
  host addresses; the controller reaches them by bus-master access.

  @param[in] Controller    The target controller.
  @param[in] Opcode        Command code (OP_*).
  @param[in] Direction     DIRECTION_*; only the low two bits are used.
  @param[in] Mailbox0      Mailbox word 0.
  @param[in] Mailbox1      Mailbox word 1.
  @param[in] Mailbox2      Mailbox word 2.
  @param[in] FirstLength   Length of the first buffer in bytes.
  @param[in] FirstBuffer   First buffer, or NULL.
  @param[in] SecondLength  Length of the second buffer in bytes.
  @param[in] SecondBuffer  Second buffer, or NULL.
  @param[in] SgeCount      Number of scatter-gather entries; entries are
                           filled for 1 and 2 only.

  @retval 0     The controller completed the request.
  @retval 0xFF  Not issued (controller disabled or not answering, no pool
                memory) or no answer within the poll limit.
  @return Any other value: the controller's completion status, unchanged.
**/
UINT8
IssueCommand (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT16              Direction,
  IN UINT32              Mailbox0,
  IN UINT32              Mailbox1,
  IN UINT32              Mailbox2,
  IN UINT32              FirstLength,
  IN VOID                *FirstBuffer,
  IN UINT32              SecondLength,
  IN VOID                *SecondBuffer,
  IN UINT8               SgeCount
  )
{
  if (Controller->Disabled || Controller->NotAnswering) {
    return COMMAND_NOT_COMPLETED;
  }

  UINT8  *Allocation = static_cast<UINT8 *> (AllocateZeroPool (FRAME_ALLOCATION_SIZE));

  if (Allocation == NULL) {
    return COMMAND_NOT_COMPLETED;
  }

  COMMAND_FRAME  *Frame = reinterpret_cast<COMMAND_FRAME *> (ALIGN_VALUE (reinterpret_cast<UINTN> (Allocation), FRAME_ALIGNMENT));

  gBS->SetMem (Frame, sizeof (*Frame), 0);
  Frame->Command            = FRAME_COMMAND;
  Frame->Status             = FRAME_STATUS_PENDING;
  Frame->SgeCount           = SgeCount;
  Frame->Context            = static_cast<UINT32> (reinterpret_cast<UINTN> (FirstBuffer));
  Frame->Flags              = static_cast<UINT16> (FRAME_FLAGS_BASE | ((Direction & FRAME_DIRECTION_MASK) << FRAME_DIRECTION_SHIFT));
  Frame->Timeout            = 0;
  Frame->DataTransferLength = FirstLength + SecondLength;
  Frame->Opcode             = Opcode;
  Frame->Mailbox[0]         = Mailbox0;
  Frame->Mailbox[1]         = Mailbox1;
  Frame->Mailbox[2]         = Mailbox2;
  if ((SgeCount == 1) || (SgeCount == 2)) {
    FillSge (&Frame->Sge[0], FirstBuffer, FirstLength);
  }

  if (SgeCount == 2) {
    FillSge (&Frame->Sge[1], SecondBuffer, SecondLength);
  }

  //
  // The frame must be complete in memory before the controller learns its
  // address; the high half of the address goes first, the low half starts
  // the request.
  //
  MemoryFence ();

  UINT64  Encoded = EncodeFrameAddress (Controller, reinterpret_cast<UINTN> (Frame));

  WriteControllerRegister (Controller, Controller->Model.QueuePortHigh, static_cast<UINT32> (Encoded >> 32), REGISTER_MODE::REG_BASE_RELATIVE);
  if (Controller->Model.FlushReads) {
    ReadControllerRegister (Controller, Controller->Model.StatusRegister, REGISTER_MODE::REG_BAR_RELATIVE);
  }

  WriteControllerRegister (Controller, Controller->Model.QueuePortLow, static_cast<UINT32> (Encoded), REGISTER_MODE::REG_BASE_RELATIVE);
  if (Controller->Model.FlushReads) {
    ReadControllerRegister (Controller, Controller->Model.StatusRegister, REGISTER_MODE::REG_BAR_RELATIVE);
  }

  //
  // The controller writes the status byte behind the compiler's back: read
  // it from memory on every pass.
  //
  volatile UINT8  *StatusByte = &Frame->Status;
  WAIT_NOTICE     Wait;

  WaitNoticeStart (&Wait, Controller, WAIT_SUBJECT::ANSWER, static_cast<UINT64> (FRAME_POLL_LIMIT) * FRAME_POLL_INTERVAL_US);
  Wait.Opcode = Opcode;
  for (UINT32 Poll = 0; (*StatusByte == FRAME_STATUS_PENDING) && (Poll < FRAME_POLL_LIMIT); Poll++) {
    WaitNoticeStall (&Wait, FRAME_POLL_INTERVAL_US);
  }

  UINT8  Status = *StatusByte;

  MemoryFence ();
  WaitNoticeEnd (&Wait, Status != FRAME_STATUS_PENDING);

  if (Status == FRAME_STATUS_PENDING) {
    Controller->NotAnswering = TRUE;
    //
    // No answer. The controller still holds the frame's address and may
    // complete it later by writing into it, so the memory is not handed back
    // to the pool: a few hundred bytes are kept for the rest of the boot
    // rather than risking a write into memory that someone else owns.
    //
    return COMMAND_NOT_COMPLETED;
  }

  FreePool (Allocation);
  return Status;
}
