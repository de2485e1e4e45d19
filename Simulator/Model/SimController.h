/** @file
  A software model of the maker's RAID controller, seen through the
  EFI_PCI_IO_PROTOCOL that the application uses: the PCI configuration
  header, the register window (status register, doorbell, bring-up
  handshake, queue ports), the frame engine with the command set, fault
  injection and a journal of everything the host did.

  The model is freestanding C++: EDK II base types, no C or C++ runtime, no
  global constructors. Memory and time come from the SIM_ENV given at
  creation, so the same sources run in the host unit tests (malloc, the
  virtual clock) and inside a UEFI driver (pool memory, a timer event).

  Typical use in a test:

    SIM_CONFIG  Config;
    SimConfigInit (&Config, MAKER_DEVICE_ID_MODEL_8, 0);
    Config.Drives[Config.DriveCount++] = { 5, 5, 0x01, 0, 0 };   // edit what matters
    SIM_CONTROLLER       *Sim   = SimCreate (&Env, &Config);
    EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);            // hand it to the product
    ... run the product; call SimAdvanceTime () whenever time passes ...
    SimFrameCount (Sim), SimGetFrame (Sim, 0)->Opcode, SimGetCommit (Sim, 0) ...
    SimDestroy (Sim);

  On the host test harness, SIM_HOST (Simulator/Host/SimHost.h) does the
  environment, the handles and the clock. Simulator/README.md describes the
  model and the scenario texts in full.

  This header is the one a user of the model includes. It declares the
  controller's creation, protocol and time, and brings in the rest of the
  interface: SimConfig.h (configuration and environment), SimJournal.h
  (journal and inspection), SimScenario.h (scenario texts and sets) and
  SimPersist.h (the state a controller keeps across a power cut).

  The controller reaches host memory (frames, data buffers) only as a bus
  master would, through the platform side of SimDma.h: the buffers of
  AllocateBuffer, the mappings of Map and the function's attributes. Without
  "dma protected" a device address is the host address.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_CONTROLLER_H_
#define SIM_CONTROLLER_H_

#include "SimConfig.h"
#include "SimJournal.h"

struct SIM_CONTROLLER;

//
// ---------------------------------------------------------------------------
// Creating controllers
// ---------------------------------------------------------------------------
//

/**
  Create one simulated controller.

  @param[in] Env     Memory and time; copied.
  @param[in] Config  The configuration; copied.

  @return The controller, or NULL when the configuration fails
          SimCheckConfig or there is no memory.
**/
SIM_CONTROLLER *
SimCreate (
  IN CONST SIM_ENV     *Env,
  IN CONST SIM_CONFIG  *Config
  );

/**
  Release a controller and everything it holds (committed components
  included). Frames still waiting for a delayed answer are never answered.

  @param[in] Sim  The controller, or NULL.
**/
VOID
SimDestroy (
  IN SIM_CONTROLLER  *Sim
  );

/**
  @return The controller's EFI_PCI_IO_PROTOCOL. Its Mem, Io and Pci.Read
          reach the model. GetLocation answers the configured location;
          GetBarAttributes answers, for each BAR as the PCI bus driver numbers
          them (a 64-bit memory BAR takes two slots and one index), one QWORD
          address-space descriptor and an end tag in memory from
          SIM_ENV.AllocateForCaller (EFI_UNSUPPORTED for an unused BAR, an
          index beyond the BARs, or BarAttributesUnsupported); both are
          counted, not journaled. Attributes, Map, Unmap, AllocateBuffer and
          FreeBuffer are the platform side of SimDma.h (counted there, not in
          the access journal); register accesses need the decoding of their
          space enabled. PollMem, PollIo, CopyMem, Flush, SetBarAttributes
          and Pci.Write answer EFI_UNSUPPORTED (journaled).
**/
EFI_PCI_IO_PROTOCOL *
SimGetPciIo (
  IN SIM_CONTROLLER  *Sim
  );

/**
  @param[in] PciIo  A protocol instance.

  @return The controller that owns it, or NULL when it is not a simulated
          controller's.
**/
SIM_CONTROLLER *
SimFromPciIo (
  IN EFI_PCI_IO_PROTOCOL  *PciIo
  );

/**
  @return The configuration the controller was created with.
**/
CONST SIM_CONFIG *
SimGetConfig (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  Tell the controller the time: every delayed answer that is due by NowUs is
  executed and written, in posting order. Time never goes back; an earlier
  NowUs is taken as the latest time seen.

  @param[in] Sim    The controller.
  @param[in] NowUs  Current time in microseconds.
**/
VOID
SimAdvanceTime (
  IN SIM_CONTROLLER  *Sim,
  IN UINT64          NowUs
  );

/**
  @return Number of frames posted whose delayed answer is still to come.
**/
UINT32
SimPendingCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

#include "SimScenario.h"
#include "SimPersist.h"

#endif
