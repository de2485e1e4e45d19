/** @file
  Host instances of the processor-specific BaseLib functions that the
  portable EDK II sources cannot provide on the host. The rest of BaseLib
  (strings, math, lists) is EDK II's own code, compiled for the host.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "HostInternal.h"

extern "C" {
#include <Library/BaseLib.h>
}

VOID
EFIAPI
CpuPause (
  VOID
  )
{
}

VOID
EFIAPI
MemoryFence (
  VOID
  )
{
  __atomic_thread_fence (__ATOMIC_SEQ_CST);
}

/**
  A breakpoint on the host would stop the test run: report it instead.
**/
VOID
EFIAPI
CpuBreakpoint (
  VOID
  )
{
  HostReportFailure ("CpuBreakpoint () called");
}

/**
  A dead loop on the host would hang the test run: report it and go on.
**/
VOID
EFIAPI
CpuDeadLoop (
  VOID
  )
{
  HostReportFailure ("CpuDeadLoop () called");
}
