/** @file
  The simulator driver's counter on x86-64: the time-stamp counter.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

extern "C" {
#include <Library/BaseLib.h>
}

#include "../CycleCounter.h"

UINT64
ReadCycleCounter (
  VOID
  )
{
  return AsmReadTsc ();
}
