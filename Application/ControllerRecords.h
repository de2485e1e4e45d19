/** @file
  The machine-readable listing: one Controller record for every supported
  controller that discovery found.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CONTROLLER_RECORDS_H_
#define CONTROLLER_RECORDS_H_

#include "../CtlFlash.h"

/**
  Write one Controller record per supported controller, after discovery and
  inventory: the controllers of the table in index order, then those left
  out at bring-up in the order found.

    Controller,"index","location","state","vid","did","svid","sdid",
               "battery","product"

  The index is empty for a controller left out; the state is "ready",
  "not-answering" (no answer to the inventory; battery and product empty)
  or "left-out: " and the reason that the left-out line shows (battery and
  product empty). IDs are four hexadecimal digits (A-F in upper case). Nothing is
  written while standard-format output is off.
**/
VOID
WriteControllerRecords (
  VOID
  );

#endif
