/** @file
  ctlsimctl.efi: the shell-side control of CtlSimDxe, so that one boot can
  run several scenarios and show what the simulated controllers saw.

    ctlsimctl load FILE     replace the controllers by those of FILE
    ctlsimctl journal [N]   frames, commits and counters (all or controller N)
    ctlsimctl drives N      logical drives of controller N
    ctlsimctl clear         forget journals and commits of every controller
    ctlsimctl clear-state   delete the saved persistent state of every
                            controller installed now
    ctlsimctl probe         the register-window resolution of ctlflash on
                            every PCI function (CtlSimProbe.h); needs no
                            CtlSimDxe

  Output: the lines of Model/SimJournalText.h. "journal" prints, for each
  controller, its frames (with " at" and the device address on a protected
  platform), its commits and the summary; then, on a protected platform,
  the dma line; then, only when the controller had accesses to host memory
  refused or outside the mappings, each of them and the dma-faults line.
  "drives" prints one drive line per logical drive. "clear-state" prints
  "cleared N saved state(s)".

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Library/BaseMemoryLib.h>
}

#include "../../CtlFlash.h"
#include "../Include/CtlSimControl.h"
#include "../Model/SimJournalText.h"
#include "CtlSimProbe.h"

namespace {

EFI_GUID  mControlGuid = CTL_SIM_CONTROL_PROTOCOL_GUID;

VOID
PrintUsage (
  VOID
  )
{
  AsciiPrint (
    "usage: ctlsimctl load FILE | journal [N] | drives N | clear | clear-state | probe\n"
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
  CHAR8  Line[SIM_TEXT_LINE_SIZE];

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
    SimDmaText ({ Line, sizeof (Line) }, Index, Attributes, Initial, &Counters, Live);
    AsciiPrint ("%a", Line);
  }

  UINT32  Total = Counters.Strays + Counters.WrongDirection + Counters.BusMasterOff;

  if (Total == 0) {
    return;
  }

  for (UINT32 Number = 0; Number < FaultCount; Number++) {
    SIM_DMA_FAULT  Fault;

    CopyRecord (&Dma->Faults[Number], &Fault);
    SimDmaFaultText ({ Line, sizeof (Line) }, Index, Number, &Fault);
    AsciiPrint ("%a", Line);
  }

  SimDmaFaultsText ({ Line, sizeof (Line) }, Index, &Counters);
  AsciiPrint ("%a", Line);
}

VOID
PrintJournal (
  IN UINT32          Index,
  IN SIM_CONTROLLER  *Sim
  )
{
  CHAR8             Line[SIM_TEXT_LINE_SIZE];
  SIM_FRAME_RECORD  Frame;
  SIM_COMMIT        Commit;
  SIM_COUNTERS      Counters;

  for (UINT32 Number = 0; CopyRecord (SimGetFrame (Sim, Number), &Frame); Number++) {
    SimFrameText ({ Line, sizeof (Line) }, Index, Number, &Frame, SimGetDma (Sim)->Protected);
    AsciiPrint ("%a", Line);
  }

  for (UINT32 Number = 0; CopyRecord (SimGetCommit (Sim, Number), &Commit); Number++) {
    SimCommitText ({ Line, sizeof (Line) }, Index, Number, &Commit);
    AsciiPrint ("%a", Line);
  }

  CopyRecord (SimGetCounters (Sim), &Counters);
  SimSummaryText ({ Line, sizeof (Line) }, Index, SimFrameCount (Sim), &Counters);
  AsciiPrint ("%a", Line);
  PrintDma (Index, Sim);
}

VOID
PrintDrives (
  IN UINT32          Index,
  IN SIM_CONTROLLER  *Sim
  )
{
  CHAR8      Line[SIM_TEXT_LINE_SIZE];
  SIM_DRIVE  Drive;

  for (UINT32 Number = 0; CopyRecord (SimGetDrive (Sim, Number), &Drive); Number++) {
    SimDriveText ({ Line, sizeof (Line) }, Index, Number, &Drive);
    AsciiPrint ("%a", Line);
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

  if ((Argc == 2) && (StrCmp (Argv[1], CTL_WSTR ("probe")) == 0)) {
    return ProbePciWindows ();
  }

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

  if ((Argc == 2) && (StrCmp (Argv[1], CTL_WSTR ("clear-state")) == 0)) {
    AsciiPrint ("cleared %u saved state(s)\n", Control->ClearState (Control));
    return 0;
  }

  PrintUsage ();
  return 1;
}
