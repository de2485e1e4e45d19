/** @file
  Long waits made visible: a wait on one controller (its bring-up, or one
  request) stalls through a WAIT_NOTICE, which counts the time stalled and,
  once the wait passes WAIT_NOTICE_FIRST_US, tells the user what the tool is
  waiting for, that it is still waiting and for at most how long, again every
  WAIT_NOTICE_REPEAT_US. A wait that stays shorter prints nothing.

    WAIT_NOTICE  Wait;
    WaitNoticeStart (&Wait, Controller, WAIT_SUBJECT::ANSWER, LimitUs);
    Wait.Opcode = Opcode;
    while (... not answered ...) { WaitNoticeStall (&Wait, 1000); }
    WaitNoticeEnd (&Wait, Answered);

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef WAIT_NOTICE_H_
#define WAIT_NOTICE_H_

#include "../CtlFlash.h"

#define WAIT_NOTICE_FIRST_US   5000000ull    ///< first notice after 5 s
#define WAIT_NOTICE_REPEAT_US  30000000ull   ///< then one every 30 s

///
/// What a wait is for; selects the words of the notice.
///
enum class WAIT_SUBJECT : UINT8 {
  ANSWER,      ///< one request: "to answer (flash download)"
  HANDSHAKE,   ///< bring-up handshake: "to answer the bring-up handshake"
  FIRMWARE     ///< bring-up: "to get ready (firmware state N)"
};

///
/// One wait. Filled by WaitNoticeStart; the waiting code keeps Subject,
/// Opcode and FirmwareState current, everything else is the module's.
///
struct WAIT_NOTICE {
  CONST CONTROLLER_CONTEXT    *Controller;
  WAIT_SUBJECT                Subject;
  UINT32                      Opcode;          ///< ANSWER: the request's opcode
  UINT32                      FirmwareState;   ///< FIRMWARE: the state last read
  UINT64                      LimitUs;         ///< the longest the wait can take
  UINT64                      WaitedUs;        ///< stalled so far
  UINT64                      NextNoticeUs;    ///< WaitedUs at which the next notice is due
  BOOLEAN                     Shown;           ///< a notice has been printed
};

/**
  Begin a wait: nothing stalled, nothing shown yet.

  @param[out] Wait        The wait.
  @param[in]  Controller  The controller waited for; its Location is printed.
  @param[in]  Subject     What the wait is for.
  @param[in]  LimitUs     The longest the wait can take, as the notices say.
**/
VOID
WaitNoticeStart (
  OUT WAIT_NOTICE               *Wait,
  IN  CONST CONTROLLER_CONTEXT  *Controller,
  IN  WAIT_SUBJECT              Subject,
  IN  UINT64                    LimitUs
  );

/**
  Stall, count the time, and print a notice when one is due:
    "\nWaiting for the controller at 0000:03:00.0 to answer (flash download):
     5 s so far, at most 180 s. Keep the power on."
  (one line; the last sentence only during a flash request).
  A stall that runs past the time of a notice is split there: the notice
  comes at its time, then the rest of the stall.

  @param[in,out] Wait          The wait.
  @param[in]     Microseconds  How long to stall.
**/
VOID
WaitNoticeStall (
  IN OUT WAIT_NOTICE  *Wait,
  IN     UINTN        Microseconds
  );

/**
  End a wait. When a notice was shown, say how it ended: "\nThe controller at
  0000:03:00.0 answered after 7 s." or "... did not answer in 180 s." for a
  request, "... is ready after 40 s." for a bring-up. A bring-up that failed
  prints nothing here: the line that leaves the controller out follows.

  @param[in] Wait       The wait.
  @param[in] Succeeded  The request was answered, or the controller is ready.
**/
VOID
WaitNoticeEnd (
  IN CONST WAIT_NOTICE  *Wait,
  IN BOOLEAN            Succeeded
  );

#endif
