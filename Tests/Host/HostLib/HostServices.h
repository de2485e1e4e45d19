/** @file
  Every control header of the host library instances at once: the whole
  harness (HostHarness.h), the virtual clock (HostClock.h), the handle
  database (HostHandleDatabase.h), the tracked pool
  (HostMemoryAllocationLib.h), the console capture (HostConsole.h) and the
  DEBUG () log and assertions (HostDebugLib.h).

  For code that still expects them all in one place; new code includes the
  headers of what it uses.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_SERVICES_H_
#define HOST_SERVICES_H_

#include "HostClock.h"
#include "HostConsole.h"
#include "HostDebugLib.h"
#include "HostHandleDatabase.h"
#include "HostHarness.h"
#include "HostMemoryAllocationLib.h"

#endif
