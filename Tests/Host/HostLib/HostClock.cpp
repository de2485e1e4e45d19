/** @file
  The virtual clock of the host boot services: Stall advances it without
  sleeping, counts the calls by duration, calls the registered listeners,
  and aborts a run that stalls past its limits (a hang of the code under
  test). See HostClock.h.

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

EFI_STATUS
EFIAPI
HostStall (
  IN UINTN  Microseconds
  )
{
  mNowMicroseconds += Microseconds;
  mStallCalls++;
  StallHistogram ()[Microseconds]++;

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

  return EFI_SUCCESS;
}

} // namespace

VOID
HostClockFillBootServices (
  IN OUT EFI_BOOT_SERVICES  *BootServices
  )
{
  BootServices->Stall = HostStall;
}

VOID
HostClockResetState (
  VOID
  )
{
  Listeners ().clear ();
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
