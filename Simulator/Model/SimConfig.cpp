/** @file
  Configurations of simulated controllers, and creating and destroying a
  controller from one.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimControllerState.h"

CONST SUPPORTED_CONTROLLER *
SimRowForDevice (
  IN UINT16  DeviceId
  )
{
  for (CONST SUPPORTED_CONTROLLER &Row : mSupportedControllers) {
    if (Row.DeviceId == DeviceId) {
      return &Row;
    }
  }

  return &mSupportedControllers[0];
}

VOID
SimConfigPlaceWindow (
  IN OUT SIM_CONFIG  *Config,
  IN     UINT32      Index
  )
{
  CONST SUPPORTED_CONTROLLER  *Row = SimRowForDevice (Config->DeviceId);

  SimZeroBytes (Config->Bars, sizeof (Config->Bars));
  if ((Row->BarIndex < 0) || (Row->BarIndex > 5)) {
    return;
  }

  if (Row->AccessSpace == ACCESS_SPACE_IO) {
    Config->Bars[Row->BarIndex].Kind    = SIM_BAR_KIND::IO;
    Config->Bars[Row->BarIndex].Address = 0xC000u + (Index % 0x100) * 0x100u;
  } else {
    Config->Bars[Row->BarIndex].Kind    = SIM_BAR_KIND::MEM32;
    Config->Bars[Row->BarIndex].Address = 0xC0000000u + (Index % 0x100) * 0x100000u;
  }
}

VOID
SimConfigInit (
  OUT SIM_CONFIG  *Config,
  IN  UINT16      DeviceId,
  IN  UINT32      Index
  )
{
  static CONST CHAR8  DefaultName[] = "Simulated RAID Adapter";

  SimZeroBytes (Config, sizeof (*Config));
  Config->VendorId          = MAKER_VENDOR_ID;
  Config->DeviceId          = DeviceId;
  Config->SubsystemVendorId = MAKER_VENDOR_ID;
  Config->SubsystemId       = 0x0001;
  Config->WindowSize        = SIM_DEFAULT_WINDOW_SIZE;
  Config->Location.Bus      = static_cast<UINT8> (3 + Index % 0x100);
  SimConfigPlaceWindow (Config, Index);

  Config->StatusStepCount             = 1;
  Config->StatusSteps[0].Value        = SimFirmwareStatus (FIRMWARE_STATE::READY);
  Config->StatusSteps[0].Reads        = 0;
  Config->StatusSteps[0].DoorbellStep = -1;
  Config->HandshakeWrites             = 1;
  SimCopyBytes (Config->ProductName, DefaultName, sizeof (DefaultName));
}

CONST CHAR8 *
SimCheckConfig (
  IN CONST SIM_CONFIG  *Config
  )
{
  for (UINTN Index = 0; Index < 6; Index++) {
    CONST SIM_BAR_CONFIG  *Bar = &Config->Bars[Index];

    switch (Bar->Kind) {
      case SIM_BAR_KIND::NONE:
        break;
      case SIM_BAR_KIND::IO:
        if ((Bar->Address > 0xFFFFFFFFu) || ((Bar->Address & 0x3) != 0)) {
          return "I/O BAR address must be 32-bit and 4-byte aligned";
        }

        break;
      case SIM_BAR_KIND::MEM32:
        if ((Bar->Address > 0xFFFFFFFFu) || ((Bar->Address & 0xF) != 0)) {
          return "32-bit memory BAR address must be below 4 GiB and 16-byte aligned";
        }

        break;
      case SIM_BAR_KIND::MEM64:
        if (Index == 5) {
          return "BAR 5 cannot hold a 64-bit memory BAR";
        }

        if (Config->Bars[Index + 1].Kind != SIM_BAR_KIND::NONE) {
          return "the BAR after a 64-bit memory BAR holds its upper half and must be unused";
        }

        if ((Bar->Address & 0xF) != 0) {
          return "memory BAR address must be 16-byte aligned";
        }

        break;
      default:
        return "unknown BAR kind";
    }
  }

  if ((Config->Location.Device > 31) || (Config->Location.Function > 7)) {
    return "PCI device numbers go to 31 and function numbers to 7";
  }

  if ((Config->WindowSize < sizeof (UINT32)) || (Config->WindowSize > SIM_MAX_WINDOW_SIZE) ||
      ((Config->WindowSize % sizeof (UINT32)) != 0))
  {
    return "window size must be a multiple of 4 from 4 to 0x10000";
  }

  if ((Config->StatusStepCount == 0) || (Config->StatusStepCount > SIM_MAX_STATUS_STEPS)) {
    return "the status script needs 1 to 16 steps";
  }

  for (UINT32 Index = 0; Index < Config->StatusStepCount; Index++) {
    INT32  Target = Config->StatusSteps[Index].DoorbellStep;

    if ((Target < -1) || (Target >= static_cast<INT32> (Config->StatusStepCount))) {
      return "a doorbell step lies beyond the status script";
    }
  }

  if (SimStringLength (Config->ProductName, sizeof (Config->ProductName)) == sizeof (Config->ProductName)) {
    return "product name is not NUL-terminated";
  }

  if (Config->ProductNameUnterminated && (Config->ProductName[0] == '\0')) {
    return "an unterminated product name cannot be empty";
  }

  if (SimStringLength (Config->BbuName, sizeof (Config->BbuName)) == sizeof (Config->BbuName)) {
    return "battery name is not NUL-terminated";
  }

  if (Config->DriveCount > SIM_MAX_DRIVES) {
    return "too many drives";
  }

  if (Config->FaultCount > SIM_MAX_FAULTS) {
    return "too many fault rules";
  }

  return NULL;
}

SIM_CONTROLLER *
SimCreate (
  IN CONST SIM_ENV     *Env,
  IN CONST SIM_CONFIG  *Config
  )
{
  SIM_CONTROLLER  *Sim;

  if ((Env == NULL) || (Env->Allocate == NULL) || (Env->Free == NULL) || (Config == NULL) ||
      (SimCheckConfig (Config) != NULL))
  {
    return NULL;
  }

  Sim = static_cast<SIM_CONTROLLER *> (Env->Allocate (sizeof (SIM_CONTROLLER)));
  if (Sim == NULL) {
    return NULL;
  }

  SimZeroBytes (Sim, sizeof (*Sim));
  Sim->Signature = SIM_CONTROLLER_SIGNATURE;
  SimCopyBytes (&Sim->Env, Env, sizeof (Sim->Env));
  SimCopyBytes (&Sim->Config, Config, sizeof (Sim->Config));
  SimCopyBytes (&Sim->Row, SimRowForDevice (Config->DeviceId), sizeof (Sim->Row));
  Sim->Row.DeviceId = Config->DeviceId;
  SimDmaInit (&Sim->Dma, Config);
  SimPciIoInit (Sim);
  SimFirmwareInit (Sim);
  return Sim;
}

VOID
SimDestroy (
  IN SIM_CONTROLLER  *Sim
  )
{
  if (Sim == NULL) {
    return;
  }

  VOID (*Free)(VOID *) = Sim->Env.Free;

  SimFirmwareRelease (Sim);
  SimDmaRelease (&Sim->Dma, &Sim->Env);
  Sim->Signature = 0;
  Free (Sim);
}

CONST SIM_CONFIG *
SimGetConfig (
  IN CONST SIM_CONTROLLER  *Sim
  )
{
  return &Sim->Config;
}
