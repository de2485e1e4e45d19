/** @file
  Control of the host harness as a whole: HostReset puts every host library
  instance back to the state of a freshly loaded image (the HOST_TEST fixture
  calls it before each test), and HostReportFailure reports a fault that an
  instance detected.

  Each instance has a control header of its own: HostClock.h (Stall),
  HostHandleDatabase.h (LocateHandleBuffer, OpenProtocol), HostConsole.h
  (ConOut and StdErr), HostMemoryAllocationLib.h (the tracked pool),
  HostDebugLib.h (DEBUG () and ASSERT ()) and HostShellLib.h (the shell's
  file functions, which HostReset leaves alone). Tests, the simulator,
  fuzzers and benchmarks include these headers; product code never does.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_HARNESS_H_
#define HOST_HARNESS_H_

extern "C" {
#include <Uefi.h>
}

/**
  Put every piece of host state back to its start: clock at 0 without
  listeners or limits changed from their defaults, no handles, no pool blocks
  (blocks still outstanding are released without a report), fault injection
  off, console and debug log empty, no assertion records, an empty variable
  store with the default clock (HostVariables.h), gBS, gST and gRT
  restored to the host tables.
**/
VOID
HostReset (
  VOID
  );

/**
  Report a fault that the harness detected (double free, a call that must not
  happen, a hang). Inside a GoogleTest test the test fails and goes on;
  outside of one the message goes to stderr and the process aborts.

  @param[in] Format  printf-style format (the host's printf, not EDK II's).
**/
VOID
HostReportFailure (
  IN CONST char  *Format,
  ...
  ) __attribute__ ((format (printf, 1, 2)));

#endif
