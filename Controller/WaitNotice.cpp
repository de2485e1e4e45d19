/** @file
  Long waits made visible: the time a wait has stalled, and the notices that
  tell the user about it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "WaitNotice.h"

namespace {

constexpr UINT64  MICROSECONDS_PER_SECOND = 1000000;

UINT32
Seconds (
  IN UINT64  Microseconds
  )
{
  return static_cast<UINT32> (Microseconds / MICROSECONDS_PER_SECOND);
}

VOID
ShowNotice (
  IN OUT WAIT_NOTICE  *Wait
  )
{
  Wait->Shown = TRUE;
  AsciiPrint ("\nWaiting for the controller at %a ", Wait->Controller->Location);
  switch (Wait->Subject) {
    case WAIT_SUBJECT::ANSWER:
      AsciiPrint ("to answer (%a)", CommandName (Wait->Opcode));
      break;
    case WAIT_SUBJECT::HANDSHAKE:
      AsciiPrint ("to answer the bring-up handshake");
      break;
    case WAIT_SUBJECT::FIRMWARE:
      AsciiPrint ("to get ready (firmware state %d)", Wait->FirmwareState);
      break;
  }

  AsciiPrint (": %d s so far, at most %d s.", Seconds (Wait->WaitedUs), Seconds (Wait->LimitUs));
  if ((Wait->Subject == WAIT_SUBJECT::ANSWER) && IsFlashCommand (Wait->Opcode)) {
    AsciiPrint (" Keep the power on.");
  }
}

} // namespace

VOID
WaitNoticeStart (
  OUT WAIT_NOTICE               *Wait,
  IN  CONST CONTROLLER_CONTEXT  *Controller,
  IN  WAIT_SUBJECT              Subject,
  IN  UINT64                    LimitUs
  )
{
  Wait->Controller    = Controller;
  Wait->Subject       = Subject;
  Wait->Opcode        = 0;
  Wait->FirmwareState = 0;
  Wait->LimitUs       = LimitUs;
  Wait->WaitedUs      = 0;
  Wait->NextNoticeUs  = WAIT_NOTICE_FIRST_US;
  Wait->Shown         = FALSE;
}

VOID
WaitNoticeStall (
  IN OUT WAIT_NOTICE  *Wait,
  IN     UINTN        Microseconds
  )
{
  UINT64  Left = Microseconds;

  //
  // A stall that runs past the time of a notice is split there, so every
  // notice comes on time however long the pauses of the wait are. The
  // controller does not see the stalls, only the accesses between them.
  //
  while (Left > 0) {
    UINT64  Step = MIN (Left, Wait->NextNoticeUs - Wait->WaitedUs);

    gBS->Stall (static_cast<UINTN> (Step));
    Wait->WaitedUs += Step;
    Left           -= Step;
    if (Wait->WaitedUs >= Wait->NextNoticeUs) {
      Wait->NextNoticeUs += WAIT_NOTICE_REPEAT_US;
      ShowNotice (Wait);
    }
  }
}

VOID
WaitNoticeEnd (
  IN CONST WAIT_NOTICE  *Wait,
  IN BOOLEAN            Succeeded
  )
{
  if (!Wait->Shown) {
    return;
  }

  if (Wait->Subject != WAIT_SUBJECT::ANSWER) {
    if (Succeeded) {
      AsciiPrint ("\nThe controller at %a is ready after %d s.", Wait->Controller->Location, Seconds (Wait->WaitedUs));
    }

    return;
  }

  if (Succeeded) {
    AsciiPrint ("\nThe controller at %a answered after %d s.", Wait->Controller->Location, Seconds (Wait->WaitedUs));
  } else {
    AsciiPrint ("\nThe controller at %a did not answer in %d s.", Wait->Controller->Location, Seconds (Wait->WaitedUs));
  }
}
