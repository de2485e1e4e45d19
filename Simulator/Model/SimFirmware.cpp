/** @file
  The controller's firmware: the registers behind the window (status
  script, doorbell, bring-up handshake, queue ports), the frame engine
  (fetching, decoding and checking frames), the command set, the fault
  rules and the delayed answers.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimControllerState.h"

namespace {

constexpr UINT8  SIM_STATUS_UNANSWERED = FRAME_STATUS_PENDING;

UINT64
SgeAddress (
  IN CONST COMMAND_FRAME  *Frame,
  IN UINTN                Index
  )
{
  return (static_cast<UINT64> (Frame->Sge[Index].AddressHigh) << 32) | Frame->Sge[Index].AddressLow;
}

///
/// Copy Length bytes to the host through the frame's scatter-gather entries,
/// by bus-master access.
///
/// @retval FALSE  A piece was refused (the platform journaled it).
///
BOOLEAN
WriteToHost (
  IN SIM_DMA              *Dma,
  IN CONST COMMAND_FRAME  *Frame,
  IN CONST UINT8          *Source,
  IN UINT32               Length
  )
{
  UINT32   Done   = 0;
  BOOLEAN  Landed = TRUE;

  for (UINTN Index = 0; (Index < Frame->SgeCount) && (Done < Length); Index++) {
    UINT32  Piece = Frame->Sge[Index].Length;

    if (Piece > Length - Done) {
      Piece = Length - Done;
    }

    Landed = SimDmaWrite (Dma, SgeAddress (Frame, Index), Source + Done, Piece) && Landed;
    Done  += Piece;
  }

  return Landed;
}

///
/// Copy Length bytes from the host through the frame's scatter-gather
/// entries, by bus-master access. A refused piece reads as zeros.
///
/// @retval FALSE  A piece was refused (the platform journaled it).
///
BOOLEAN
ReadFromHost (
  IN  SIM_DMA              *Dma,
  IN  CONST COMMAND_FRAME  *Frame,
  OUT UINT8                *Destination,
  IN  UINT32               Length
  )
{
  UINT32   Done   = 0;
  BOOLEAN  Landed = TRUE;

  for (UINTN Index = 0; (Index < Frame->SgeCount) && (Done < Length); Index++) {
    UINT32  Piece = Frame->Sge[Index].Length;

    if (Piece > Length - Done) {
      Piece = Length - Done;
    }

    Landed = SimDmaRead (Dma, SgeAddress (Frame, Index), Destination + Done, Piece) && Landed;
    Done  += Piece;
  }

  return Landed;
}

//
// ---------------------------------------------------------------------------
// Frame engine and command set
// ---------------------------------------------------------------------------
//

BOOLEAN
DecodeFrameAddress (
  IN  CONST SUPPORTED_CONTROLLER  *Row,
  IN  UINT64                      Encoded,
  OUT UINT64                      *Address
  )
{
  UINT64  Operand = Row->EncodingOperand;
  UINT64  Decoded;

  switch (Row->AddressEncoding) {
    case ENCODE_OR:
      //
      // The tag must be there; removing it must leave an aligned address.
      //
      if ((Encoded & Operand) != Operand) {
        return FALSE;
      }

      Decoded = Encoded & ~Operand;
      break;
    case ENCODE_AND:
      Decoded = Encoded;
      break;
    case ENCODE_SHIFT_LEFT:
      Decoded = Encoded >> (Operand % 64);
      break;
    case ENCODE_SHIFT_RIGHT:
      Decoded = Encoded << (Operand % 64);
      break;
    default:
      return FALSE;
  }

  if ((Decoded == 0) || ((Decoded % FRAME_ALIGNMENT) != 0)) {
    return FALSE;
  }

  *Address = Decoded;
  return TRUE;
}

SIM_FRAME_CHECK
CheckFrame (
  IN CONST COMMAND_FRAME  *Frame
  )
{
  UINT16  Direction = FrameFlagsDirection (Frame->Flags);
  UINT32  Total     = 0;

  if (Frame->Command != FRAME_COMMAND) {
    return SIM_FRAME_CHECK::BAD_COMMAND;
  }

  if (Frame->Status != FRAME_STATUS_PENDING) {
    return SIM_FRAME_CHECK::BAD_STATUS;
  }

  if ((Frame->Reserved1 != 0) || (Frame->Reserved3[0] != 0) || (Frame->Reserved3[1] != 0) ||
      (Frame->Reserved3[2] != 0) || (Frame->Reserved3[3] != 0) || (Frame->Reserved12 != 0) ||
      (Frame->Timeout != 0))
  {
    return SIM_FRAME_CHECK::BAD_RESERVED;
  }

  if (((Frame->Flags & FRAME_FLAGS_FIXED) != FRAME_FLAGS_FIXED) ||
      ((Frame->Flags & ~static_cast<UINT16> (FRAME_FLAGS_FIXED | FRAME_FLAGS_DIRECTION)) != 0) ||
      (Direction > DIRECTION_FROM_CONTROLLER))
  {
    return SIM_FRAME_CHECK::BAD_FLAGS;
  }

  if (Frame->SgeCount > ARRAY_SIZE (Frame->Sge)) {
    return SIM_FRAME_CHECK::BAD_SGE_COUNT;
  }

  for (UINTN Index = Frame->SgeCount; Index < ARRAY_SIZE (Frame->Sge); Index++) {
    if ((Frame->Sge[Index].AddressLow != 0) || (Frame->Sge[Index].AddressHigh != 0) || (Frame->Sge[Index].Length != 0)) {
      return SIM_FRAME_CHECK::BAD_UNUSED_SGE;
    }
  }

  for (UINTN Index = 0; Index < Frame->SgeCount; Index++) {
    if ((Frame->Sge[Index].Length != 0) && (SgeAddress (Frame, Index) == 0)) {
      return SIM_FRAME_CHECK::BAD_SGE_ADDRESS;
    }

    Total += Frame->Sge[Index].Length;
  }

  if ((Frame->SgeCount > 0) && (Frame->Context != Frame->Sge[0].AddressLow)) {
    return SIM_FRAME_CHECK::BAD_CONTEXT;
  }

  if (Frame->DataTransferLength != Total) {
    return SIM_FRAME_CHECK::BAD_LENGTH;
  }

  return SIM_FRAME_CHECK::OK;
}

UINT32
CountOpcode (
  IN OUT SIM_CONTROLLER  *Sim,
  IN     UINT32          Opcode
  )
{
  for (UINT32 Index = 0; Index < Sim->OpcodeCounterCount; Index++) {
    if (Sim->OpcodeCounters[Index].Opcode == Opcode) {
      return ++Sim->OpcodeCounters[Index].Count;
    }
  }

  if (Sim->OpcodeCounterCount == SIM_MAX_OPCODE_COUNTERS) {
    return 0;    // too many distinct opcodes: only "every occurrence" rules match
  }

  Sim->OpcodeCounters[Sim->OpcodeCounterCount].Opcode = Opcode;
  Sim->OpcodeCounters[Sim->OpcodeCounterCount].Count  = 1;
  Sim->OpcodeCounterCount++;
  return 1;
}

SIM_DRIVE *
FindDriveByTarget (
  IN SIM_CONTROLLER  *Sim,
  IN UINT32          TargetId
  )
{
  for (UINT32 Index = 0; Index < Sim->DriveCount; Index++) {
    if (LdRefTargetId (Sim->Drives[Index].Ref) == TargetId) {
      return &Sim->Drives[Index];
    }
  }

  return NULL;
}

SIM_DRIVE *
FindDriveByRef (
  IN SIM_CONTROLLER  *Sim,
  IN UINT32          Ref
  )
{
  for (UINT32 Index = 0; Index < Sim->DriveCount; Index++) {
    if (Sim->Drives[Index].Ref == Ref) {
      return &Sim->Drives[Index];
    }
  }

  return NULL;
}

VOID
CloseFlash (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  if (Sim->FlashData != NULL) {
    Sim->Env.Free (Sim->FlashData);
    Sim->FlashData = NULL;
  }

  Sim->FlashOpen     = FALSE;
  Sim->FlashStale    = FALSE;
  Sim->FlashSize     = 0;
  Sim->FlashReceived = 0;
}

///
/// Write a data answer to the host, after the answer hook (if any) has had
/// its say. Answer is the model's scratch area, or a copy in it.
///
UINT8
Respond (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame,
  IN UINT8                *Answer,
  IN UINT32               Length
  )
{
  if (Sim->Config.AnswerHook != NULL) {
    Sim->Config.AnswerHook (Sim->Config.AnswerHookContext, Frame->Opcode, Frame->Mailbox[0], Answer, Length);
  }

  return WriteToHost (&Sim->Dma, Frame, Answer, Length) ? SIM_STATUS_SUCCESS : SIM_STATUS_DMA_FAULT;
}

UINT8
ExecuteControllerInfo (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  UINT8        *Response = Sim->Scratch;
  CONST CHAR8  *Name     = Sim->Config.ProductName;
  UINTN        Length    = SimStringLength (Name, CTRL_INFO_RESPONSE_SIZE - CTRL_INFO_PRODUCT_NAME);

  SimZeroBytes (Response, CTRL_INFO_RESPONSE_SIZE);
  if (Sim->Config.ProductNameUnterminated && (Length > 0)) {
    for (UINTN Index = CTRL_INFO_PRODUCT_NAME; Index < CTRL_INFO_RESPONSE_SIZE; Index++) {
      Response[Index] = static_cast<UINT8> (Name[(Index - CTRL_INFO_PRODUCT_NAME) % Length]);
    }
  } else {
    SimCopyBytes (&Response[CTRL_INFO_PRODUCT_NAME], Name, Length);
  }

  return Respond (Sim, Frame, Response, CTRL_INFO_RESPONSE_SIZE);
}

UINT8
ExecuteBattery (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  UINT8  *Response = Sim->Scratch;

  SimZeroBytes (Response, BBU_RESPONSE_SIZE);
  if (Frame->Opcode == OP_BBU_STATUS) {
    Response[OFFSET_OF (BBU_STATUS_RESPONSE, Type)]        = Sim->Config.BbuType;
    Response[OFFSET_OF (BBU_STATUS_RESPONSE, TypeVariant)] = Sim->Config.BbuTypeVariant;
  } else if (Frame->Opcode == OP_BBU_INFO) {
    SimCopyBytes (
      &Response[OFFSET_OF (BBU_INFO_RESPONSE, Name)],
      Sim->Config.BbuName,
      SimStringLength (Sim->Config.BbuName, sizeof (BBU_INFO_RESPONSE::Name))
      );
  } else {
    //
    // OP_BBU_0507: content that nobody interprets; a fixed pattern shows
    // that it arrived.
    //
    for (UINTN Index = 0; Index < BBU_RESPONSE_SIZE; Index++) {
      Response[Index] = static_cast<UINT8> (0xA5 ^ Index);
    }
  }

  return Respond (Sim, Frame, Response, BBU_RESPONSE_SIZE);
}

UINT8
ExecuteDriveList (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  UINT8   *Response = Sim->Scratch;
  UINT32  Listed    = Sim->DriveCount;

  if (Listed > MAX_LD_LIST_ENTRIES) {
    Listed = MAX_LD_LIST_ENTRIES;
  }

  SimZeroBytes (Response, sizeof (LD_LIST));
  SimPut32 (&Response[OFFSET_OF (LD_LIST, Count)], Sim->Config.OverrideListCount ? Sim->Config.ListCount : Sim->DriveCount);
  for (UINT32 Index = 0; Index < Listed; Index++) {
    UINT8  *Entry = &Response[OFFSET_OF (LD_LIST, Entries) + sizeof (LD_LIST_ENTRY) * Index];

    SimPut32 (&Entry[OFFSET_OF (LD_LIST_ENTRY, Ref)], Sim->Drives[Index].Ref);
    Entry[4] = static_cast<UINT8> (Index);    // uninterpreted filler
  }

  return Respond (Sim, Frame, Response, sizeof (LD_LIST));
}

UINT8
ExecuteGetProperties (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  SIM_DRIVE  *Drive = FindDriveByTarget (Sim, Frame->Mailbox[0]);

  if (Drive == NULL) {
    return SIM_STATUS_NO_DRIVE;
  }

  if (Drive->GetFailStatus != 0) {
    return Drive->GetFailStatus;
  }

  //
  // The answer is a copy: a hook may change it, not the drive itself.
  //
  SimCopyBytes (Sim->Scratch, Drive->Properties, sizeof (LD_PROPERTIES));
  return Respond (Sim, Frame, Sim->Scratch, sizeof (LD_PROPERTIES));
}

UINT8
ExecuteSetProperties (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  UINT8           *Request = Sim->Scratch;
  SIM_DRIVE       *Drive;
  UINT8           Status;
  SIM_SET_RECORD  *Record  = NULL;

  BOOLEAN  Fetched = ReadFromHost (&Sim->Dma, Frame, Request, sizeof (LD_PROPERTIES));

  if (Sim->SetCount < SIM_MAX_SET_RECORDS) {
    Record           = &Sim->Sets[Sim->SetCount++];
    Record->Mailbox0 = Frame->Mailbox[0];
    SimCopyBytes (Record->Data, Request, sizeof (LD_PROPERTIES));
  } else {
    Sim->Counters.SetOverflow++;
  }

  Drive = FindDriveByRef (Sim, Frame->Mailbox[0]);
  if (!Fetched) {
    Status = SIM_STATUS_DMA_FAULT;
  } else if (Drive == NULL) {
    Status = SIM_STATUS_NO_DRIVE;
  } else if (Drive->SetFailStatus != 0) {
    Status = Drive->SetFailStatus;
  } else {
    SimCopyBytes (Drive->Properties, Request, sizeof (LD_PROPERTIES));
    Status = SIM_STATUS_SUCCESS;
    if (Sim->Config.SetWritesBack && !WriteToHost (&Sim->Dma, Frame, Drive->Properties, sizeof (LD_PROPERTIES))) {
      Status = SIM_STATUS_DMA_FAULT;
    }
  }

  if (Record != NULL) {
    Record->Status = Status;
  }

  return Status;
}

///
/// Tell the environment that what the controller keeps across a power cut
/// may have changed (a drive's properties, the flash), once the command
/// succeeded.
///
UINT8
PersistWhenDone (
  IN SIM_CONTROLLER  *Sim,
  IN UINT8           Status
  )
{
  if ((Status == SIM_STATUS_SUCCESS) && (Sim->Env.StateChanged != NULL)) {
    Sim->Env.StateChanged (Sim);
  }

  return Status;
}

UINT8
ExecuteFlash (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  UINT32  Length = Frame->DataTransferLength;

  switch (Frame->Opcode) {
    case OP_FLASH_CLOSE:
      CloseFlash (Sim);
      return SIM_STATUS_SUCCESS;

    case OP_FLASH_OPEN:
      if (Sim->FlashOpen) {
        return SIM_STATUS_FLASH_SEQUENCE;
      }

      if (Frame->Mailbox[0] > SIM_MAX_COMPONENT_SIZE) {
        return SIM_STATUS_NO_RESOURCES;
      }

      if (Frame->Mailbox[0] > 0) {
        Sim->FlashData = static_cast<UINT8 *> (Sim->Env.Allocate (Frame->Mailbox[0]));
        if (Sim->FlashData == NULL) {
          return SIM_STATUS_NO_RESOURCES;
        }
      }

      Sim->FlashOpen     = TRUE;
      Sim->FlashSize     = Frame->Mailbox[0];
      Sim->FlashReceived = 0;
      return SIM_STATUS_SUCCESS;

    case OP_FLASH_DOWNLOAD:
      //
      // An operation left open by a power cut has lost its bytes: only a
      // close ends it.
      //
      if (Sim->FlashStale) {
        return SIM_STATUS_FLASH_SEQUENCE;
      }

      //
      // Pieces arrive in order, each at the offset where the previous one
      // ended, and never beyond the size given to the open.
      //
      if (!Sim->FlashOpen || (Frame->Mailbox[0] != Sim->FlashReceived) ||
          (Length > Sim->FlashSize - Sim->FlashReceived))
      {
        return SIM_STATUS_FLASH_SEQUENCE;
      }

      if (!ReadFromHost (&Sim->Dma, Frame, Sim->FlashData + Sim->FlashReceived, Length)) {
        return SIM_STATUS_DMA_FAULT;
      }

      Sim->FlashReceived += Length;
      return SIM_STATUS_SUCCESS;

    case OP_FLASH_COMMIT:
      if (!Sim->FlashOpen || Sim->FlashStale || (Sim->FlashReceived != Sim->FlashSize)) {
        return SIM_STATUS_FLASH_SEQUENCE;
      }

      if (Sim->CommitCount < SIM_MAX_COMMITS) {
        SIM_COMMIT  *Commit = &Sim->Commits[Sim->CommitCount++];

        Commit->Size   = Sim->FlashSize;
        Commit->Crc32  = SimCrc32 (Sim->FlashData, Sim->FlashSize);
        Commit->Data   = Sim->FlashData;
        Sim->FlashData = NULL;     // now owned by the commit list
      } else {
        Sim->Counters.CommitOverflow++;
      }

      CloseFlash (Sim);
      return SIM_STATUS_SUCCESS;

    default:
      return SIM_STATUS_UNKNOWN_OPCODE;
  }
}

///
/// Run one valid frame's command and give its status.
///
UINT8
Execute (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  CONST CONTROLLER_COMMAND  *Command = FindControllerCommand (Frame->Opcode);

  if (Command == NULL) {
    return SIM_STATUS_UNKNOWN_OPCODE;
  }

  if ((FrameFlagsDirection (Frame->Flags) != Command->FrameDirection) ||
      (Frame->DataTransferLength < Command->MinLength) || (Frame->DataTransferLength > Command->MaxLength) ||
      (Frame->Mailbox[1] != 0) || (Frame->Mailbox[2] != 0) ||
      ((Command->Mailbox0 == MAILBOX_RULE::ZERO) && (Frame->Mailbox[0] != 0)))
  {
    return SIM_STATUS_BAD_REQUEST;
  }

  switch (Frame->Opcode) {
    case OP_CTRL_INFO:
      return ExecuteControllerInfo (Sim, Frame);
    case OP_BBU_STATUS:
    case OP_BBU_INFO:
    case OP_BBU_0507:
      return ExecuteBattery (Sim, Frame);
    case OP_LD_LIST:
      return ExecuteDriveList (Sim, Frame);
    case OP_LD_GET_PROPERTIES:
      return ExecuteGetProperties (Sim, Frame);
    case OP_LD_SET_PROPERTIES:
      return PersistWhenDone (Sim, ExecuteSetProperties (Sim, Frame));
    case OP_FLASH_DOWNLOAD:
      return ExecuteFlash (Sim, Frame);
    default:
      return PersistWhenDone (Sim, ExecuteFlash (Sim, Frame));
  }
}

VOID
Answer (
  IN SIM_CONTROLLER  *Sim,
  IN UINT32          Record,
  IN UINT64          Address,
  IN UINT8           Status
  )
{
  //
  // The status byte goes back by bus-master write; a refused write is
  // journaled by the platform and the host never sees the answer.
  //
  Sim->Dma.CurrentFrame = Record;
  SimDmaWrite (&Sim->Dma, Address + OFFSET_OF (COMMAND_FRAME, Status), &Status, sizeof (Status));
  Sim->Dma.CurrentFrame = SIM_NO_RECORD;
  if (Record != SIM_NO_RECORD) {
    Sim->Frames[Record].Answered   = TRUE;
    Sim->Frames[Record].Status     = Status;
    Sim->Frames[Record].AnsweredUs = SimNow (Sim);
  }
}

VOID
Finish (
  IN SIM_CONTROLLER       *Sim,
  IN UINT32               Record,
  IN UINT64               Address,
  IN CONST COMMAND_FRAME  *Frame,
  IN BOOLEAN              HasStatus,
  IN UINT8                Status
  )
{
  Sim->Dma.CurrentFrame = Record;

  UINT8  Answered = HasStatus ? Status : Execute (Sim, Frame);

  Answer (Sim, Record, Address, Answered);
}

///
/// The low queue port was written: fetch, check and run (or schedule) the
/// frame whose address the two ports now hold.
///
VOID
PostFrame (
  IN SIM_CONTROLLER  *Sim,
  IN UINT32          Low
  )
{
  SIM_FRAME_RECORD  Spare;
  SIM_FRAME_RECORD  *Record     = &Spare;
  UINT32            RecordIndex = SIM_NO_RECORD;
  COMMAND_FRAME     Frame;
  UINT64            Address;
  BOOLEAN           NoAnswer  = FALSE;
  BOOLEAN           HasStatus = FALSE;
  UINT8             Status    = 0;
  UINT64            DelayUs   = 0;

  if (Sim->FrameCount < SIM_MAX_FRAME_RECORDS) {
    RecordIndex = Sim->FrameCount++;
    Record      = &Sim->Frames[RecordIndex];
  } else {
    Sim->Counters.FrameOverflow++;
  }

  SimZeroBytes (Record, sizeof (*Record));
  Record->Encoded              = (static_cast<UINT64> (Sim->QueueHigh) << 32) | Low;
  Record->HighWritten          = Sim->HighFresh;
  Record->StatusReadsAfterHigh = Sim->ReadsAfterHigh;
  Record->Status               = SIM_STATUS_UNANSWERED;
  Record->PostedUs             = SimNow (Sim);
  Sim->HighFresh               = FALSE;
  Sim->ReadsAfterHigh          = 0;
  Sim->ReadbackFrame           = RecordIndex;

  if (!DecodeFrameAddress (&Sim->Row, Record->Encoded, &Address)) {
    Record->Check = SIM_FRAME_CHECK::BAD_ADDRESS;
    return;
  }

  //
  // Bus-master fetch of the 64-byte frame from host memory.
  //
  Record->Address       = Address;
  Sim->Dma.CurrentFrame = RecordIndex;
  if (!SimDmaRead (&Sim->Dma, Address, Record->Raw, sizeof (Record->Raw))) {
    Sim->Dma.CurrentFrame = SIM_NO_RECORD;
    Record->Check         = SIM_FRAME_CHECK::NOT_FETCHED;
    return;
  }

  Sim->Dma.CurrentFrame = SIM_NO_RECORD;
  SimCopyBytes (&Frame, Record->Raw, sizeof (Frame));
  Record->Opcode             = Frame.Opcode;
  Record->Mailbox[0]         = Frame.Mailbox[0];
  Record->Mailbox[1]         = Frame.Mailbox[1];
  Record->Mailbox[2]         = Frame.Mailbox[2];
  Record->Flags              = Frame.Flags;
  Record->Direction          = static_cast<UINT8> (FrameFlagsDirection (Frame.Flags));
  Record->SgeCount           = Frame.SgeCount;
  Record->DataTransferLength = Frame.DataTransferLength;
  for (UINTN Index = 0; Index < ARRAY_SIZE (Frame.Sge); Index++) {
    Record->SgeAddress[Index] = SgeAddress (&Frame, Index);
    Record->SgeLength[Index]  = Frame.Sge[Index].Length;
  }

  Record->Check = CheckFrame (&Frame);
  if (Record->Check != SIM_FRAME_CHECK::OK) {
    Answer (Sim, RecordIndex, Address, SIM_STATUS_BAD_FRAME);
    return;
  }

  Record->Occurrence = CountOpcode (Sim, Frame.Opcode);
  for (UINT32 Index = 0; Index < Sim->Config.FaultCount; Index++) {
    CONST SIM_FAULT  *Fault = &Sim->Config.Faults[Index];

    if ((Fault->Opcode != Frame.Opcode) ||
        ((Fault->Occurrence != SIM_EVERY_OCCURRENCE) && (Fault->Occurrence != Record->Occurrence)))
    {
      continue;
    }

    NoAnswer = NoAnswer || Fault->NoAnswer;
    if (Fault->HasStatus && !HasStatus) {
      HasStatus = TRUE;
      Status    = Fault->Status;
    }

    if (Fault->DelayUs > DelayUs) {
      DelayUs = Fault->DelayUs;
    }
  }

  if (NoAnswer) {
    return;
  }

  if (DelayUs == 0) {
    Finish (Sim, RecordIndex, Address, &Frame, HasStatus, Status);
    return;
  }

  for (SIM_PENDING &Pending : Sim->Pending) {
    if (!Pending.InUse) {
      Pending.InUse     = TRUE;
      Pending.Record    = RecordIndex;
      Pending.Address   = Address;
      Pending.DueUs     = Record->PostedUs + DelayUs;
      Pending.Sequence  = Sim->PendingSequence++;
      Pending.HasStatus = HasStatus;
      Pending.Status    = Status;
      SimCopyBytes (&Pending.Frame, &Frame, sizeof (Frame));
      return;
    }
  }

  Sim->Counters.PendingDropped++;
}

//
// ---------------------------------------------------------------------------
// Registers behind the window
// ---------------------------------------------------------------------------
//

UINT32
ReadStatusRegister (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  CONST SIM_STATUS_STEP  *Step = &Sim->Config.StatusSteps[Sim->Step];
  UINT32                 Value = Step->Value;

  Sim->Counters.StatusReads++;
  if (Sim->Readback == READBACK::AFTER_HIGH) {
    Sim->ReadsAfterHigh++;
    Sim->Counters.FlushReadbacks++;
  } else if (Sim->Readback == READBACK::AFTER_LOW) {
    if (Sim->ReadbackFrame != SIM_NO_RECORD) {
      Sim->Frames[Sim->ReadbackFrame].StatusReadsAfterLow++;
    }

    Sim->Counters.FlushReadbacks++;
  }

  Sim->StepReads++;
  if ((Step->Reads != 0) && (Sim->StepReads >= Step->Reads) && (Sim->Step + 1 < Sim->Config.StatusStepCount)) {
    Sim->Step++;
    Sim->StepReads = 0;
  }

  return Value;
}

} // namespace

UINT32
SimFirmwareReadRegister (
  IN OUT SIM_CONTROLLER  *Sim,
  IN     UINT32          Register
  )
{
  if (Register == RegisterOffset (&Sim->Row, STATUS_REGISTER)) {
    return ReadStatusRegister (Sim);
  }

  Sim->Readback = READBACK::NONE;
  if (Register == RegisterOffset (&Sim->Row, HANDSHAKE_REGISTER)) {
    BOOLEAN  Cleared = (Sim->Config.HandshakeWrites != SIM_HANDSHAKE_NEVER) &&
                       (Sim->HandshakeCount >= Sim->Config.HandshakeWrites);

    return Cleared ? HANDSHAKE_ANSWERED : Sim->HandshakeValue;
  }

  return 0;
}

VOID
SimFirmwareWriteRegister (
  IN OUT SIM_CONTROLLER  *Sim,
  IN     UINT32          Register,
  IN     UINT32          Value
  )
{
  Sim->Readback = READBACK::NONE;
  if (Register == RegisterOffset (&Sim->Row, DOORBELL_REGISTER)) {
    if (Value == DOORBELL_RING) {
      INT32  Target = Sim->Config.StatusSteps[Sim->Step].DoorbellStep;

      Sim->Counters.DoorbellRings++;
      if (Target >= 0) {
        Sim->Step      = static_cast<UINT32> (Target);
        Sim->StepReads = 0;
      }
    }
  } else if (Register == RegisterOffset (&Sim->Row, HANDSHAKE_REGISTER)) {
    Sim->HandshakeValue = Value;
    if (Value == HANDSHAKE_PATTERN) {
      Sim->HandshakeCount++;
      Sim->Counters.HandshakeWrites++;
    }
  } else if (Register == RegisterOffset (&Sim->Row, QUEUE_PORT_HIGH)) {
    Sim->QueueHigh      = Value;
    Sim->HighFresh      = TRUE;
    Sim->ReadsAfterHigh = 0;
    Sim->Readback       = READBACK::AFTER_HIGH;
  } else if (Register == RegisterOffset (&Sim->Row, QUEUE_PORT_LOW)) {
    PostFrame (Sim, Value);
    Sim->Readback = READBACK::AFTER_LOW;
  }
}

VOID
SimFirmwareInit (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  CONST SIM_CONFIG  *Config = &Sim->Config;

  Sim->ReadbackFrame = SIM_NO_RECORD;
  Sim->DriveCount = Config->DriveCount;
  for (UINT32 Index = 0; Index < Config->DriveCount; Index++) {
    CONST SIM_DRIVE_CONFIG  *Source = &Config->Drives[Index];
    SIM_DRIVE               *Drive  = &Sim->Drives[Index];

    //
    // Bytes that the host does not interpret get a pattern of their own per
    // drive, so a test sees whether they were sent back as read.
    //
    for (UINTN Byte = 0; Byte < sizeof (LD_PROPERTIES); Byte++) {
      Drive->Properties[Byte] = static_cast<UINT8> (LdRefTargetId (Source->Ref) + 0x11 * Byte);
    }

    Drive->Ref = Source->Ref;
    SimPut32 (&Drive->Properties[OFFSET_OF (LD_PROPERTIES, Ref)], Source->ReturnedRef);
    Drive->Properties[OFFSET_OF (LD_PROPERTIES, CachePolicy)] = Source->CachePolicy;
    Drive->GetFailStatus                                      = Source->GetFailStatus;
    Drive->SetFailStatus                                      = Source->SetFailStatus;
  }
}

VOID
SimFirmwareRelease (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  CloseFlash (Sim);
  for (UINT32 Index = 0; Index < Sim->CommitCount; Index++) {
    if (Sim->Commits[Index].Data != NULL) {
      Sim->Env.Free (const_cast<UINT8 *> (Sim->Commits[Index].Data));
      Sim->Commits[Index].Data = NULL;
    }
  }

  Sim->CommitCount = 0;
}

VOID
SimAdvanceTime (
  IN SIM_CONTROLLER  *Sim,
  IN UINT64          NowUs
  )
{
  SIM_LOCK  Lock (Sim);
  UINT64    Time;

  if (NowUs > Sim->LastNowUs) {
    Sim->LastNowUs = NowUs;
  }

  Time = SimNow (Sim);
  for ( ; ;) {
    SIM_PENDING  *Next = NULL;

    for (SIM_PENDING &Pending : Sim->Pending) {
      if (!Pending.InUse || (Pending.DueUs > Time)) {
        continue;
      }

      if ((Next == NULL) || (Pending.DueUs < Next->DueUs) ||
          ((Pending.DueUs == Next->DueUs) && (Pending.Sequence < Next->Sequence)))
      {
        Next = &Pending;
      }
    }

    if (Next == NULL) {
      return;
    }

    Next->InUse = FALSE;
    Finish (Sim, Next->Record, Next->Address, &Next->Frame, Next->HasStatus, Next->Status);
  }
}

UINT32
SimPendingCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  UINT32  Count = 0;

  for (CONST SIM_PENDING &Pending : Sim->Pending) {
    if (Pending.InUse) {
      Count++;
    }
  }

  return Count;
}
