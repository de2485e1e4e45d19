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
/// The command set: how the console names each request, and which way its
/// data moves (see DATA_DIRECTION in CtlFlash.h).
///
struct COMMAND_ENTRY {
  UINT32            Opcode;
  CONST CHAR8       *Name;
  DATA_DIRECTION    Data;
};

constexpr COMMAND_ENTRY  mCommands[] = {
  { OP_CTRL_INFO,         "controller information",  DATA_DIRECTION::FROM_CONTROLLER },
  { OP_BBU_STATUS,        "battery status",          DATA_DIRECTION::FROM_CONTROLLER },
  { OP_BBU_INFO,          "battery information",     DATA_DIRECTION::FROM_CONTROLLER },
  { OP_BBU_0507,          "battery details",         DATA_DIRECTION::FROM_CONTROLLER },
  { OP_LD_LIST,           "logical drive list",      DATA_DIRECTION::FROM_CONTROLLER },
  { OP_LD_GET_PROPERTIES, "drive properties",        DATA_DIRECTION::FROM_CONTROLLER },
  { OP_LD_SET_PROPERTIES, "drive properties update", DATA_DIRECTION::BOTH            },
  { OP_FLASH_OPEN,        "flash open",              DATA_DIRECTION::NONE            },
  { OP_FLASH_DOWNLOAD,    "flash download",          DATA_DIRECTION::TO_CONTROLLER   },
  { OP_FLASH_COMMIT,      "flash commit",            DATA_DIRECTION::NONE            },
  { OP_FLASH_CLOSE,       "flash close",             DATA_DIRECTION::NONE            },
};

CONST COMMAND_ENTRY *
FindCommand (
  IN UINT32  Opcode
  )
{
  for (CONST COMMAND_ENTRY &Entry : mCommands) {
    if (Entry.Opcode == Opcode) {
      return &Entry;
    }
  }

  return NULL;
}

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
/// Map one buffer of a request for its data direction. A buffer that is
/// absent or empty is not mapped, and the controller gets address 0 for it.
///
BOOLEAN
MapRequestBuffer (
  IN OUT DMA_MAPPING_GUARD  *Guard,
  IN     DATA_DIRECTION     Data,
  IN     VOID               *Buffer,
  IN     UINT32             Length
  )
{
  if ((Buffer == NULL) || (Length == 0)) {
    return TRUE;
  }

  switch (Data) {
    case DATA_DIRECTION::TO_CONTROLLER:
      return Guard->Map (EfiPciIoOperationBusMasterRead, Buffer, Length);
    case DATA_DIRECTION::FROM_CONTROLLER:
      return Guard->Map (EfiPciIoOperationBusMasterWrite, Buffer, Length);
    case DATA_DIRECTION::BOTH:
      return Guard->Map (EfiPciIoOperationBusMasterCommonBuffer, Buffer, Length);
    default:
      return FALSE;       // no single direction: nothing can be mapped safely
  }
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
  CONST COMMAND_ENTRY  *Entry = FindCommand (Opcode);

  return (Entry != NULL) ? Entry->Name : "request";
}

DATA_DIRECTION
RequestDataDirection (
  IN UINT32  Opcode,
  IN UINT16  Direction
  )
{
  CONST COMMAND_ENTRY  *Entry = FindCommand (Opcode);

  if (Entry != NULL) {
    return Entry->Data;
  }

  switch (Direction & DIRECTION_MASK) {
    case DIRECTION_TO_CONTROLLER:
      return DATA_DIRECTION::TO_CONTROLLER;
    case DIRECTION_FROM_CONTROLLER:
      return DATA_DIRECTION::FROM_CONTROLLER;
    default:
      return DATA_DIRECTION::NONE;
  }
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

  EFI_PCI_IO_PROTOCOL  *PciIo = Controller->PciIo;
  DATA_DIRECTION       Data   = RequestDataDirection (Opcode, Direction);

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
      !MapRequestBuffer (&FirstMapping, Data, FirstBuffer, FirstLength) ||
      !MapRequestBuffer (&SecondMapping, Data, SecondBuffer, SecondLength))
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
  return IssueCommand (Controller, Opcode, DIRECTION_NONE, Mailbox0, 0, 0, 0, NULL, 0, NULL, 1);
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
  return IssueCommand (Controller, Opcode, DIRECTION_TO_CONTROLLER, Mailbox0, 0, 0, Length, const_cast<VOID *> (Buffer), 0, NULL, 1);
}

UINT8
RequestFromController (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT32              Mailbox0,
  IN VOID                *Buffer,
  IN UINT32              Length
  )
{
  return IssueCommand (Controller, Opcode, DIRECTION_FROM_CONTROLLER, Mailbox0, 0, 0, Length, Buffer, 0, NULL, 1);
}

UINT8
RequestWithCommonBuffer (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT32              Mailbox0,
  IN CONST VOID          *Buffer,
  IN UINT32              Length
  )
{
  if (Controller->Disabled || Controller->NotAnswering) {
    return COMMAND_NOT_COMPLETED;
  }

  DMA_BUFFER_GUARD  Shared (Controller->PciIo, EFI_SIZE_TO_PAGES (Length));

  if ((Length == 0) || !Shared.Allocate ()) {
    return COMMAND_NOT_COMPLETED;
  }

  gBS->CopyMem (Shared.Get (), const_cast<VOID *> (Buffer), Length);

  UINT8  Status = IssueCommand (Controller, Opcode, DIRECTION_FROM_CONTROLLER, Mailbox0, 0, 0, Length, Shared.Get (), 0, NULL, 1);

  //
  // A controller that did not answer keeps the buffer's address, as it
  // keeps the frame's: the pages stay its own for the rest of the boot.
  //
  if (Controller->NotAnswering) {
    Shared.Keep ();
  }

  return Status;
}
