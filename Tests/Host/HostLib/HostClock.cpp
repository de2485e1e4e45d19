/** @file
  The virtual clock of the host boot services: Stall advances it without
  sleeping, counts the calls by duration, calls the registered listeners,
  and aborts a run that stalls past its limits (a hang of the code under
  test). Timer events (CreateEvent with EVT_TIMER and no notification,
  SetTimer, CheckEvent, CloseEvent) go off on the same clock. See
  HostClock.h.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "HostClock.h"
#include "HostInternal.h"

namespace {

struct CLOCK_LISTENER {
  HOST_CLOCK_LISTENER    Listener;
  VOID                   *Context;
};

constexpr UINT64  DEFAULT_TIME_LIMIT_US    = 48ull * 3600ull * 1000000ull;
constexpr UINT64  DEFAULT_STALL_CALL_LIMIT = 50000000ull;

std::vector<CLOCK_LISTENER> &
Listeners (
  VOID
  )
{
  static std::vector<CLOCK_LISTENER>  Storage;

  return Storage;
}

std::map<UINTN, UINT64> &
StallHistogram (
  VOID
  )
{
  static std::map<UINTN, UINT64>  Storage;

  return Storage;
}

UINT64  mNowMicroseconds;
UINT64  mStallCalls;
UINT64  mTimeLimit  = DEFAULT_TIME_LIMIT_US;
UINT64  mStallLimit = DEFAULT_STALL_CALL_LIMIT;

///
/// A timer event: when it goes off (0: not set), and every how long again
/// (0: once). Signaled until CheckEvent reports it.
///
struct HOST_TIMER {
  UINT64     DueUs;
  UINT64     PeriodUs;
  BOOLEAN    Signaled;
};

std::map<HOST_TIMER *, BOOLEAN> &
Timers (
  VOID
  )
{
  static std::map<HOST_TIMER *, BOOLEAN>  Storage;

  return Storage;
}

VOID
RunTimers (
  VOID
  )
{
  for (auto &Entry : Timers ()) {
    HOST_TIMER  *Timer = Entry.first;

    if ((Timer->DueUs != 0) && (mNowMicroseconds >= Timer->DueUs)) {
      Timer->Signaled = TRUE;
      Timer->DueUs    = (Timer->PeriodUs != 0) ? mNowMicroseconds + Timer->PeriodUs : 0;
    }
  }
}

HOST_TIMER *
FindTimer (
  IN EFI_EVENT  Event
  )
{
  HOST_TIMER  *Timer = static_cast<HOST_TIMER *> (Event);

  return (Timers ().count (Timer) != 0) ? Timer : NULL;
}

EFI_STATUS
EFIAPI
HostCreateEvent (
  IN  UINT32            Type,
  IN  EFI_TPL           NotifyTpl,
  IN  EFI_EVENT_NOTIFY  NotifyFunction,
  IN  VOID              *NotifyContext,
  OUT EFI_EVENT         *Event
  )
{
  if ((Event == NULL) || (Type != EVT_TIMER) || (NotifyFunction != NULL)) {
    HostReportFailure ("CreateEvent: the host harness serves timer events without notification only (type 0x%x)", Type);
    return EFI_INVALID_PARAMETER;
  }

  HOST_TIMER  *Timer = new HOST_TIMER { 0, 0, FALSE };

  Timers ()[Timer] = TRUE;
  *Event           = Timer;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostSetTimer (
  IN EFI_EVENT        Event,
  IN EFI_TIMER_DELAY  Type,
  IN UINT64           TriggerTime
  )
{
  HOST_TIMER  *Timer = FindTimer (Event);

  if (Timer == NULL) {
    HostReportFailure ("SetTimer on an event that is not open");
    return EFI_INVALID_PARAMETER;
  }

  //
  // In units of 100 ns; at least one microsecond, as the firmware goes off
  // at its next tick at the earliest.
  //
  UINT64  Us = (TriggerTime + 9) / 10;

  Us = (Us == 0) ? 1 : Us;
  switch (Type) {
    case TimerCancel:
      Timer->DueUs    = 0;
      Timer->PeriodUs = 0;
      return EFI_SUCCESS;
    case TimerRelative:
      Timer->DueUs    = mNowMicroseconds + Us;
      Timer->PeriodUs = 0;
      return EFI_SUCCESS;
    case TimerPeriodic:
      Timer->DueUs    = mNowMicroseconds + Us;
      Timer->PeriodUs = Us;
      return EFI_SUCCESS;
    default:
      return EFI_INVALID_PARAMETER;
  }
}

EFI_STATUS
EFIAPI
HostCheckEvent (
  IN EFI_EVENT  Event
  )
{
  HOST_TIMER  *Timer = FindTimer (Event);

  if (Timer == NULL) {
    HostReportFailure ("CheckEvent on an event that is not open");
    return EFI_INVALID_PARAMETER;
  }

  if (!Timer->Signaled) {
    return EFI_NOT_READY;
  }

  Timer->Signaled = FALSE;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostCloseEvent (
  IN EFI_EVENT  Event
  )
{
  HOST_TIMER  *Timer = FindTimer (Event);

  if (Timer == NULL) {
    HostReportFailure ("CloseEvent on an event that is not open");
    return EFI_INVALID_PARAMETER;
  }

  Timers ().erase (Timer);
  delete Timer;
  return EFI_SUCCESS;
}

/// Advance the clock, abort past the limits, go off timers, call listeners.
VOID
Advance (
  IN UINT64  Microseconds
  );

EFI_STATUS
EFIAPI
HostStall (
  IN UINTN  Microseconds
  )
{
  mStallCalls++;
  StallHistogram ()[Microseconds]++;
  Advance (Microseconds);
  return EFI_SUCCESS;
}

VOID
Advance (
  IN UINT64  Microseconds
  )
{
  mNowMicroseconds += Microseconds;

  if ((mNowMicroseconds > mTimeLimit) || (mStallCalls > mStallLimit)) {
    std::fprintf (
      stderr,
      "host harness: Stall limit passed (virtual time %llu us, %llu calls): the code under test does not stop waiting\n",
      static_cast<unsigned long long> (mNowMicroseconds),
      static_cast<unsigned long long> (mStallCalls)
      );
    std::fflush (stderr);
    std::abort ();
  }

  //
  // A listener may add or remove listeners; walk a copy and skip any entry
  // removed meanwhile.
  //
  std::vector<CLOCK_LISTENER>  Snapshot = Listeners ();

  for (const CLOCK_LISTENER &Entry : Snapshot) {
    for (const CLOCK_LISTENER &Live : Listeners ()) {
      if ((Live.Listener == Entry.Listener) && (Live.Context == Entry.Context)) {
        Entry.Listener (Entry.Context, mNowMicroseconds);
        break;
      }
    }
  }

  RunTimers ();
}

} // namespace

VOID
HostClockFillBootServices (
  IN OUT EFI_BOOT_SERVICES  *BootServices
  )
{
  BootServices->Stall       = HostStall;
  BootServices->CreateEvent = HostCreateEvent;
  BootServices->SetTimer    = HostSetTimer;
  BootServices->CheckEvent  = HostCheckEvent;
  BootServices->CloseEvent  = HostCloseEvent;
}

VOID
HostClockAdvance (
  IN UINT64  Microseconds
  )
{
  Advance (Microseconds);
}

UINTN
HostOpenEventCount (
  VOID
  )
{
  return Timers ().size ();
}

VOID
HostClockResetState (
  VOID
  )
{
  Listeners ().clear ();
  for (auto &Entry : Timers ()) {
    delete Entry.first;
  }

  Timers ().clear ();
  mTimeLimit  = DEFAULT_TIME_LIMIT_US;
  mStallLimit = DEFAULT_STALL_CALL_LIMIT;
  HostClockReset ();
}

UINT64
HostClockNow (
  VOID
  )
{
  return mNowMicroseconds;
}

VOID
HostClockReset (
  VOID
  )
{
  mNowMicroseconds = 0;
  mStallCalls      = 0;
  StallHistogram ().clear ();
}

VOID
HostClockAddListener (
  IN HOST_CLOCK_LISTENER  Listener,
  IN VOID                 *Context
  )
{
  for (const CLOCK_LISTENER &Entry : Listeners ()) {
    if ((Entry.Listener == Listener) && (Entry.Context == Context)) {
      return;
    }
  }

  Listeners ().push_back ({ Listener, Context });
}

VOID
HostClockRemoveListener (
  IN HOST_CLOCK_LISTENER  Listener,
  IN VOID                 *Context
  )
{
  auto  &List = Listeners ();

  for (auto Iterator = List.begin (); Iterator != List.end (); ++Iterator) {
    if ((Iterator->Listener == Listener) && (Iterator->Context == Context)) {
      List.erase (Iterator);
      return;
    }
  }
}

UINT64
HostStallCount (
  VOID
  )
{
  return mStallCalls;
}

UINT64
HostStallCountOf (
  IN UINTN  Microseconds
  )
{
  auto  Found = StallHistogram ().find (Microseconds);

  return (Found == StallHistogram ().end ()) ? 0 : Found->second;
}

VOID
HostClockSetLimits (
  IN UINT64  MaxMicroseconds,
  IN UINT64  MaxStallCalls
  )
{
  mTimeLimit  = MaxMicroseconds;
  mStallLimit = MaxStallCalls;
}
