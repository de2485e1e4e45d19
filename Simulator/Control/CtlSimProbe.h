/** @file
  "ctlsimctl probe": the register-window resolution of ctlflash run on the
  PCI I/O of every function in the system, simulated or not, so that its
  answers can be held against what the platform's own PCI bus driver and
  the shell's "pci" command show.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CTL_SIM_PROBE_H_
#define CTL_SIM_PROBE_H_

#include "../../CtlFlash.h"

/**
  Print, for every handle with PCI I/O and every configuration slot of its
  header that FindPciWindow takes for a window, one line:

    "0000:00:10.0 1AF4:1005 slot 0: index 0, io, base 0xC000, length 0x20\n"

  (base: the bus address; "mem" for memory space; length 0 when the
  platform does not describe the BAR). Functions whose header cannot be
  read are named with "header not readable". Needs no simulator.

  @retval 0  The probe ran.
  @retval 1  No PCI I/O in the system.
**/
INTN
ProbePciWindows (
  VOID
  );

#endif
