/** @file
  ctlsimctl.efi: the shell-side control of CtlSimDxe, so that one boot can
  run several scenarios and show what the simulated controllers saw.

    ctlsimctl load FILE     replace the controllers by those of FILE
    ctlsimctl journal [N]   frames, commits and counters (all or controller N)
    ctlsimctl drives N      logical drives of controller N
    ctlsimctl clear         forget journals and commits of every controller

  Output lines (hexadecimal without prefix, decimal where it is a size or
  count):

    ctl C frame F op OOOOOOOO mb M0 M1 M2 dir D sge S len L status SS [check K]
    ctl C commit I size BYTES crc32 CCCCCCCC
    ctl C summary frames N overflow N stray N rejected N doorbell N handshake N readbacks N
    ctl C drive I tid T ref RRRRRRRR policy PP

  An unanswered frame shows "status --". On a protected platform ("dma
  protected") each frame line ends with " at DDDDDDDD", the device address
  at which the controller fetched it, and the summary is followed by

    ctl C dma protected attributes AAA initially AAA maps N unmaps N live N buffers N freed N high N

  On any platform, every access of the controller to host memory that was
  refused or fell outside the mappings is shown after that (none in a
  healthy run), then a line with the counts:

    ctl C dma-fault I stray|wrong-direction|bus-master-off read|write at DDDDDDDD len L
    ctl C dma-faults stray N wrong-direction N bus-master-off N
**/

extern "C" {
#include <Library/BaseMemoryLib.h>
}

#include "../Include/CtlSimControl.h"
#include "../Model/SimDma.h"

