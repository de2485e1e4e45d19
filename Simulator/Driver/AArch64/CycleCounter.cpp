/** @file
  The simulator driver's counter on AArch64: the generic timer's virtual
  count (CNTVCT_EL0), which UEFI firmware leaves running at a constant rate.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "../CycleCounter.h"

UINT64
ReadCycleCounter (
  VOID
  )
{
  UINT64  Value;

  //
  // The instruction barrier keeps the read from being taken early, ahead of
  // the code that the caller is timing.
  //
  __asm__ __volatile__ ("isb\n\tmrs %0, cntvct_el0" : "=r" (Value) : : "memory");
  return Value;
}
