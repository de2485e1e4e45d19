/** @file
  The private protocol through which ctlsimctl.efi reaches the simulated
  controllers of CtlSimDxe: replace them by those of another scenario, and
  look at each controller's model (journal, drives, commits) through the
  functions of SimController.h.

  The driver installs one instance on its image handle.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CTL_SIM_CONTROL_H_
#define CTL_SIM_CONTROL_H_

#include "../Model/SimController.h"

#define CTL_SIM_CONTROL_PROTOCOL_GUID \
  { 0x9ad84c6f, 0xfccb, 0x4aff, { 0xb1, 0xc4, 0xb5, 0xa0, 0x14, 0x9a, 0x53, 0xa8 } }

///
/// Vendor GUID of the device-path node of each simulated controller's
/// handle; the node's data is the controller's index (UINT32).
///
#define CTL_SIM_DEVICE_PATH_GUID \
  { 0x6f7f727a, 0xb2cb, 0x467e, { 0xa7, 0x34, 0x44, 0x44, 0xa4, 0xb3, 0x91, 0x00 } }

#define CTL_SIM_CONTROL_REVISION  2

///
/// Vendor GUID of the driver's variables that keep the persistent state of
/// "persistent" controllers.
///
#define CTL_SIM_STATE_VARIABLE_GUID \
  { 0x81f370b8, 0xcd06, 0x4357, { 0xb2, 0x6f, 0x8b, 0xe8, 0xc9, 0x59, 0x83, 0x18 } }

struct CTL_SIM_CONTROL_PROTOCOL;

/**
  Replace every simulated controller by those of a scenario text: the old
  handles are uninstalled and their models destroyed, one handle is
  installed per new controller. When the text does not parse, nothing
  changes.

  @param[in]  This    The protocol.
  @param[in]  Text    Scenario text (need not be NUL-terminated).
  @param[in]  Length  Its length in bytes.
  @param[out] Error   Receives the line and reason of a parse error.

  @retval EFI_SUCCESS            The new controllers are installed.
  @retval EFI_INVALID_PARAMETER  The text does not parse; Error says why.
  @retval EFI_OUT_OF_RESOURCES   No memory for the new controllers.
  @return Another status from installing a handle.
**/
typedef
EFI_STATUS
(EFIAPI *CTL_SIM_LOAD)(
  IN  CTL_SIM_CONTROL_PROTOCOL  *This,
  IN  CONST CHAR8               *Text,
  IN  UINTN                     Length,
  OUT SIM_PARSE_ERROR           *Error
  );

/**
  @return Number of simulated controllers installed now.
**/
typedef
UINT32
(EFIAPI *CTL_SIM_GET_COUNT)(
  IN CTL_SIM_CONTROL_PROTOCOL  *This
  );

/**
  @return Controller Index (in scenario order), or NULL beyond the count.
          Valid until the next Load.
**/
typedef
SIM_CONTROLLER *
(EFIAPI *CTL_SIM_GET_CONTROLLER)(
  IN CTL_SIM_CONTROL_PROTOCOL  *This,
  IN UINT32                    Index
  );

/**
  Delete the saved persistent state of every controller installed now, so
  that the next load of the scenario starts from the scenario alone.

  @return Number of saved states deleted.
**/
typedef
UINT32
(EFIAPI *CTL_SIM_CLEAR_STATE)(
  IN CTL_SIM_CONTROL_PROTOCOL  *This
  );

struct CTL_SIM_CONTROL_PROTOCOL {
  UINT32                    Revision;
  CTL_SIM_LOAD              Load;
  CTL_SIM_GET_COUNT         GetControllerCount;
  CTL_SIM_GET_CONTROLLER    GetController;
  CTL_SIM_CLEAR_STATE       ClearState;        ///< from revision 2
};

#endif
