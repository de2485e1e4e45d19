/** @file
  The simulator driver's counter on x86-64: the time-stamp counter.
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
