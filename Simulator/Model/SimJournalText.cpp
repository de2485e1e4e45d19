/** @file
  The journal as text (the lines are described in SimJournalText.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimJournalText.h"

namespace {

///
/// Builds one line in a bounded buffer; whatever does not fit is dropped,
/// and the buffer always ends with a NUL.
///
class LINE {
public:
  explicit LINE (SIM_TEXT Text) : mText (Text), mLength (0)
  {
    if (mText.Size > 0) {
      mText.Buffer[0] = '\0';
    }
  }

  LINE (CONST LINE &)            = delete;
  LINE &operator= (CONST LINE &) = delete;

  LINE &
  Str (
    IN CONST CHAR8  *String
    )
  {
    while (*String != '\0') {
      Char (*String++);
    }

    return *this;
  }

  ///
  /// Decimal.
  ///
  LINE &
  Dec (
    IN UINT64  Value
    )
  {
    CHAR8  Digits[20];
    UINTN  Count = 0;

    do {
      Digits[Count++] = static_cast<CHAR8> ('0' + Value % 10);
      Value          /= 10;
    } while (Value != 0);

    while (Count > 0) {
      Char (Digits[--Count]);
    }

    return *this;
  }

  ///
  /// Hexadecimal, at least Width digits (zero-filled), upper-case unless
  /// Lower.
  ///
  LINE &
  Hex (
    IN UINT64   Value,
    IN UINTN    Width = 1,
    IN BOOLEAN  Lower = FALSE
    )
  {
    CONST CHAR8  *Digit = Lower ? "0123456789abcdef" : "0123456789ABCDEF";
    CHAR8        Digits[16];
    UINTN        Count = 0;

    do {
      Digits[Count++] = Digit[Value & 0xF];
      Value         >>= 4;
    } while (Value != 0);

    while ((Count < Width) && (Count < sizeof (Digits))) {
      Digits[Count++] = '0';
    }

    while (Count > 0) {
      Char (Digits[--Count]);
    }

    return *this;
  }

  ///
  /// "ctl C " in front of every controller line.
  ///
  LINE &
  Ctl (
    IN UINT32  Controller
    )
  {
    return Str ("ctl ").Dec (Controller).Str (" ");
  }

  UINTN
  Length (
    VOID
    ) const
  {
    return mLength;
  }

private:
  VOID
  Char (
    IN CHAR8  Character
    )
  {
    if (mLength + 1 < mText.Size) {
      mText.Buffer[mLength++] = Character;
      mText.Buffer[mLength]   = '\0';
    }
  }

  SIM_TEXT  mText;
  UINTN     mLength;
};

CONST CHAR8 *
FaultName (
  IN SIM_DMA_FAULT_KIND  Kind
  )
{
  switch (Kind) {
    case SIM_DMA_FAULT_KIND::STRAY:
      return "stray";
    case SIM_DMA_FAULT_KIND::WRONG_DIRECTION:
      return "wrong-direction";
    default:
      return "bus-master-off";
  }
}

} // namespace

UINTN
SimFrameText (
  OUT SIM_TEXT                Text,
  IN  UINT32                  Controller,
  IN  UINT32                  Number,
  IN  CONST SIM_FRAME_RECORD  *Frame,
  IN  BOOLEAN                 ShowAddress
  )
{
  LINE  Line (Text);

  Line.Ctl (Controller).Str ("frame ").Dec (Number);
  Line.Str (" op ").Hex (Frame->Opcode, 8);
  Line.Str (" mb ").Hex (Frame->Mailbox[0], 8).Str (" ").Hex (Frame->Mailbox[1], 8).Str (" ").Hex (Frame->Mailbox[2], 8);
  Line.Str (" dir ").Dec (Frame->Direction).Str (" sge ").Dec (Frame->SgeCount).Str (" len ").Dec (Frame->DataTransferLength);
  Line.Str (" status ");
  if (Frame->Answered) {
    Line.Hex (Frame->Status, 2);
  } else {
    Line.Str ("--");
  }

  if (Frame->Check != SIM_FRAME_CHECK::OK) {
    Line.Str (" check ").Dec (static_cast<UINT32> (Frame->Check));
  }

  if (ShowAddress) {
    Line.Str (" at ").Hex (Frame->Address);
  }

  return Line.Str ("\n").Length ();
}

UINTN
SimCommitText (
  OUT SIM_TEXT          Text,
  IN  UINT32            Controller,
  IN  UINT32            Number,
  IN  CONST SIM_COMMIT  *Commit
  )
{
  LINE  Line (Text);

  Line.Ctl (Controller).Str ("commit ").Dec (Number).Str (" size ").Dec (Commit->Size);
  return Line.Str (" crc32 ").Hex (Commit->Crc32, 8).Str ("\n").Length ();
}

UINTN
SimSummaryText (
  OUT SIM_TEXT            Text,
  IN  UINT32              Controller,
  IN  UINT32              FrameCount,
  IN  CONST SIM_COUNTERS  *Counters
  )
{
  LINE  Line (Text);

  //
  // "overflow" sums the two journals whose loss matters to a reader: frames
  // and accesses (sums in 64 bits, so that they never wrap).
  //
  Line.Ctl (Controller).Str ("summary frames ").Dec (FrameCount);
  Line.Str (" overflow ").Dec (static_cast<UINT64> (Counters->FrameOverflow) + Counters->AccessOverflow);
  Line.Str (" stray ").Dec (Counters->StrayAccesses).Str (" rejected ").Dec (Counters->RejectedAccesses);
  Line.Str (" doorbell ").Dec (Counters->DoorbellRings).Str (" handshake ").Dec (Counters->HandshakeWrites);
  return Line.Str (" readbacks ").Dec (Counters->FlushReadbacks).Str ("\n").Length ();
}

UINTN
SimDriveText (
  OUT SIM_TEXT         Text,
  IN  UINT32           Controller,
  IN  UINT32           Number,
  IN  CONST SIM_DRIVE  *Drive
  )
{
  LINE  Line (Text);

  Line.Ctl (Controller).Str ("drive ").Dec (Number).Str (" tid ").Dec (LdRefTargetId (Drive->Ref));
  Line.Str (" ref ").Hex (Drive->Ref, 8).Str (" policy ").Hex (SimDriveCachePolicy (Drive), 2);
  return Line.Str ("\n").Length ();
}

UINTN
SimDmaText (
  OUT SIM_TEXT                Text,
  IN  UINT32                  Controller,
  IN  UINT64                  Attributes,
  IN  UINT64                  InitialAttributes,
  IN  CONST SIM_DMA_COUNTERS  *Counters,
  IN  UINT32                  LiveMappings
  )
{
  LINE  Line (Text);

  Line.Ctl (Controller).Str ("dma protected attributes ").Hex (Attributes).Str (" initially ").Hex (InitialAttributes);
  Line.Str (" maps ").Dec (Counters->MapCalls).Str (" unmaps ").Dec (Counters->UnmapCalls).Str (" live ").Dec (LiveMappings);
  Line.Str (" buffers ").Dec (Counters->BufferAllocations).Str (" freed ").Dec (Counters->BufferFrees);
  return Line.Str (" high ").Dec (Counters->HighMappings).Str ("\n").Length ();
}

UINTN
SimDmaFaultText (
  OUT SIM_TEXT             Text,
  IN  UINT32               Controller,
  IN  UINT32               Number,
  IN  CONST SIM_DMA_FAULT  *Fault
  )
{
  LINE  Line (Text);

  Line.Ctl (Controller).Str ("dma-fault ").Dec (Number).Str (" ").Str (FaultName (Fault->Kind));
  Line.Str (Fault->DeviceWrites ? " write" : " read").Str (" at ").Hex (Fault->Address);
  return Line.Str (" len ").Dec (Fault->Length).Str ("\n").Length ();
}

UINTN
SimDmaFaultsText (
  OUT SIM_TEXT                Text,
  IN  UINT32                  Controller,
  IN  CONST SIM_DMA_COUNTERS  *Counters
  )
{
  LINE  Line (Text);

  Line.Ctl (Controller).Str ("dma-faults stray ").Dec (Counters->Strays);
  Line.Str (" wrong-direction ").Dec (Counters->WrongDirection).Str (" bus-master-off ").Dec (Counters->BusMasterOff);
  return Line.Str ("\n").Length ();
}

UINTN
SimAccessText (
  OUT SIM_TEXT                 Text,
  IN  CONST SIM_ACCESS_RECORD  *Access
  )
{
  LINE     Line (Text);
  BOOLEAN  Write = (Access->Kind == SIM_ACCESS_KIND::IO_WRITE) || (Access->Kind == SIM_ACCESS_KIND::MEM_WRITE);
  BOOLEAN  Read  = (Access->Kind == SIM_ACCESS_KIND::IO_READ) || (Access->Kind == SIM_ACCESS_KIND::MEM_READ);

  if (!Access->Hit) {
    //
    // The offset as passed, lower-case: a stray is no register of ours.
    //
    Line.Str ("stray kind ").Dec (static_cast<UINT32> (Access->Kind)).Str (" offset ").Hex (Access->Offset, 1, TRUE);
  } else if (Write) {
    Line.Str ("W ").Hex (Access->Register).Str ("=").Hex (Access->Value, 8);
  } else if (Read) {
    Line.Str ("R ").Hex (Access->Register);
  } else {
    Line.Str ("kind ").Dec (static_cast<UINT32> (Access->Kind));
  }

  return Line.Length ();
}
