/** @file
  Command frames: every request to a controller's firmware is one 64-byte
  frame in memory shared with the controller through PCI I/O, whose device
  address is posted to the controller's queue ports. IssueCommand maps the
  frame and the request's buffers, posts the frame, polls its status byte
  and returns that byte. The only thing it prints is the wait notice of a
  request that takes long (WaitNotice.h); what a failed request means is for
  its caller to say.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "WaitNotice.h"

namespace {

///
/// Owns AllocateBuffer pages (a frame's, or a common buffer's) and frees
/// them when the scope ends, unless Keep () was called.
///
class DMA_BUFFER_GUARD {
public:
  DMA_BUFFER_GUARD (EFI_PCI_IO_PROTOCOL *PciIo, UINTN Pages) : mPciIo (PciIo), mPages (Pages), mBuffer (NULL) {}
  ~DMA_BUFFER_GUARD () { if (mBuffer != NULL) { mPciIo->FreeBuffer (mPciIo, mPages, mBuffer); } }
  DMA_BUFFER_GUARD (CONST DMA_BUFFER_GUARD &)            = delete;
  DMA_BUFFER_GUARD &operator= (CONST DMA_BUFFER_GUARD &) = delete;

  BOOLEAN
  Allocate ()
  {
    VOID  *Buffer = NULL;

    if (EFI_ERROR (mPciIo->AllocateBuffer (mPciIo, AllocateAnyPages, EfiBootServicesData, mPages, &Buffer, 0))) {
      return FALSE;               // whatever the call left in Buffer is not ours
    }

    mBuffer = Buffer;
    return mBuffer != NULL;
  }

  VOID *
  Get () const
  {
    return mBuffer;
  }

  VOID
  Keep ()
  {
    mBuffer = NULL;
  }

private:
  EFI_PCI_IO_PROTOCOL  *mPciIo;
  UINTN                mPages;
  VOID                 *mBuffer;
};

///
/// One mapping of PciIo->Map, undone when the scope ends unless Keep () was
/// called. A mapping shorter than asked is undone at once and counts as a
/// failure: the controller must never get part of a buffer.
///
class DMA_MAPPING_GUARD {
public:
  explicit DMA_MAPPING_GUARD (EFI_PCI_IO_PROTOCOL *PciIo) : mPciIo (PciIo), mMapping (NULL), mDevice (0) {}
  ~DMA_MAPPING_GUARD () { Unmap (); }
  DMA_MAPPING_GUARD (CONST DMA_MAPPING_GUARD &)            = delete;
  DMA_MAPPING_GUARD &operator= (CONST DMA_MAPPING_GUARD &) = delete;

  BOOLEAN
  Map (
    IN EFI_PCI_IO_PROTOCOL_OPERATION  Operation,
    IN VOID                           *Host,
    IN UINTN                          Length
    )
  {
    UINTN                 Mapped = Length;
    EFI_PHYSICAL_ADDRESS  Device = 0;

    VOID                  *Mapping = NULL;

    if (EFI_ERROR (mPciIo->Map (mPciIo, Operation, Host, &Mapped, &Device, &Mapping))) {
      return FALSE;               // nothing was mapped
    }

    mMapping = Mapping;
    if (Mapped < Length) {
      Unmap ();
      return FALSE;
    }

    mDevice = Device;
    return TRUE;
  }

  UINT64
  Device () const
  {
    return mDevice;
  }

  VOID
  Keep ()
  {
    mMapping = NULL;
  }

private:
  VOID
  Unmap ()
  {
    if (mMapping != NULL) {
      mPciIo->Unmap (mPciIo, mMapping);
      mMapping = NULL;
    }
  }

  EFI_PCI_IO_PROTOCOL  *mPciIo;
  VOID                 *mMapping;
  UINT64               mDevice;
};

///
/// How the controller may reach a request's buffers.
///
enum class BUFFER_ACCESS : UINT8 {
  NONE,           ///< not at all: the request cannot have data
  READ,           ///< it reads them
  WRITE,          ///< it writes them
  READ_WRITE      ///< either: they must be common buffers
};

///
/// The buffers of a request of the command set are reached where its row
/// says the data goes, and both ways when the frame's flag says otherwise;
/// those of a request outside it as its direction flag says.
///
BUFFER_ACCESS
RequestBufferAccess (
  IN UINT32  Opcode,
  IN UINT16  Direction
  )
{
  CONST CONTROLLER_COMMAND  *Command = FindControllerCommand (Opcode);
  DATA_DIRECTION            Data     = (Command != NULL) ? Command->Data : FlagDataDirection (Direction & DIRECTION_MASK);

  if ((Command != NULL) && FlagDiffersFromData (*Command)) {
    return BUFFER_ACCESS::READ_WRITE;
  }

  switch (Data) {
    case DATA_DIRECTION::TO_CONTROLLER:
      return BUFFER_ACCESS::READ;
    case DATA_DIRECTION::FROM_CONTROLLER:
      return BUFFER_ACCESS::WRITE;
    default:
      return BUFFER_ACCESS::NONE;
  }
}

///
/// Map one buffer of a request. A buffer that is absent or empty is not
/// mapped, and the controller gets address 0 for it.
///
BOOLEAN
MapRequestBuffer (
  IN OUT DMA_MAPPING_GUARD  *Guard,
  IN     BUFFER_ACCESS      Access,
  IN     VOID               *Buffer,
  IN     UINT32             Length
  )
{
  if ((Buffer == NULL) || (Length == 0)) {
    return TRUE;
  }

  switch (Access) {
    case BUFFER_ACCESS::READ:
      return Guard->Map (EfiPciIoOperationBusMasterRead, Buffer, Length);
    case BUFFER_ACCESS::WRITE:
      return Guard->Map (EfiPciIoOperationBusMasterWrite, Buffer, Length);
    case BUFFER_ACCESS::READ_WRITE:
      return Guard->Map (EfiPciIoOperationBusMasterCommonBuffer, Buffer, Length);
    default:
      return FALSE;       // no single direction: nothing can be mapped safely
  }
}

///
/// The row of Opcode when its data goes the Data way, else NULL.
///
CONST CONTROLLER_COMMAND *
FindCommandMoving (
  IN UINT32          Opcode,
  IN DATA_DIRECTION  Data
  )
{
  CONST CONTROLLER_COMMAND  *Command = FindControllerCommand (Opcode);

  return ((Command != NULL) && (Command->Data == Data)) ? Command : NULL;
}

VOID
FillSge (
  OUT FRAME_SGE  *Sge,
  IN  UINT64     Address,
  IN  UINT32     Length
  )
{
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
  CONST CONTROLLER_COMMAND  *Command = FindControllerCommand (Opcode);

  return (Command != NULL) ? Command->Words : "request";
}

BOOLEAN
IsFlashCommand (
  IN UINT32  Opcode
  )
{
  return (Opcode & OP_GROUP_MASK) == OP_GROUP_FLASH;
}

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

  EFI_PCI_IO_PROTOCOL  *PciIo  = Controller->PciIo;
  BUFFER_ACCESS        Access = RequestBufferAccess (Opcode, Direction);

  //
  // Declared in this order so that the scope undoes the buffers' mappings
  // first, then the frame's, and frees the frame memory last.
  //
  DMA_BUFFER_GUARD   FrameMemory (PciIo, FRAME_BUFFER_PAGES);
  DMA_MAPPING_GUARD  FrameMapping (PciIo);
  DMA_MAPPING_GUARD  FirstMapping (PciIo);
  DMA_MAPPING_GUARD  SecondMapping (PciIo);

  if (!FrameMemory.Allocate () ||
      !FrameMapping.Map (EfiPciIoOperationBusMasterCommonBuffer, FrameMemory.Get (), FRAME_BUFFER_SIZE) ||
      ((FrameMapping.Device () % FRAME_ALIGNMENT) != 0) ||
      !FrameAddressEncodes (Controller, FrameMapping.Device ()) ||
      !MapRequestBuffer (&FirstMapping, Access, FirstBuffer, FirstLength) ||
      !MapRequestBuffer (&SecondMapping, Access, SecondBuffer, SecondLength))
  {
    return COMMAND_NOT_COMPLETED;
  }

  COMMAND_FRAME  *Frame = static_cast<COMMAND_FRAME *> (FrameMemory.Get ());

  gBS->SetMem (Frame, sizeof (*Frame), 0);
  Frame->Command            = FRAME_COMMAND;
  Frame->Status             = FRAME_STATUS_PENDING;
  Frame->SgeCount           = SgeCount;
  Frame->Context            = static_cast<UINT32> (FirstMapping.Device ());
  Frame->Flags              = FrameFlags (Direction);
  Frame->Timeout            = 0;
  Frame->DataTransferLength = FirstLength + SecondLength;
  Frame->Opcode             = Opcode;
  Frame->Mailbox[0]         = Mailbox0;
  Frame->Mailbox[1]         = Mailbox1;
  Frame->Mailbox[2]         = Mailbox2;
  if ((SgeCount == 1) || (SgeCount == 2)) {
    FillSge (&Frame->Sge[0], FirstMapping.Device (), FirstLength);
  }

  if (SgeCount == 2) {
    FillSge (&Frame->Sge[1], SecondMapping.Device (), SecondLength);
  }

  //
  // The frame must be complete in memory before the controller learns its
  // address; the high half of the address goes first, the low half starts
  // the request.
  //
  MemoryFence ();

  UINT64  Encoded = EncodeFrameAddress (Controller, FrameMapping.Device ());

  WriteControllerRegister (Controller, QUEUE_PORT_HIGH, static_cast<UINT32> (Encoded >> 32));
  if (Controller->Model.FlushReads) {
    ReadControllerRegister (Controller, STATUS_REGISTER);
  }

  WriteControllerRegister (Controller, QUEUE_PORT_LOW, static_cast<UINT32> (Encoded));
  if (Controller->Model.FlushReads) {
    ReadControllerRegister (Controller, STATUS_REGISTER);
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
    // complete it later, writing the frame and the buffers through their
    // mappings. So the frame memory goes back to no one and no mapping is
    // undone: one page and a few mappings stay for the rest of the boot
    // rather than letting a late write reach memory that someone else owns.
    //
    SecondMapping.Keep ();
    FirstMapping.Keep ();
    FrameMapping.Keep ();
    FrameMemory.Keep ();
    return COMMAND_NOT_COMPLETED;
  }

  return Status;
}

UINT8
RequestWithoutData (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT32              Mailbox0
  )
{
  CONST CONTROLLER_COMMAND  *Command = FindCommandMoving (Opcode, DATA_DIRECTION::NONE);

  if (Command == NULL) {
    return COMMAND_NOT_COMPLETED;
  }

  return IssueCommand (Controller, Opcode, Command->FrameDirection, Mailbox0, 0, 0, 0, NULL, 0, NULL, 1);
}

UINT8
RequestFromController (
  IN  CONTROLLER_CONTEXT  *Controller,
  IN  UINT32              Opcode,
  IN  UINT32              Mailbox0,
  OUT VOID                *Buffer,
  IN  UINT32              Length
  )
{
  CONST CONTROLLER_COMMAND  *Command = FindCommandMoving (Opcode, DATA_DIRECTION::FROM_CONTROLLER);

  if (Command == NULL) {
    return COMMAND_NOT_COMPLETED;
  }

  return IssueCommand (Controller, Opcode, Command->FrameDirection, Mailbox0, 0, 0, Length, Buffer, 0, NULL, 1);
}

UINT8
RequestToController (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT32              Mailbox0,
  IN CONST VOID          *Buffer,
  IN UINT32              Length
  )
{
  CONST CONTROLLER_COMMAND  *Command = FindCommandMoving (Opcode, DATA_DIRECTION::TO_CONTROLLER);

  if (Command == NULL) {
    return COMMAND_NOT_COMPLETED;
  }

  if (!FlagDiffersFromData (*Command)) {
    return IssueCommand (Controller, Opcode, Command->FrameDirection, Mailbox0, 0, 0, Length, const_cast<VOID *> (Buffer), 0, NULL, 1);
  }

  if (Controller->Disabled || Controller->NotAnswering) {
    return COMMAND_NOT_COMPLETED;
  }

  DMA_BUFFER_GUARD  Shared (Controller->PciIo, EFI_SIZE_TO_PAGES (Length));

  if ((Length == 0) || !Shared.Allocate ()) {
    return COMMAND_NOT_COMPLETED;
  }

  gBS->CopyMem (Shared.Get (), const_cast<VOID *> (Buffer), Length);

  UINT8  Status = IssueCommand (Controller, Opcode, Command->FrameDirection, Mailbox0, 0, 0, Length, Shared.Get (), 0, NULL, 1);

  //
  // A controller that did not answer keeps the buffer's address, as it
  // keeps the frame's: the pages stay its own for the rest of the boot.
  //
  if (Controller->NotAnswering) {
    Shared.Keep ();
  }

  return Status;
}
