/** @file
  The controller model: configuration space, register window, frame engine,
  command set, fault injection and journal, behind an EFI_PCI_IO_PROTOCOL.
**/

#include "SimInternal.h"

extern "C" {
#include <IndustryStandard/Acpi.h>
}

namespace {

constexpr UINT32  SIM_CONTROLLER_SIGNATURE = SIGNATURE_32 ('C', 'S', 'I', 'M');
constexpr UINT32  SIM_MAX_OPCODE_COUNTERS  = 32;
constexpr UINT8   SIM_STATUS_UNANSWERED    = FRAME_STATUS_PENDING;

///
/// Which register access the next status-register read follows.
///
enum class READBACK : UINT8 {
  NONE,
  AFTER_HIGH,
  AFTER_LOW
};

///
/// A frame whose answer is due later.
///
struct SIM_PENDING {
  BOOLEAN          InUse;
  UINT32           Record;      ///< frame record, or SIM_NO_RECORD
  UINT64           Address;
  UINT64           DueUs;
  UINT64           Sequence;    ///< posting order among frames due at once
  BOOLEAN          HasStatus;
  UINT8            Status;
  COMMAND_FRAME    Frame;       ///< the frame as fetched
};

struct OPCODE_COUNTER {
  UINT32    Opcode;
  UINT32    Count;
};

///
/// What each opcode of the command set expects of its frame.
///
struct OPCODE_RULE {
  UINT32     Opcode;
  UINT8      Direction;
  UINT32     MinLength;         ///< DataTransferLength bounds
  UINT32     MaxLength;
  BOOLEAN    Mailbox0Zero;      ///< mailbox word 0 must be 0
};

constexpr OPCODE_RULE  mOpcodeRules[] = {
  { OP_CTRL_INFO,         DIRECTION_FROM_CONTROLLER, CTRL_INFO_RESPONSE_SIZE, CTRL_INFO_RESPONSE_SIZE, TRUE  },
  { OP_BBU_STATUS,        DIRECTION_FROM_CONTROLLER, BBU_RESPONSE_SIZE,       BBU_RESPONSE_SIZE,       TRUE  },
  { OP_BBU_INFO,          DIRECTION_FROM_CONTROLLER, BBU_RESPONSE_SIZE,       BBU_RESPONSE_SIZE,       TRUE  },
  { OP_BBU_0507,          DIRECTION_FROM_CONTROLLER, BBU_RESPONSE_SIZE,       BBU_RESPONSE_SIZE,       TRUE  },
  { OP_LD_LIST,           DIRECTION_FROM_CONTROLLER, SIM_LD_LIST_SIZE,        SIM_LD_LIST_SIZE,        TRUE  },
  { OP_LD_GET_PROPERTIES, DIRECTION_FROM_CONTROLLER, SIM_LD_PROPERTIES_SIZE,  SIM_LD_PROPERTIES_SIZE,  FALSE },
  //
  // The host sends the properties to set with the "from controller"
  // direction, like the reads; the firmware takes the record all the same.
  //
  { OP_LD_SET_PROPERTIES, DIRECTION_FROM_CONTROLLER, SIM_LD_PROPERTIES_SIZE,  SIM_LD_PROPERTIES_SIZE,  FALSE },
  { OP_FLASH_OPEN,        DIRECTION_NONE,            0,                       0,                       FALSE },
  { OP_FLASH_DOWNLOAD,    DIRECTION_TO_CONTROLLER,   1,                       SIM_FLASH_PIECE_LIMIT,   FALSE },
  { OP_FLASH_COMMIT,      DIRECTION_NONE,            0,                       0,                       TRUE  },
  { OP_FLASH_CLOSE,       DIRECTION_NONE,            0,                       0,                       TRUE  },
};

///
/// Codes of the protocol members that the model does not serve, kept in
/// SIM_ACCESS_RECORD.Register of an OTHER record.
///
enum SIM_MEMBER : UINT32 {
  SIM_MEMBER_POLL_MEM = 1,
  SIM_MEMBER_POLL_IO,
  SIM_MEMBER_COPY_MEM,
  SIM_MEMBER_MAP,
  SIM_MEMBER_UNMAP,
  SIM_MEMBER_ALLOCATE_BUFFER,
  SIM_MEMBER_FREE_BUFFER,
  SIM_MEMBER_FLUSH,
  SIM_MEMBER_GET_LOCATION,
  SIM_MEMBER_ATTRIBUTES,
  SIM_MEMBER_GET_BAR_ATTRIBUTES,
  SIM_MEMBER_SET_BAR_ATTRIBUTES
};

} // namespace

///
/// One simulated controller. Allocated whole through SIM_ENV.Allocate.
///
struct SIM_CONTROLLER {
  UINT32                  Signature;
  EFI_PCI_IO_PROTOCOL     PciIo;
  SIM_ENV                 Env;
  SIM_CONFIG              Config;
  SIM_DMA                 Dma;
  SUPPORTED_CONTROLLER    Row;
  UINT8                   ConfigSpace[SIM_CONFIG_SPACE_SIZE];

  //
  // Register window
  //
  BOOLEAN                 WindowReachable;   ///< the row's BAR has the row's space
  BOOLEAN                 WindowIsIo;
  UINT8                   WindowBar;         ///< PCI I/O BAR index of the row's slot
  UINT8                   PciBarOfSlot[6];   ///< SimNumberBars of the configuration
  UINT64                  WindowBase;

  UINT64                  LastNowUs;

  //
  // Firmware status script, handshake, queue ports
  //
  UINT32                  Step;
  UINT32                  StepReads;
  UINT32                  HandshakeCount;
  UINT32                  HandshakeValue;
  UINT32                  QueueHigh;
  BOOLEAN                 HighFresh;
  READBACK                Readback;
  UINT32                  ReadsAfterHigh;
  UINT32                  ReadbackFrame;

  //
  // Firmware state
  //
  UINT32                  DriveCount;
  SIM_DRIVE               Drives[SIM_MAX_DRIVES];
  BOOLEAN                 FlashOpen;
  UINT32                  FlashSize;
  UINT32                  FlashReceived;
  UINT8                   *FlashData;
  UINT32                  CommitCount;
  SIM_COMMIT              Commits[SIM_MAX_COMMITS];
  UINT32                  OpcodeCounterCount;
  OPCODE_COUNTER          OpcodeCounters[SIM_MAX_OPCODE_COUNTERS];
  SIM_PENDING             Pending[SIM_MAX_PENDING];
  UINT64                  PendingSequence;
  UINT8                   Scratch[SIM_LD_LIST_SIZE];

