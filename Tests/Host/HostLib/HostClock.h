/** @file
  Test-facing control of the virtual clock behind the boot services' Stall:
  Stall advances it and never sleeps, calls the registered listeners, and
  takes a loop that stalls past the limits for a hang. Timer events (no
  notification functions) go off on this clock.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_CLOCK_H_
#define HOST_CLOCK_H_

extern "C" {
#include <Uefi.h>
}

///
/// Called after every Stall, once the clock has advanced.
///
typedef VOID (*HOST_CLOCK_LISTENER)(
  VOID    *Context,
  UINT64  NowMicroseconds
  );

/**
  @return Microseconds of virtual time since the last reset.
**/
UINT64
HostClockNow (
  VOID
  );

/**
  Set the virtual clock back to 0 and forget the Stall statistics. The
  listeners stay registered.
**/
VOID
HostClockReset (
  VOID
  );

/**
  Register a listener; it is called after every Stall until it is removed or
  the host state is reset. The same pair may be registered once.

  @param[in] Listener  The function to call.
  @param[in] Context   Handed to Listener unchanged.
**/
VOID
HostClockAddListener (
  IN HOST_CLOCK_LISTENER  Listener,
  IN VOID                 *Context
  );

/**
  Remove a listener registered with the same pair. Removing a pair that is
  not registered (for instance after HostReset) does nothing.
**/
VOID
HostClockRemoveListener (
  IN HOST_CLOCK_LISTENER  Listener,
  IN VOID                 *Context
  );

/**
  @return Number of Stall calls since the last reset of the clock.
**/
UINT64
HostStallCount (
  VOID
  );

/**
  @param[in] Microseconds  A Stall duration.

  @return Number of Stall calls with exactly that duration since the last
          reset of the clock.
**/
UINT64
HostStallCountOf (
  IN UINTN  Microseconds
  );

/**
  Bound the virtual time and the number of Stall calls of one test. A product
  loop that runs past either bound is taken for a hang: the failure is
  reported and the process aborts (each test runs in its own process under
  CTest). Defaults: 48 hours and 50,000,000 calls; HostReset restores them.

  @param[in] MaxMicroseconds  Virtual time limit.
  @param[in] MaxStallCalls    Stall call limit.
**/
VOID
HostClockSetLimits (
  IN UINT64  MaxMicroseconds,
  IN UINT64  MaxStallCalls
  );

/**
  Let time pass without a Stall (a slow device, say): the clock advances,
  listeners are called and timers go off as for a Stall, but no Stall call
  is counted.

  @param[in] Microseconds  How long.
**/
VOID
HostClockAdvance (
  IN UINT64  Microseconds
  );

/**
  @return Number of events created and not closed since the last reset.
**/
UINTN
HostOpenEventCount (
  VOID
  );

#endif