namespace {

EFI_GUID  mControlGuid = CTL_SIM_CONTROL_PROTOCOL_GUID;

VOID
PrintUsage (
  VOID
  )
{
  AsciiPrint (
    "usage: ctlsimctl load FILE | journal [N] | drives N | clear\n"
    );
}

///
/// Copy one record of a model while its timer cannot change it.
///
template <typename RECORD>
BOOLEAN
CopyRecord (
  IN  CONST RECORD  *Source,
  OUT RECORD        *Copy
  )
{
  EFI_TPL  Tpl = gBS->RaiseTPL (TPL_CALLBACK);

  if (Source != NULL) {
    CopyMem (Copy, Source, sizeof (*Copy));
  }

  gBS->RestoreTPL (Tpl);
  return Source != NULL;
}

INTN
LoadScenario (
  IN CTL_SIM_CONTROL_PROTOCOL  *Control,
  IN CONST CHAR16              *FileName
  )
{
  SHELL_FILE_HANDLE  File;
  UINT64             Size;
  UINTN              Read;
  CHAR8              *Text;
  EFI_STATUS         Status;
  SIM_PARSE_ERROR    Error;

  Status = ShellOpenFileByName (FileName, &File, EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR (Status)) {
    Print (CTL_WSTR ("ctlsimctl: cannot open %s (%r)\n"), FileName, Status);
    return 1;
  }

  Status = ShellGetFileSize (File, &Size);
  if (EFI_ERROR (Status) || (Size > 1024 * 1024)) {
    Print (CTL_WSTR ("ctlsimctl: %s: unusable size (%r)\n"), FileName, Status);
    ShellCloseFile (&File);
    return 1;
  }

  Text = static_cast<CHAR8 *> (AllocatePool (static_cast<UINTN> (Size) + 1));
  if (Text == NULL) {
    ShellCloseFile (&File);
    AsciiPrint ("ctlsimctl: out of memory\n");
    return 1;
  }

  Read   = static_cast<UINTN> (Size);
  Status = ShellReadFile (File, &Read, Text);
  ShellCloseFile (&File);
  if (EFI_ERROR (Status) || (Read != Size)) {
    Print (CTL_WSTR ("ctlsimctl: cannot read %s (%r)\n"), FileName, Status);
    FreePool (Text);
    return 1;
  }

  Status = Control->Load (Control, Text, Read, &Error);
  FreePool (Text);
  if (EFI_ERROR (Status)) {
    if (Error.Line != 0) {
      AsciiPrint ("ctlsimctl: line %u: %a\n", Error.Line, Error.Message);
    }

    Print (CTL_WSTR ("ctlsimctl: load failed (%r)\n"), Status);
    return 1;
  }

  AsciiPrint ("ctlsimctl: %u simulated controller(s)\n", Control->GetControllerCount (Control));
  return 0;
}

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

///
/// The platform side of one controller: attributes and mappings on a
/// protected platform, refused accesses on any.
///
VOID
PrintDma (
  IN UINT32          Index,
  IN SIM_CONTROLLER  *Sim
  )
{
  //
  // SIM_DMA is large; only what is printed is copied, under the lock.
  //
  EFI_TPL           Tpl = gBS->RaiseTPL (TPL_CALLBACK);
  CONST SIM_DMA     *Dma = SimGetDma (Sim);
  BOOLEAN           Protected = Dma->Protected;
  UINT64            Attributes = Dma->Attributes;
  UINT64            Initial    = Dma->InitialAttributes;
  SIM_DMA_COUNTERS  Counters;
  UINT32            Live       = SimDmaLiveMappings (Dma);
  UINT32            FaultCount = Dma->FaultCount;

  CopyMem (&Counters, &Dma->Counters, sizeof (Counters));
  gBS->RestoreTPL (Tpl);

  if (Protected) {
    AsciiPrint (
      "ctl %u dma protected attributes %lX initially %lX maps %u unmaps %u live %u buffers %u freed %u high %u\n",
      Index,
      Attributes,
      Initial,
      Counters.MapCalls,
      Counters.UnmapCalls,
      Live,
      Counters.BufferAllocations,
      Counters.BufferFrees,
      Counters.HighMappings
      );
  }

  UINT32  Total = Counters.Strays + Counters.WrongDirection + Counters.BusMasterOff;

  if (Total == 0) {
    return;
  }

  for (UINT32 Number = 0; Number < FaultCount; Number++) {
    SIM_DMA_FAULT  Fault;

    CopyRecord (&Dma->Faults[Number], &Fault);
    AsciiPrint (
      "ctl %u dma-fault %u %a %a at %lX len %u\n",
      Index,
      Number,
      FaultName (Fault.Kind),
      Fault.DeviceWrites ? "write" : "read",
      Fault.Address,
      Fault.Length
      );
  }

  AsciiPrint (
    "ctl %u dma-faults stray %u wrong-direction %u bus-master-off %u\n",
    Index,
    Counters.Strays,
    Counters.WrongDirection,
    Counters.BusMasterOff
    );
}

VOID
PrintJournal (
  IN UINT32          Index,
  IN SIM_CONTROLLER  *Sim
  )
{
  SIM_FRAME_RECORD  Frame;
  SIM_COMMIT        Commit;
  SIM_COUNTERS      Counters;

  for (UINT32 Number = 0; CopyRecord (SimGetFrame (Sim, Number), &Frame); Number++) {
    AsciiPrint (
      "ctl %u frame %u op %08X mb %08X %08X %08X dir %u sge %u len %u status ",
      Index,
      Number,
      Frame.Opcode,
      Frame.Mailbox[0],
      Frame.Mailbox[1],
      Frame.Mailbox[2],
      Frame.Direction,
      Frame.SgeCount,
      Frame.DataTransferLength
      );
    if (Frame.Answered) {
      AsciiPrint ("%02X", Frame.Status);
    } else {
      AsciiPrint ("--");
    }

    if (Frame.Check != SIM_FRAME_CHECK::OK) {
      AsciiPrint (" check %u", static_cast<UINT32> (Frame.Check));
    }

    if (SimGetDma (Sim)->Protected) {
      AsciiPrint (" at %lX", Frame.Address);
    }

    AsciiPrint ("\n");
  }

  for (UINT32 Number = 0; CopyRecord (SimGetCommit (Sim, Number), &Commit); Number++) {
    AsciiPrint ("ctl %u commit %u size %u crc32 %08X\n", Index, Number, Commit.Size, Commit.Crc32);
  }

  CopyRecord (SimGetCounters (Sim), &Counters);
  AsciiPrint (
    "ctl %u summary frames %u overflow %u stray %u rejected %u doorbell %u handshake %u readbacks %u\n",
    Index,
    SimFrameCount (Sim),
    Counters.FrameOverflow + Counters.AccessOverflow,
    Counters.StrayAccesses,
    Counters.RejectedAccesses,
    Counters.DoorbellRings,
    Counters.HandshakeWrites,
    Counters.FlushReadbacks
    );
  PrintDma (Index, Sim);
}

VOID
PrintDrives (
  IN UINT32          Index,
  IN SIM_CONTROLLER  *Sim
  )
{
  SIM_DRIVE  Drive;

  for (UINT32 Number = 0; CopyRecord (SimGetDrive (Sim, Number), &Drive); Number++) {
    AsciiPrint (
      "ctl %u drive %u tid %u ref %08X policy %02X\n",
      Index,
      Number,
      Drive.Ref & 0xFF,
      Drive.Ref,
      SimDriveCachePolicy (&Drive)
      );
  }
}

///
/// The controller named by a decimal argument, or NULL (with a message).
///
SIM_CONTROLLER *
ControllerArgument (
  IN  CTL_SIM_CONTROL_PROTOCOL  *Control,
  IN  CONST CHAR16              *Argument,
  OUT UINT32                    *Index
  )
{
  UINTN  Value = 0;

  if ((Argument[0] < L'0') || (Argument[0] > L'9') ||
      EFI_ERROR (StrDecimalToUintnS (Argument, NULL, &Value)) ||
      (Value >= Control->GetControllerCount (Control)))
  {
    Print (CTL_WSTR ("ctlsimctl: no controller %s\n"), Argument);
    return NULL;
  }

  *Index = static_cast<UINT32> (Value);
  return Control->GetController (Control, *Index);
}

} // namespace