  //
  // Journal
  //
  SIM_COUNTERS            Counters;
  UINT32                  AccessCount;
  SIM_ACCESS_RECORD       Accesses[SIM_MAX_ACCESS_RECORDS];
  UINT32                  FrameCount;
  SIM_FRAME_RECORD        Frames[SIM_MAX_FRAME_RECORDS];
  UINT32                  SetCount;
  SIM_SET_RECORD          Sets[SIM_MAX_SET_RECORDS];
};

namespace {

//
// ---------------------------------------------------------------------------
// Small helpers
// ---------------------------------------------------------------------------
//

///
/// Holds the environment's lock for one entry into the model.
///
class SIM_LOCK {
public:
  explicit SIM_LOCK (SIM_CONTROLLER *Sim) : mSim (Sim), mToken (0)
  {
    if (mSim->Env.Lock != NULL) {
      mToken = mSim->Env.Lock ();
    }
  }

  ~SIM_LOCK ()
  {
    if (mSim->Env.Unlock != NULL) {
      mSim->Env.Unlock (mToken);
    }
  }

  SIM_LOCK (CONST SIM_LOCK &)            = delete;
  SIM_LOCK &operator= (CONST SIM_LOCK &) = delete;

private:
  SIM_CONTROLLER  *mSim;
  UINTN           mToken;
};

UINT64
Now (
  IN SIM_CONTROLLER  *Sim
  )
{
  if (Sim->Env.NowUs != NULL) {
    UINT64  Time = Sim->Env.NowUs ();

    if (Time > Sim->LastNowUs) {
      Sim->LastNowUs = Time;
    }
  }

  return Sim->LastNowUs;
}

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

SIM_ACCESS_RECORD *
NewAccessRecord (
  IN SIM_CONTROLLER     *Sim,
  IN SIM_ACCESS_RECORD  *Spare
  )
{
  SIM_ACCESS_RECORD  *Record = Spare;

  if (Sim->AccessCount < SIM_MAX_ACCESS_RECORDS) {
    Record = &Sim->Accesses[Sim->AccessCount++];
  } else {
    Sim->Counters.AccessOverflow++;
  }

  SimZeroBytes (Record, sizeof (*Record));
  Record->TimeUs = Now (Sim);
  return Record;
}

//
// ---------------------------------------------------------------------------
// Configuration space and window
// ---------------------------------------------------------------------------
//

VOID
BuildConfigSpace (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  CONST SIM_CONFIG  *Config = &Sim->Config;
  UINT8             *Space  = Sim->ConfigSpace;

  SimZeroBytes (Space, sizeof (Sim->ConfigSpace));
  SimPut16 (&Space[PCI_VENDOR_ID_OFFSET], Config->VendorId);
  SimPut16 (&Space[PCI_DEVICE_ID_OFFSET], Config->DeviceId);
  SimPut16 (&Space[PCI_COMMAND_OFFSET], EFI_PCI_COMMAND_IO_SPACE | EFI_PCI_COMMAND_MEMORY_SPACE | EFI_PCI_COMMAND_BUS_MASTER);
  Space[PCI_REVISION_ID_OFFSET]  = Config->RevisionId;
  Space[PCI_CLASSCODE_OFFSET + 1] = PCI_CLASS_MASS_STORAGE_RAID;
  Space[PCI_CLASSCODE_OFFSET + 2] = PCI_CLASS_MASS_STORAGE;
  Space[PCI_HEADER_TYPE_OFFSET]  = HEADER_TYPE_DEVICE;

  for (UINTN Index = 0; Index < 6; Index++) {
    CONST SIM_BAR_CONFIG  *Bar   = &Config->Bars[Index];
    UINT8                 *Field = &Space[PCI_BASE_ADDRESSREG_OFFSET + 4 * Index];

    switch (Bar->Kind) {
      case SIM_BAR_KIND::IO:
        SimPut32 (Field, (static_cast<UINT32> (Bar->Address) & 0xFFFFFFFCu) | 0x1u);
        break;
      case SIM_BAR_KIND::MEM32:
        SimPut32 (Field, static_cast<UINT32> (Bar->Address) & 0xFFFFFFF0u);
        break;
      case SIM_BAR_KIND::MEM64:
        SimPut32 (Field, (static_cast<UINT32> (Bar->Address) & 0xFFFFFFF0u) | 0x4u);
        SimPut32 (Field + 4, static_cast<UINT32> (Bar->Address >> 32));
        break;
      case SIM_BAR_KIND::NONE:
        break;
    }
  }

  SimPut16 (&Space[PCI_SUBSYSTEM_VENDOR_ID_OFFSET], Config->SubsystemVendorId);
  SimPut16 (&Space[PCI_SUBSYSTEM_ID_OFFSET], Config->SubsystemId);
  Space[PCI_INT_PIN_OFFSET] = 1;
}

///
/// The command register of the configuration space follows the attributes.
///
VOID
UpdateCommandRegister (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  UINT16  Command = 0;

  if ((Sim->Dma.Attributes & EFI_PCI_IO_ATTRIBUTE_IO) != 0) {
    Command |= EFI_PCI_COMMAND_IO_SPACE;
  }

  if ((Sim->Dma.Attributes & EFI_PCI_IO_ATTRIBUTE_MEMORY) != 0) {
    Command |= EFI_PCI_COMMAND_MEMORY_SPACE;
  }

  if ((Sim->Dma.Attributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) != 0) {
    Command |= EFI_PCI_COMMAND_BUS_MASTER;
  }

  SimPut16 (&Sim->ConfigSpace[PCI_COMMAND_OFFSET], Command);
}

VOID
PlaceWindow (
  IN OUT SIM_CONTROLLER  *Sim
  )
{
  CONST SIM_BAR_CONFIG  *Bar;

  SimNumberBars (&Sim->Config, Sim->PciBarOfSlot);
  Sim->WindowBar       = SIM_NO_PCI_BAR;
  Sim->WindowIsIo      = (Sim->Row.AccessSpace == ACCESS_SPACE_IO);
  Sim->WindowReachable = FALSE;
  if ((Sim->Row.BarIndex < 0) || (Sim->Row.BarIndex > 5)) {
    return;
  }

  //
  // The row names a configuration slot; PCI I/O reaches that BAR by its own
  // index, which differs from the slot once a 64-bit BAR lies in front.
  //
  Sim->WindowBar = Sim->PciBarOfSlot[Sim->Row.BarIndex];
  if (Sim->WindowBar == SIM_NO_PCI_BAR) {
    return;
  }

  Bar = &Sim->Config.Bars[Sim->Row.BarIndex];
  if (Sim->WindowIsIo) {
    Sim->WindowReachable = (Bar->Kind == SIM_BAR_KIND::IO);
    Sim->WindowBase      = Bar->Address & ~static_cast<UINT64> (0x3);
  } else if (Sim->Row.AccessSpace == ACCESS_SPACE_MEMORY) {
    Sim->WindowReachable = (Bar->Kind == SIM_BAR_KIND::MEM32) || (Bar->Kind == SIM_BAR_KIND::MEM64);
    Sim->WindowBase      = Bar->Address & ~static_cast<UINT64> (0xF);
  }
}

///
/// Does an access reach the register window? Offset is as passed to the
/// protocol: BAR-relative, or absolute with the pass-through BAR.
///
BOOLEAN
WindowHit (
  IN  CONST SIM_CONTROLLER  *Sim,
  IN  BOOLEAN               Memory,
  IN  UINT8                 BarIndex,
  IN  UINT64                Offset,
  OUT UINT32                *Register
  )
{
  UINT64  Relative;

  if (!Sim->WindowReachable || (Memory == Sim->WindowIsIo)) {
    return FALSE;
  }

  if (BarIndex == EFI_PCI_IO_PASS_THROUGH_BAR) {
    if (Offset < Sim->WindowBase) {
      return FALSE;
    }

    Relative = Offset - Sim->WindowBase;
  } else if (BarIndex == Sim->WindowBar) {
    Relative = Offset;
  } else {
    return FALSE;
  }

  if (Relative > Sim->Config.WindowSize - sizeof (UINT32)) {
    return FALSE;
  }

  *Register = static_cast<UINT32> (Relative);
  return TRUE;
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
  UINT16  Direction = (Frame->Flags >> 3) & 0x3;
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

  if (((Frame->Flags & 0x3) != 0x3) || ((Frame->Flags & ~static_cast<UINT16> (0x1B)) != 0) || (Direction == 3)) {
    return SIM_FRAME_CHECK::BAD_FLAGS;
  }

  if (Frame->SgeCount > 2) {
    return SIM_FRAME_CHECK::BAD_SGE_COUNT;
  }

  for (UINTN Index = Frame->SgeCount; Index < 2; Index++) {
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

CONST OPCODE_RULE *
FindOpcodeRule (
  IN UINT32  Opcode
  )
{
  for (CONST OPCODE_RULE &Rule : mOpcodeRules) {
    if (Rule.Opcode == Opcode) {
      return &Rule;
    }
  }

  return NULL;
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
    if ((Sim->Drives[Index].Ref & 0xFF) == TargetId) {
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
  Sim->FlashSize     = 0;
  Sim->FlashReceived = 0;
}

UINT8
ExecuteControllerInfo (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  UINT8        *Response = Sim->Scratch;
  CONST CHAR8  *Name     = Sim->Config.ProductName;
  UINTN        Length    = SimStringLength (Name, SIM_PRODUCT_NAME_SIZE);

  SimZeroBytes (Response, CTRL_INFO_RESPONSE_SIZE);
  if (Sim->Config.ProductNameUnterminated && (Length > 0)) {
    for (UINTN Index = 0; Index < SIM_PRODUCT_NAME_SIZE; Index++) {
      Response[CTRL_INFO_PRODUCT_NAME + Index] = static_cast<UINT8> (Name[Index % Length]);
    }
  } else {
    SimCopyBytes (&Response[CTRL_INFO_PRODUCT_NAME], Name, Length);
  }

  return WriteToHost (&Sim->Dma, Frame, Response, CTRL_INFO_RESPONSE_SIZE) ? SIM_STATUS_SUCCESS : SIM_STATUS_DMA_FAULT;
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
    Response[0] = Sim->Config.BbuType;
    Response[1] = Sim->Config.BbuTypeVariant;
  } else if (Frame->Opcode == OP_BBU_INFO) {
    SimCopyBytes (
      &Response[BBU_INFO_NAME_OFFSET],
      Sim->Config.BbuName,
      SimStringLength (Sim->Config.BbuName, SIM_BATTERY_NAME_SIZE)
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

  return WriteToHost (&Sim->Dma, Frame, Response, BBU_RESPONSE_SIZE) ? SIM_STATUS_SUCCESS : SIM_STATUS_DMA_FAULT;
}

UINT8
ExecuteDriveList (
  IN SIM_CONTROLLER       *Sim,
  IN CONST COMMAND_FRAME  *Frame
  )
{
  UINT8   *Response = Sim->Scratch;
  UINT32  Listed    = Sim->DriveCount;

  if (Listed > SIM_LD_LIST_MAX_ENTRIES) {
    Listed = SIM_LD_LIST_MAX_ENTRIES;
  }

  SimZeroBytes (Response, SIM_LD_LIST_SIZE);
  SimPut32 (Response, Sim->Config.OverrideListCount ? Sim->Config.ListCount : Sim->DriveCount);
  for (UINT32 Index = 0; Index < Listed; Index++) {
    UINT8  *Entry = &Response[SIM_LD_LIST_ENTRIES_OFFSET + SIM_LD_LIST_ENTRY_SIZE * Index];

    SimPut32 (Entry, Sim->Drives[Index].Ref);
    Entry[4] = static_cast<UINT8> (Index);    // uninterpreted filler
  }

  return WriteToHost (&Sim->Dma, Frame, Response, SIM_LD_LIST_SIZE) ? SIM_STATUS_SUCCESS : SIM_STATUS_DMA_FAULT;
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

  return WriteToHost (&Sim->Dma, Frame, Drive->Properties, SIM_LD_PROPERTIES_SIZE) ? SIM_STATUS_SUCCESS : SIM_STATUS_DMA_FAULT;
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

  //
  // The request carries the "from controller" flag, yet its data goes to
  // the controller: it is read from host memory.
  //
  BOOLEAN  Fetched = ReadFromHost (&Sim->Dma, Frame, Request, SIM_LD_PROPERTIES_SIZE);

  if (Sim->SetCount < SIM_MAX_SET_RECORDS) {
    Record           = &Sim->Sets[Sim->SetCount++];
    Record->Mailbox0 = Frame->Mailbox[0];
    SimCopyBytes (Record->Data, Request, SIM_LD_PROPERTIES_SIZE);
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
    SimCopyBytes (Drive->Properties, Request, SIM_LD_PROPERTIES_SIZE);
    Status = SIM_STATUS_SUCCESS;
  }

  if (Record != NULL) {
    Record->Status = Status;
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
      if (!Sim->FlashOpen || (Sim->FlashReceived != Sim->FlashSize)) {
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
  CONST OPCODE_RULE  *Rule = FindOpcodeRule (Frame->Opcode);
  UINT8              Direction;

  if (Rule == NULL) {
    return SIM_STATUS_UNKNOWN_OPCODE;
  }

  Direction = static_cast<UINT8> ((Frame->Flags >> 3) & 0x3);
  if ((Direction != Rule->Direction) ||
      (Frame->DataTransferLength < Rule->MinLength) || (Frame->DataTransferLength > Rule->MaxLength) ||
      (Frame->Mailbox[1] != 0) || (Frame->Mailbox[2] != 0) ||
      (Rule->Mailbox0Zero && (Frame->Mailbox[0] != 0)))
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
      return ExecuteSetProperties (Sim, Frame);
    default:
      return ExecuteFlash (Sim, Frame);
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
    Sim->Frames[Record].AnsweredUs = Now (Sim);
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
  Record->PostedUs             = Now (Sim);
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
  Record->Direction          = static_cast<UINT8> ((Frame.Flags >> 3) & 0x3);
  Record->SgeCount           = Frame.SgeCount;
  Record->DataTransferLength = Frame.DataTransferLength;
  for (UINTN Index = 0; Index < 2; Index++) {
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
// Registers
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

UINT32
ReadRegister (
  IN OUT SIM_CONTROLLER  *Sim,
  IN     UINT32          Register
  )
{
  if (Register == Sim->Row.StatusRegister) {
    return ReadStatusRegister (Sim);
  }

  Sim->Readback = READBACK::NONE;
  if (Register == SIM_HANDSHAKE_REGISTER) {
    BOOLEAN  Cleared = (Sim->Config.HandshakeWrites != SIM_HANDSHAKE_NEVER) &&
                       (Sim->HandshakeCount >= Sim->Config.HandshakeWrites);

    return Cleared ? 0 : Sim->HandshakeValue;
  }

  return 0;
}

VOID
WriteRegister (
  IN OUT SIM_CONTROLLER  *Sim,
  IN     UINT32          Register,
  IN     UINT32          Value
  )
{
  Sim->Readback = READBACK::NONE;
  if (Register == Sim->Row.DoorbellRegister) {
    if (Value == 1) {
      INT32  Target = Sim->Config.StatusSteps[Sim->Step].DoorbellStep;

      Sim->Counters.DoorbellRings++;
      if (Target >= 0) {
        Sim->Step      = static_cast<UINT32> (Target);
        Sim->StepReads = 0;
      }
    }
  } else if (Register == SIM_HANDSHAKE_REGISTER) {
    Sim->HandshakeValue = Value;
    if (Value == SIM_HANDSHAKE_VALUE) {
      Sim->HandshakeCount++;
      Sim->Counters.HandshakeWrites++;
    }
  } else if (Register == Sim->Row.QueuePortHigh) {
    Sim->QueueHigh      = Value;
    Sim->HighFresh      = TRUE;
    Sim->ReadsAfterHigh = 0;
    Sim->Readback       = READBACK::AFTER_HIGH;
  } else if (Register == Sim->Row.QueuePortLow) {
    PostFrame (Sim, Value);
    Sim->Readback = READBACK::AFTER_LOW;
  }
}

EFI_STATUS
RegisterAccess (
  IN     SIM_CONTROLLER             *Sim,
  IN     BOOLEAN                    Memory,
  IN     BOOLEAN                    Write,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_LOCK           Lock (Sim);
  SIM_ACCESS_RECORD  Spare;
  SIM_ACCESS_RECORD  *Record = NewAccessRecord (Sim, &Spare);
  UINT32             Register;
  UINT32             Value = 0;

  if (Memory) {
    Record->Kind = Write ? SIM_ACCESS_KIND::MEM_WRITE : SIM_ACCESS_KIND::MEM_READ;
  } else {
    Record->Kind = Write ? SIM_ACCESS_KIND::IO_WRITE : SIM_ACCESS_KIND::IO_READ;
  }

  Record->BarIndex = BarIndex;
  Record->Width    = static_cast<UINT8> (Width);
  Record->Count    = static_cast<UINT32> (Count);
  Record->Offset   = Offset;

  if ((Buffer == NULL) || (Width != EfiPciIoWidthUint32) || (Count != 1)) {
    Record->Rejected = TRUE;
    Record->Status   = EFI_INVALID_PARAMETER;
    Sim->Counters.RejectedAccesses++;
    return Record->Status;
  }

  if (Write) {
    SimCopyBytes (&Value, Buffer, sizeof (Value));
    Record->Value = Value;
  }

  UINT64  Decode = Memory ? EFI_PCI_IO_ATTRIBUTE_MEMORY : EFI_PCI_IO_ATTRIBUTE_IO;

  if (((Sim->Dma.Attributes & Decode) == 0) || !WindowHit (Sim, Memory, BarIndex, Offset, &Register)) {
    //
    // Nothing of the model is touched. A BAR-relative access to a BAR that
    // is not the window is refused like PCI I/O refuses it; a pass-through
    // access that hits no device reads all ones and writes nowhere.
    //
    Sim->Counters.StrayAccesses++;
    Sim->Readback = READBACK::NONE;
    if (BarIndex != EFI_PCI_IO_PASS_THROUGH_BAR) {
      Record->Status = EFI_UNSUPPORTED;
      return Record->Status;
    }

    if (!Write) {
      Value         = 0xFFFFFFFFu;
      Record->Value = Value;
      SimCopyBytes (Buffer, &Value, sizeof (Value));
    }

    Record->Status = EFI_SUCCESS;
    return Record->Status;
  }

  Record->Hit      = TRUE;
  Record->Register = Register;
  Record->Status   = EFI_SUCCESS;
  if (Write) {
    WriteRegister (Sim, Register, Value);
  } else {
    Value         = ReadRegister (Sim, Register);
    Record->Value = Value;
    SimCopyBytes (Buffer, &Value, sizeof (Value));
  }

  return EFI_SUCCESS;
}

EFI_STATUS
RecordOther (
  IN EFI_PCI_IO_PROTOCOL  *This,
  IN UINT32               Member,
  IN SIM_ACCESS_KIND      Kind
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK           Lock (Sim);
  SIM_ACCESS_RECORD  Spare;
  SIM_ACCESS_RECORD  *Record = NewAccessRecord (Sim, &Spare);

  Record->Kind     = Kind;
  Record->Register = Member;
  Record->Status   = EFI_UNSUPPORTED;
  Sim->Readback    = READBACK::NONE;
  Sim->Counters.OtherCalls++;
  return EFI_UNSUPPORTED;
}

//
// ---------------------------------------------------------------------------
// EFI_PCI_IO_PROTOCOL members
// ---------------------------------------------------------------------------
//

EFI_STATUS
EFIAPI
SimMemRead (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  return (Sim == NULL) ? EFI_INVALID_PARAMETER : RegisterAccess (Sim, TRUE, FALSE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
SimMemWrite (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  return (Sim == NULL) ? EFI_INVALID_PARAMETER : RegisterAccess (Sim, TRUE, TRUE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
SimIoRead (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  return (Sim == NULL) ? EFI_INVALID_PARAMETER : RegisterAccess (Sim, FALSE, FALSE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
SimIoWrite (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT8                      BarIndex,
  IN     UINT64                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  return (Sim == NULL) ? EFI_INVALID_PARAMETER : RegisterAccess (Sim, FALSE, TRUE, Width, BarIndex, Offset, Count, Buffer);
}

EFI_STATUS
EFIAPI
SimPciRead (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT32                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK           Lock (Sim);
  SIM_ACCESS_RECORD  Spare;
  SIM_ACCESS_RECORD  *Record = NewAccessRecord (Sim, &Spare);
  UINTN              Unit;

  Record->Kind   = SIM_ACCESS_KIND::PCI_READ;
  Record->Width  = static_cast<UINT8> (Width);
  Record->Count  = static_cast<UINT32> (Count);
  Record->Offset = Offset;
  Sim->Readback  = READBACK::NONE;

  if ((Buffer == NULL) || (Width > EfiPciIoWidthUint64)) {
    Record->Rejected = TRUE;
    Record->Status   = EFI_INVALID_PARAMETER;
    Sim->Counters.RejectedAccesses++;
    return Record->Status;
  }

  if (Sim->Config.PciReadFails) {
    Record->Status = EFI_DEVICE_ERROR;
    return Record->Status;
  }

  Unit = static_cast<UINTN> (1) << Width;
  if (((Offset % Unit) != 0) || (Offset >= SIM_CONFIG_SPACE_SIZE) ||
      (Count > (SIM_CONFIG_SPACE_SIZE - Offset) / Unit))
  {
    Record->Status = EFI_UNSUPPORTED;
    return Record->Status;
  }

  SimCopyBytes (Buffer, &Sim->ConfigSpace[Offset], Count * Unit);
  {
    UINT8  First[4] = { 0, 0, 0, 0 };
    UINTN  Length   = Count * Unit;

    SimCopyBytes (First, &Sim->ConfigSpace[Offset], (Length < 4) ? Length : 4);
    Record->Value = SimGet32 (First);
  }

  Record->Hit    = TRUE;
  Record->Status = EFI_SUCCESS;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimPciWrite (
  IN     EFI_PCI_IO_PROTOCOL        *This,
  IN     EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN     UINT32                     Offset,
  IN     UINTN                      Count,
  IN OUT VOID                       *Buffer
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK           Lock (Sim);
  SIM_ACCESS_RECORD  Spare;
  SIM_ACCESS_RECORD  *Record = NewAccessRecord (Sim, &Spare);

  Record->Kind   = SIM_ACCESS_KIND::PCI_WRITE;
  Record->Width  = static_cast<UINT8> (Width);
  Record->Count  = static_cast<UINT32> (Count);
  Record->Offset = Offset;
  Record->Status = EFI_UNSUPPORTED;
  Sim->Readback  = READBACK::NONE;
  Sim->Counters.OtherCalls++;
  (VOID)Buffer;
  return EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
SimPollMem (
  IN  EFI_PCI_IO_PROTOCOL        *This,
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT8                      BarIndex,
  IN  UINT64                     Offset,
  IN  UINT64                     Mask,
  IN  UINT64                     Value,
  IN  UINT64                     Delay,
  OUT UINT64                     *Result
  )
{
  return RecordOther (This, SIM_MEMBER_POLL_MEM, SIM_ACCESS_KIND::OTHER);
}

EFI_STATUS
EFIAPI
SimPollIo (
  IN  EFI_PCI_IO_PROTOCOL        *This,
  IN  EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN  UINT8                      BarIndex,
  IN  UINT64                     Offset,
  IN  UINT64                     Mask,
  IN  UINT64                     Value,
  IN  UINT64                     Delay,
  OUT UINT64                     *Result
  )
{
  return RecordOther (This, SIM_MEMBER_POLL_IO, SIM_ACCESS_KIND::OTHER);
}

EFI_STATUS
EFIAPI
SimCopyMem (
  IN EFI_PCI_IO_PROTOCOL        *This,
  IN EFI_PCI_IO_PROTOCOL_WIDTH  Width,
  IN UINT8                      DestBarIndex,
  IN UINT64                     DestOffset,
  IN UINT8                      SrcBarIndex,
  IN UINT64                     SrcOffset,
  IN UINTN                      Count
  )
{
  return RecordOther (This, SIM_MEMBER_COPY_MEM, SIM_ACCESS_KIND::OTHER);
}

EFI_STATUS
EFIAPI
SimMap (
  IN     EFI_PCI_IO_PROTOCOL            *This,
  IN     EFI_PCI_IO_PROTOCOL_OPERATION  Operation,
  IN     VOID                           *HostAddress,
  IN OUT UINTN                          *NumberOfBytes,
  OUT    EFI_PHYSICAL_ADDRESS           *DeviceAddress,
  OUT    VOID                           **Mapping
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  return SimDmaMap (&Sim->Dma, Operation, HostAddress, NumberOfBytes, DeviceAddress, Mapping);
}

EFI_STATUS
EFIAPI
SimUnmap (
  IN EFI_PCI_IO_PROTOCOL  *This,
  IN VOID                 *Mapping
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  return SimDmaUnmap (&Sim->Dma, Mapping);
}

EFI_STATUS
EFIAPI
SimAllocateBuffer (
  IN  EFI_PCI_IO_PROTOCOL  *This,
  IN  EFI_ALLOCATE_TYPE    Type,
  IN  EFI_MEMORY_TYPE      MemoryType,
  IN  UINTN                Pages,
  OUT VOID                 **HostAddress,
  IN  UINT64               Attributes
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  return SimDmaAllocateBuffer (&Sim->Dma, &Sim->Env, Type, MemoryType, Pages, HostAddress, Attributes);
}

EFI_STATUS
EFIAPI
SimFreeBuffer (
  IN EFI_PCI_IO_PROTOCOL  *This,
  IN UINTN                Pages,
  IN VOID                 *HostAddress
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  return SimDmaFreeBuffer (&Sim->Dma, &Sim->Env, Pages, HostAddress);
}

EFI_STATUS
EFIAPI
SimFlush (
  IN EFI_PCI_IO_PROTOCOL  *This
  )
{
  return RecordOther (This, SIM_MEMBER_FLUSH, SIM_ACCESS_KIND::OTHER);
}

EFI_STATUS
EFIAPI
SimGetLocation (
  IN  EFI_PCI_IO_PROTOCOL  *This,
  OUT UINTN                *SegmentNumber,
  OUT UINTN                *BusNumber,
  OUT UINTN                *DeviceNumber,
  OUT UINTN                *FunctionNumber
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if ((Sim == NULL) || (SegmentNumber == NULL) || (BusNumber == NULL) || (DeviceNumber == NULL) ||
      (FunctionNumber == NULL))
  {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);

  Sim->Counters.LocationCalls++;
  *SegmentNumber  = Sim->Config.Location.Segment;
  *BusNumber      = Sim->Config.Location.Bus;
  *DeviceNumber   = Sim->Config.Location.Device;
  *FunctionNumber = Sim->Config.Location.Function;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimAttributes (
  IN  EFI_PCI_IO_PROTOCOL                      *This,
  IN  EFI_PCI_IO_PROTOCOL_ATTRIBUTE_OPERATION  Operation,
  IN  UINT64                                   Attributes,
  OUT UINT64                                   *Result OPTIONAL
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if (Sim == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK    Lock (Sim);
  EFI_STATUS  Status = SimDmaAttributes (&Sim->Dma, Operation, Attributes, Result);

  Sim->Readback = READBACK::NONE;
  UpdateCommandRegister (Sim);
  return Status;
}

///
/// What GetBarAttributes answers: one QWORD address-space descriptor and the
/// end tag, as the PCI bus driver lays them out.
///
#pragma pack(push, 1)
struct SIM_BAR_RESOURCES {
  EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR    Descriptor;
  EFI_ACPI_END_TAG_DESCRIPTOR          End;
};
#pragma pack(pop)

static_assert (sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) == 46, "QWORD address-space descriptor");
static_assert (sizeof (SIM_BAR_RESOURCES) == 48, "descriptor and end tag");

EFI_STATUS
EFIAPI
SimGetBarAttributes (
  IN  EFI_PCI_IO_PROTOCOL  *This,
  IN  UINT8                BarIndex,
  OUT UINT64               *Supports OPTIONAL,
  OUT VOID                 **Resources OPTIONAL
  )
{
  SIM_CONTROLLER  *Sim = SimFromPciIo (This);

  if ((Sim == NULL) || ((Supports == NULL) && (Resources == NULL))) {
    return EFI_INVALID_PARAMETER;
  }

  SIM_LOCK  Lock (Sim);
  UINTN     Slot = 0;

  Sim->Counters.BarAttributeCalls++;
  while ((Slot < 6) && (Sim->PciBarOfSlot[Slot] != BarIndex)) {
    Slot++;
  }

  if (Sim->Config.BarAttributesUnsupported || (Slot == 6) || (Sim->Config.Bars[Slot].Kind == SIM_BAR_KIND::NONE)) {
    return EFI_UNSUPPORTED;
  }

  if (Supports != NULL) {
    *Supports = 0;
  }

  if (Resources == NULL) {
    return EFI_SUCCESS;
  }

  if (Sim->Env.AllocateForCaller == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  SIM_BAR_RESOURCES  *Answer = static_cast<SIM_BAR_RESOURCES *> (Sim->Env.AllocateForCaller (sizeof (SIM_BAR_RESOURCES)));

  if (Answer == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  CONST SIM_BAR_CONFIG  *Bar      = &Sim->Config.Bars[Slot];
  BOOLEAN               IsWindow  = (Sim->WindowReachable && (BarIndex == Sim->WindowBar));
  UINT64                Length    = IsWindow ? Sim->Config.WindowSize : ((Bar->Kind == SIM_BAR_KIND::IO) ? 0x100u : 0x1000u);

  SimZeroBytes (Answer, sizeof (*Answer));
  Answer->Descriptor.Desc         = ACPI_ADDRESS_SPACE_DESCRIPTOR;
  Answer->Descriptor.Len          = static_cast<UINT16> (sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) - 3);
  Answer->Descriptor.AddrLen      = Length;
  Answer->Descriptor.AddrRangeMax = Length - 1;
  if (Bar->Kind == SIM_BAR_KIND::IO) {
    Answer->Descriptor.ResType      = ACPI_ADDRESS_SPACE_TYPE_IO;
    Answer->Descriptor.AddrRangeMin = Bar->Address & ~static_cast<UINT64> (0x3);
  } else {
    Answer->Descriptor.ResType              = ACPI_ADDRESS_SPACE_TYPE_MEM;
    Answer->Descriptor.AddrSpaceGranularity = (Bar->Kind == SIM_BAR_KIND::MEM64) ? 64 : 32;
    Answer->Descriptor.AddrRangeMin         = Bar->Address & ~static_cast<UINT64> (0xF);
  }

  Answer->End.Desc = ACPI_END_TAG_DESCRIPTOR;
  *Resources       = Answer;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
SimSetBarAttributes (
  IN     EFI_PCI_IO_PROTOCOL  *This,
  IN     UINT64               Attributes,
  IN     UINT8                BarIndex,
  IN OUT UINT64               *Offset,
  IN OUT UINT64               *Length
  )
{
  return RecordOther (This, SIM_MEMBER_SET_BAR_ATTRIBUTES, SIM_ACCESS_KIND::OTHER);
}

} // namespace

//
// ---------------------------------------------------------------------------
// Public interface
// ---------------------------------------------------------------------------
//

VOID
SimNumberBars (
  IN  CONST SIM_CONFIG  *Config,
  OUT UINT8             PciBarOfSlot[6]
  )
{
  UINT8  Next = 0;

  for (UINTN Slot = 0; Slot < 6; Slot++) {
    PciBarOfSlot[Slot] = Next++;
    if ((Config->Bars[Slot].Kind == SIM_BAR_KIND::MEM64) && (Slot < 5)) {
      PciBarOfSlot[++Slot] = SIM_NO_PCI_BAR;
    }
  }
}

CONST SUPPORTED_CONTROLLER *
SimRowForDevice (
  IN UINT16  DeviceId
  )
{
  for (CONST SUPPORTED_CONTROLLER &Row : mSupportedControllers) {
    if (Row.DeviceId == DeviceId) {
      return &Row;
    }
  }

  return &mSupportedControllers[0];
}

VOID
SimConfigPlaceWindow (
  IN OUT SIM_CONFIG  *Config,
  IN     UINT32      Index
  )
{
  CONST SUPPORTED_CONTROLLER  *Row = SimRowForDevice (Config->DeviceId);

  SimZeroBytes (Config->Bars, sizeof (Config->Bars));
  if ((Row->BarIndex < 0) || (Row->BarIndex > 5)) {
    return;
  }

  if (Row->AccessSpace == ACCESS_SPACE_IO) {
    Config->Bars[Row->BarIndex].Kind    = SIM_BAR_KIND::IO;
    Config->Bars[Row->BarIndex].Address = 0xC000u + (Index % 0x100) * 0x100u;
  } else {
    Config->Bars[Row->BarIndex].Kind    = SIM_BAR_KIND::MEM32;
    Config->Bars[Row->BarIndex].Address = 0xC0000000u + (Index % 0x100) * 0x100000u;
  }
}

VOID
SimConfigInit (
  OUT SIM_CONFIG  *Config,
  IN  UINT16      DeviceId,
  IN  UINT32      Index
  )
{
  static CONST CHAR8  DefaultName[] = "Simulated RAID Adapter";

  SimZeroBytes (Config, sizeof (*Config));
  Config->VendorId          = MAKER_VENDOR_ID;
  Config->DeviceId          = DeviceId;
  Config->SubsystemVendorId = MAKER_VENDOR_ID;
  Config->SubsystemId       = 0x0001;
  Config->WindowSize        = SIM_DEFAULT_WINDOW_SIZE;
  Config->Location.Bus      = static_cast<UINT8> (3 + Index % 0x100);
  SimConfigPlaceWindow (Config, Index);

  Config->StatusStepCount             = 1;
  Config->StatusSteps[0].Value        = 0xB0000000u;
  Config->StatusSteps[0].Reads        = 0;
  Config->StatusSteps[0].DoorbellStep = -1;
  Config->HandshakeWrites             = 1;
  SimCopyBytes (Config->ProductName, DefaultName, sizeof (DefaultName));
}

CONST CHAR8 *
SimCheckConfig (
  IN CONST SIM_CONFIG  *Config
  )
{
  for (UINTN Index = 0; Index < 6; Index++) {
    CONST SIM_BAR_CONFIG  *Bar = &Config->Bars[Index];

    switch (Bar->Kind) {
      case SIM_BAR_KIND::NONE:
        break;
      case SIM_BAR_KIND::IO:
        if ((Bar->Address > 0xFFFFFFFFu) || ((Bar->Address & 0x3) != 0)) {
          return "I/O BAR address must be 32-bit and 4-byte aligned";
        }

        break;
      case SIM_BAR_KIND::MEM32:
        if ((Bar->Address > 0xFFFFFFFFu) || ((Bar->Address & 0xF) != 0)) {
          return "32-bit memory BAR address must be below 4 GiB and 16-byte aligned";
        }

        break;
      case SIM_BAR_KIND::MEM64:
        if (Index == 5) {
          return "BAR 5 cannot hold a 64-bit memory BAR";
        }

        if (Config->Bars[Index + 1].Kind != SIM_BAR_KIND::NONE) {
          return "the BAR after a 64-bit memory BAR holds its upper half and must be unused";
        }

        if ((Bar->Address & 0xF) != 0) {
          return "memory BAR address must be 16-byte aligned";
        }

        break;
      default:
        return "unknown BAR kind";
    }
  }

  if ((Config->Location.Device > 31) || (Config->Location.Function > 7)) {
    return "PCI device numbers go to 31 and function numbers to 7";
  }

  if ((Config->WindowSize < sizeof (UINT32)) || (Config->WindowSize > SIM_MAX_WINDOW_SIZE) ||
      ((Config->WindowSize % sizeof (UINT32)) != 0))
  {
    return "window size must be a multiple of 4 from 4 to 0x10000";
  }

  if ((Config->StatusStepCount == 0) || (Config->StatusStepCount > SIM_MAX_STATUS_STEPS)) {
    return "the status script needs 1 to 16 steps";
  }

  for (UINT32 Index = 0; Index < Config->StatusStepCount; Index++) {
    INT32  Target = Config->StatusSteps[Index].DoorbellStep;

    if ((Target < -1) || (Target >= static_cast<INT32> (Config->StatusStepCount))) {
      return "a doorbell step lies beyond the status script";
    }
  }

  if (SimStringLength (Config->ProductName, sizeof (Config->ProductName)) == sizeof (Config->ProductName)) {
    return "product name is not NUL-terminated";
  }

  if (Config->ProductNameUnterminated && (Config->ProductName[0] == '\0')) {
    return "an unterminated product name cannot be empty";
  }

  if (SimStringLength (Config->BbuName, sizeof (Config->BbuName)) == sizeof (Config->BbuName)) {
    return "battery name is not NUL-terminated";
  }

  if (Config->DriveCount > SIM_MAX_DRIVES) {
    return "too many drives";
  }

  if (Config->FaultCount > SIM_MAX_FAULTS) {
    return "too many fault rules";
  }

  return NULL;
}

SIM_CONTROLLER *
SimCreate (
  IN CONST SIM_ENV     *Env,
  IN CONST SIM_CONFIG  *Config
  )
{
  SIM_CONTROLLER  *Sim;

  if ((Env == NULL) || (Env->Allocate == NULL) || (Env->Free == NULL) || (Config == NULL) ||
      (SimCheckConfig (Config) != NULL))
  {
    return NULL;
  }

  Sim = static_cast<SIM_CONTROLLER *> (Env->Allocate (sizeof (SIM_CONTROLLER)));
  if (Sim == NULL) {
    return NULL;
  }

  SimZeroBytes (Sim, sizeof (*Sim));
  Sim->Signature = SIM_CONTROLLER_SIGNATURE;
  SimCopyBytes (&Sim->Env, Env, sizeof (Sim->Env));
  SimCopyBytes (&Sim->Config, Config, sizeof (Sim->Config));
  SimCopyBytes (&Sim->Row, SimRowForDevice (Config->DeviceId), sizeof (Sim->Row));
  Sim->Row.DeviceId = Config->DeviceId;
  SimDmaInit (&Sim->Dma, Config);
  BuildConfigSpace (Sim);
  UpdateCommandRegister (Sim);
  PlaceWindow (Sim);
  Sim->ReadbackFrame = SIM_NO_RECORD;

  Sim->DriveCount = Config->DriveCount;
  for (UINT32 Index = 0; Index < Config->DriveCount; Index++) {
    CONST SIM_DRIVE_CONFIG  *Source = &Config->Drives[Index];
    SIM_DRIVE               *Drive  = &Sim->Drives[Index];

    //
    // Bytes that the host does not interpret get a pattern of their own per
    // drive, so a test sees whether they were sent back as read.
    //
    for (UINTN Byte = 0; Byte < SIM_LD_PROPERTIES_SIZE; Byte++) {
      Drive->Properties[Byte] = static_cast<UINT8> ((Source->Ref & 0xFF) + 0x11 * Byte);
    }

    Drive->Ref = Source->Ref;
    SimPut32 (Drive->Properties, Source->ReturnedRef);
    Drive->Properties[SIM_LD_CACHE_POLICY_OFFSET] = Source->CachePolicy;
    Drive->GetFailStatus                          = Source->GetFailStatus;
    Drive->SetFailStatus                          = Source->SetFailStatus;
  }

  Sim->PciIo.PollMem          = SimPollMem;
  Sim->PciIo.PollIo           = SimPollIo;
  Sim->PciIo.Mem.Read         = SimMemRead;
  Sim->PciIo.Mem.Write        = SimMemWrite;
  Sim->PciIo.Io.Read          = SimIoRead;
  Sim->PciIo.Io.Write         = SimIoWrite;
  Sim->PciIo.Pci.Read         = SimPciRead;
  Sim->PciIo.Pci.Write        = SimPciWrite;
  Sim->PciIo.CopyMem          = SimCopyMem;
  Sim->PciIo.Map              = SimMap;
  Sim->PciIo.Unmap            = SimUnmap;
  Sim->PciIo.AllocateBuffer   = SimAllocateBuffer;
  Sim->PciIo.FreeBuffer       = SimFreeBuffer;
  Sim->PciIo.Flush            = SimFlush;
  Sim->PciIo.GetLocation      = SimGetLocation;
  Sim->PciIo.Attributes       = SimAttributes;
  Sim->PciIo.GetBarAttributes = SimGetBarAttributes;
  Sim->PciIo.SetBarAttributes = SimSetBarAttributes;
  return Sim;
}

VOID
SimDestroy (
  IN SIM_CONTROLLER  *Sim
  )
{
  if (Sim == NULL) {
    return;
  }

  VOID (*Free)(VOID *) = Sim->Env.Free;

  CloseFlash (Sim);
  for (UINT32 Index = 0; Index < Sim->CommitCount; Index++) {
    if (Sim->Commits[Index].Data != NULL) {
      Free (const_cast<UINT8 *> (Sim->Commits[Index].Data));
    }
  }

  Sim->Signature = 0;
  Free (Sim);
}

EFI_PCI_IO_PROTOCOL *
SimGetPciIo (
  IN SIM_CONTROLLER  *Sim
  )
{
  return &Sim->PciIo;
}

SIM_CONTROLLER *
SimFromPciIo (
  IN EFI_PCI_IO_PROTOCOL  *PciIo
  )
{
  SIM_CONTROLLER  *Sim;

  //
  // Only an instance that carries the model's own members is looked at
  // further: memory in front of a foreign protocol is not ours to read.
  //
  if ((PciIo == NULL) || (PciIo->Io.Read != SimIoRead)) {
    return NULL;
  }

  Sim = reinterpret_cast<SIM_CONTROLLER *> (reinterpret_cast<UINT8 *> (PciIo) - OFFSET_OF (SIM_CONTROLLER, PciIo));
  return (Sim->Signature == SIM_CONTROLLER_SIGNATURE) ? Sim : NULL;
}

CONST SIM_CONFIG *
SimGetConfig (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return &Sim->Config;
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

  Time = Now (Sim);
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

UINT32
SimAccessCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->AccessCount;
}

CONST SIM_ACCESS_RECORD *
SimGetAccess (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->AccessCount) ? &Sim->Accesses[Index] : NULL;
}

UINT32
SimFrameCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->FrameCount;
}

CONST SIM_FRAME_RECORD *
SimGetFrame (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->FrameCount) ? &Sim->Frames[Index] : NULL;
}

UINT32
SimSetRecordCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->SetCount;
}

CONST SIM_SET_RECORD *
SimGetSetRecord (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->SetCount) ? &Sim->Sets[Index] : NULL;
}

UINT32
SimCommitCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->CommitCount;
}

CONST SIM_COMMIT *
SimGetCommit (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->CommitCount) ? &Sim->Commits[Index] : NULL;
}

UINT32
SimDriveCount (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->DriveCount;
}

CONST SIM_DRIVE *
SimGetDrive (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  )
{
  return (Index < Sim->DriveCount) ? &Sim->Drives[Index] : NULL;
}

CONST SIM_DRIVE *
SimFindDrive (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT8                 TargetId
  )
{
  return FindDriveByTarget (const_cast<SIM_CONTROLLER *> (Sim), TargetId);
}

UINT8
SimDriveCachePolicy (
  IN CONST SIM_DRIVE  *Drive
  )
{
  return Drive->Properties[SIM_LD_CACHE_POLICY_OFFSET];
}

CONST SIM_COUNTERS *
SimGetCounters (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return &Sim->Counters;
}

UINT32
SimOpcodeCount (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Opcode
  )
{
  for (UINT32 Index = 0; Index < Sim->OpcodeCounterCount; Index++) {
    if (Sim->OpcodeCounters[Index].Opcode == Opcode) {
      return Sim->OpcodeCounters[Index].Count;
    }
  }

  return 0;
}

UINT32
SimStatusStep (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return Sim->Step;
}

BOOLEAN
SimFlashState (
  IN  CONST SIM_CONTROLLER  *Sim,
  OUT UINT32                *Size      OPTIONAL,
  OUT UINT32                *Received  OPTIONAL
  )
{
  if (Size != NULL) {
    *Size = Sim->FlashSize;
  }

  if (Received != NULL) {
    *Received = Sim->FlashReceived;
  }

  return Sim->FlashOpen;
}

VOID
SimClearJournal (
  IN SIM_CONTROLLER  *Sim
  )
{
  SIM_LOCK  Lock (Sim);

  for (UINT32 Index = 0; Index < Sim->CommitCount; Index++) {
    if (Sim->Commits[Index].Data != NULL) {
      Sim->Env.Free (const_cast<UINT8 *> (Sim->Commits[Index].Data));
    }
  }

  //
  // Delayed answers still come, but no longer belong to a record.
  //
  for (SIM_PENDING &Pending : Sim->Pending) {
    Pending.Record = SIM_NO_RECORD;
  }

  Sim->CommitCount   = 0;
  Sim->AccessCount   = 0;
  Sim->FrameCount    = 0;
  Sim->SetCount      = 0;
  Sim->ReadbackFrame = SIM_NO_RECORD;
  Sim->Readback      = READBACK::NONE;
  SimZeroBytes (&Sim->Counters, sizeof (Sim->Counters));
  SimDmaClearJournal (&Sim->Dma);
}

CONST SIM_DMA *
SimGetDma (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return &Sim->Dma;
}

UINT32
SimCrc32 (
  IN CONST UINT8  *Data,
  IN UINTN        Length
  )
{
  UINT32  Crc = 0xFFFFFFFFu;

  for (UINTN Index = 0; Index < Length; Index++) {
    Crc ^= Data[Index];
    for (UINTN Bit = 0; Bit < 8; Bit++) {
      Crc = (Crc >> 1) ^ (0xEDB88320u & (0u - (Crc & 1u)));
    }
  }

  return ~Crc;
}
