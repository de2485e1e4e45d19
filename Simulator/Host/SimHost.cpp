/** @file
  SIM_HOST: simulated controllers wired into the host test harness.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

//
// GoogleTest before any EDK II header: those make every later declaration
// hidden, which clang refuses for GoogleTest's exported classes.
//
#include <gtest/gtest.h>

#include "SimHost.h"
#include "SimJournalText.h"

extern "C" {
#include <Library/MemoryAllocationLib.h>
}

#include <cstdlib>

namespace {

VOID *
HostSimAllocate (
  UINTN  Size
  )
{
  return std::malloc (Size);
}

VOID
HostSimFree (
  VOID  *Buffer
  )
{
  std::free (Buffer);
}

///
/// Memory that the product receives from a protocol member and frees with
/// FreePool: the tracked pool, so a test sees whether it was freed.
///
VOID *
HostSimAllocateForCaller (
  UINTN  Size
  )
{
  return AllocatePool (Size);
}

///
/// The pages of PciIo->AllocateBuffer, which the product releases with
/// FreeBuffer: the tracked pages, so a test sees whether they went back.
///
VOID *
HostSimAllocatePages (
  UINTN  Pages
  )
{
  return AllocatePages (Pages);
}

VOID
HostSimFreePages (
  VOID   *Buffer,
  UINTN  Pages
  )
{
  FreePages (Buffer, Pages);
}

UINT64
HostSimNow (
  VOID
  )
{
  return HostClockNow ();
}

VOID
AdvanceOnStall (
  VOID    *Context,
  UINT64  NowMicroseconds
  )
{
  SimAdvanceTime (static_cast<SIM_CONTROLLER *> (Context), NowMicroseconds);
}

constexpr SIM_ENV  mHostEnv = {
  HostSimAllocate, HostSimFree, HostSimNow, NULL, NULL, HostSimAllocateForCaller, HostSimAllocatePages, HostSimFreePages, NULL
};

} // namespace

CONST SIM_ENV *
SimHostEnv (
  VOID
  )
{
  return &mHostEnv;
}

SIM_HOST::~SIM_HOST (
  )
{
  for (SIM_CONTROLLER *Sim : mControllers) {
    const SIM_DMA_COUNTERS  &Dma = SimGetDma (Sim)->Counters;

    //
    // Whatever a test did, the controller never reached outside the
    // mappings it was given, and every mapping and buffer was handed back
    // to the platform it came from.
    //
    EXPECT_EQ (0u, Dma.Strays) << "stray DMA";
    EXPECT_EQ (0u, Dma.WrongDirection) << "DMA against a mapping's direction";
    EXPECT_EQ (0u, Dma.BadUnmaps + Dma.BadFrees) << "Unmap or FreeBuffer of something not handed out";
    HostClockRemoveListener (AdvanceOnStall, Sim);
    SimDestroy (Sim);
  }
}

SIM_CONTROLLER *
SIM_HOST::Add (
  const SIM_CONFIG  &Config,
  EFI_STATUS        OpenStatus
  )
{
  SIM_CONTROLLER  *Sim = SimCreate (&mHostEnv, &Config);

  if (Sim == NULL) {
    CONST CHAR8  *Problem = SimCheckConfig (&Config);

    HostReportFailure ("SIM_HOST::Add: %s", (Problem != NULL) ? Problem : "no memory");
    return NULL;
  }

  mControllers.push_back (Sim);
  mHandles.push_back (HostAddPciIoHandle (SimGetPciIo (Sim), OpenStatus));
  HostClockAddListener (AdvanceOnStall, Sim);
  return Sim;
}

bool
SIM_HOST::Load (
  const std::string  &Text,
  std::string        *Error
  )
{
  SIM_SET          Set;
  SIM_PARSE_ERROR  ParseError;

  if (!SimSetLoad (&mHostEnv, Text.data (), Text.size (), &Set, &ParseError)) {
    if (Error != nullptr) {
      *Error = "line " + std::to_string (ParseError.Line) + ": " + ParseError.Message;
    }

    return false;
  }

  for (UINT32 Index = 0; Index < Set.Count; Index++) {
    SIM_CONTROLLER  *Sim = Set.Controllers[Index];

    mControllers.push_back (Sim);
    mHandles.push_back (HostAddPciIoHandle (SimGetPciIo (Sim), EFI_SUCCESS));
    HostClockAddListener (AdvanceOnStall, Sim);
  }

  return true;
}

EFI_HANDLE
SIM_HOST::AddForeign (
  EFI_PCI_IO_PROTOCOL  *PciIo,
  EFI_STATUS           OpenStatus
  )
{
  return HostAddPciIoHandle (PciIo, OpenStatus);
}

SIM_CONFIG
SimHostConfig (
  UINT16  DeviceId,
  UINT32  Index
  )
{
  SIM_CONFIG  Config;

  SimConfigInit (&Config, DeviceId, Index);
  return Config;
}

VOID
SimHostSetScript (
  SIM_CONFIG                              &Config,
  std::initializer_list<SIM_STATUS_STEP>  Steps
  )
{
  Config.StatusStepCount = 0;
  if (Steps.size () > SIM_MAX_STATUS_STEPS) {
    HostReportFailure ("SimHostSetScript: a status script holds at most %d steps", SIM_MAX_STATUS_STEPS);
    return;
  }

  for (const SIM_STATUS_STEP &Step : Steps) {
    Config.StatusSteps[Config.StatusStepCount++] = Step;
  }
}

std::string
SimHostNoAnswerNotices (
  const std::string  &Location,
  const std::string  &Request,
  bool               Flash
  )
{
  std::string  Text;

  for (unsigned Seconds = 5; Seconds < 180; Seconds += 30) {
    Text += "\nWaiting for the controller at " + Location + " to answer (" + Request + "): " + std::to_string (Seconds) +
            " s so far, at most 180 s." + (Flash ? " Keep the power on." : "");
  }

  return Text + "\nThe controller at " + Location + " did not answer in 180 s.";
}

std::string
SimHostFrameText (
  const SIM_CONTROLLER  *Sim,
  UINT32                Index
  )
{
  CONST SIM_FRAME_RECORD  *Frame = SimGetFrame (Sim, Index);
  CHAR8                   Line[SIM_TEXT_LINE_SIZE];

  if (Frame == nullptr) {
    return "no frame " + std::to_string (Index);
  }

  SimFrameText ({ Line, sizeof (Line) }, 0, Index, Frame, SimGetDma (Sim)->Protected);

  std::string  Text (Line);

  if (!Text.empty () && (Text.back () == '\n')) {
    Text.pop_back ();
  }

  return Text;
}