/**
  Entry from the shell.

  @param[in] Argc  Number of arguments, the program name included.
  @param[in] Argv  The arguments.

  @retval 0  The command ran.
  @retval 1  Bad arguments, no CtlSimDxe, or the command failed.
**/
extern "C"
INTN
EFIAPI
ShellAppMain (
  IN UINTN   Argc,
  IN CHAR16  **Argv
  )
{
  CTL_SIM_CONTROL_PROTOCOL  *Control;
  SIM_CONTROLLER            *Sim;
  UINT32                    Index;

  if (EFI_ERROR (gBS->LocateProtocol (&mControlGuid, NULL, reinterpret_cast<VOID **> (&Control))) ||
      (Control->Revision != CTL_SIM_CONTROL_REVISION))
  {
    AsciiPrint ("ctlsimctl: CtlSimDxe is not loaded\n");
    return 1;
  }

  if ((Argc == 3) && (StrCmp (Argv[1], CTL_WSTR ("load")) == 0)) {
    return LoadScenario (Control, Argv[2]);
  }

  if (((Argc == 2) || (Argc == 3)) && (StrCmp (Argv[1], CTL_WSTR ("journal")) == 0)) {
    if (Argc == 3) {
      Sim = ControllerArgument (Control, Argv[2], &Index);
      if (Sim == NULL) {
        return 1;
      }

      PrintJournal (Index, Sim);
      return 0;
    }

    for (Index = 0; Index < Control->GetControllerCount (Control); Index++) {
      PrintJournal (Index, Control->GetController (Control, Index));
    }

    return 0;
  }

  if ((Argc == 3) && (StrCmp (Argv[1], CTL_WSTR ("drives")) == 0)) {
    Sim = ControllerArgument (Control, Argv[2], &Index);
    if (Sim == NULL) {
      return 1;
    }

    PrintDrives (Index, Sim);
    return 0;
  }

  if ((Argc == 2) && (StrCmp (Argv[1], CTL_WSTR ("clear")) == 0)) {
    for (Index = 0; Index < Control->GetControllerCount (Control); Index++) {
      SimClearJournal (Control->GetController (Control, Index));
    }

    return 0;
  }

  PrintUsage ();
  return 1;
}
