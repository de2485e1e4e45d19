/** @file
  Where a function's BAR lies as PCI I/O knows it: the BarIndex of a
  configuration slot, and the platform's description of that BAR. Used by
  the bring-up to find a controller's register window; needs nothing of the
  controller, so it serves any PCI function.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef PCI_WINDOW_H_
#define PCI_WINDOW_H_

#include "../CtlFlash.h"

///
/// One BAR as FindPciWindow found it. Filled by FindPciWindow only.
///
struct PCI_WINDOW {
  UINT8      PciBarIndex;   ///< the index that PCI I/O knows the BAR by
  BOOLEAN    Io;            ///< I/O space (TRUE) or memory space
  UINT64     BusAddress;    ///< the slot's address, as the PCI bus sees it
  UINT64     Length;        ///< the platform's length of the BAR; 0 when it does not describe BARs
};

/**
  The address a configuration slot holds, as the PCI bus sees it: both
  halves of a 64-bit memory BAR, without the flag bits.

  @param[in] Header  The function's first 64 configuration bytes.
  @param[in] Slot    The configuration slot, 0 to 5.

  @return The slot's bus address (0 for a slot out of range).
**/
UINT64
PciSlotAddress (
  IN CONST PCI_TYPE00  *Header,
  IN INT32             Slot
  );

/**
  Find the BAR of one configuration slot.

  The index is counted as EDK II's PCI bus driver numbers BARs: one index
  per BAR in slot order, a 64-bit memory BAR taking two slots. The platform
  then confirms it: GetBarAttributes for that index must describe a
  resource of the slot's type (I/O or memory), of a length that is a BAR
  size the slot's address is aligned to, whose bus address (the descriptor
  gives the host address; adding its translation offset gives the bus
  address) is the slot's. Such a BAR is a window at any address, 0
  included. A slot that the platform does not describe is no window; only
  firmware that answers GetBarAttributes for no index at all is taken at
  the numbering's word, for a slot that holds an address other than 0.

  @param[in]  PciIo   The function's PCI I/O.
  @param[in]  Header  The function's first 64 configuration bytes.
  @param[in]  Slot    The configuration slot, 0 to 5.
  @param[out] Window  The BAR, when found.

  @retval TRUE   The slot holds a BAR that PCI I/O reaches; Window is filled.
  @retval FALSE  No window: the slot is out of range, the upper half of a
                 64-bit BAR, or a BAR that the platform does not describe
                 as the slot says.
**/
BOOLEAN
FindPciWindow (
  IN  EFI_PCI_IO_PROTOCOL  *PciIo,
  IN  CONST PCI_TYPE00     *Header,
  IN  INT32                Slot,
  OUT PCI_WINDOW           *Window
  );

#endif
