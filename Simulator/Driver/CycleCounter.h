/** @file
  The free-running counter from which the simulator's driver takes the
  time: the time-stamp counter on x86-64, the generic timer's virtual count
  on AArch64. Its rate is measured against Stall when the driver starts.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CTL_SIM_CYCLE_COUNTER_H_
#define CTL_SIM_CYCLE_COUNTER_H_

#include <Uefi.h>

/**
  Read the processor's free-running counter.

  @return The counter's current value; it only grows, at a constant rate.
**/
UINT64
ReadCycleCounter (
  VOID
  );

#endif
