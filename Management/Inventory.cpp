/** @file
  Controller inventory and listing: once per run every controller found is
  asked for its information and three pieces of battery data, kept in static
  response areas with one entry per controller slot; the listing prints the
  banner, a row per enabled controller and the usage text.

  A controller whose information request fails is disabled: it has no row in
  the listing and every later request to it is refused.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "../CtlFlash.h"
#include "../CtlFlashVersion.h"

CTRL_INFO_RESPONSE   mCtrlInfo[MAX_CONTROLLERS];
BBU_STATUS_RESPONSE  mBbuStatus[MAX_CONTROLLERS];
BBU_INFO_RESPONSE    mBbuInfo[MAX_CONTROLLERS];
BBU_0507_RESPONSE    mBbu0507[MAX_CONTROLLERS];

namespace {

constexpr UINTN  PRODUCT_NAME_MAX = CTRL_INFO_RESPONSE_SIZE - CTRL_INFO_PRODUCT_NAME;
constexpr UINTN  BATTERY_NAME_MAX = sizeof (BBU_INFO_RESPONSE::Name);

///
/// Names as printed: a name that is not NUL-terminated inside its record is
/// cut at the end of the record, never read beyond it, and a byte outside
/// printable ASCII shows as '?' (a controller's name is its own bytes:
/// control characters would reach the console as they are).
///
CHAR8  mProductNameText[PRODUCT_NAME_MAX + 1];
CHAR8  mBatteryNameText[BATTERY_NAME_MAX + 1];

///
/// Battery type names by type code; codes from 6 on, and 5 with a non-zero
/// variant, take the name that the controller supplies.
///
constexpr UINT8         BATTERY_TYPE_NAMED_BY_VARIANT = 5;
constexpr CONST CHAR8   *mBatteryTypeNames[] = { "None", "Velka", "BBU", "DORNIS_OLD", "Tavesk", "Sorvik" };

/**
  Copy a name of at most Size bytes that may lack its NUL into Text, which
  has Size + 1 bytes, and terminate it; bytes outside 0x20 to 0x7E become
  '?'.
**/
CONST CHAR8 *
TerminatedName (
  OUT CHAR8        *Text,
  IN  CONST CHAR8  *Name,
  IN  UINTN        Size
  )
{
  UINTN  Length = 0;

  while ((Length < Size) && (Name[Length] != 0)) {
    UINT8  Byte = static_cast<UINT8> (Name[Length]);

    Text[Length] = ((Byte >= 0x20) && (Byte <= 0x7E)) ? Name[Length] : '?';
    Length++;
  }

  Text[Length] = 0;
  return Text;
}

///
/// One query into its response area. A failed request leaves the area zero:
/// on a platform that bounces DMA, unmapping copies the whole bounce buffer
/// back, whatever the controller wrote, so a request that failed without
/// writing would leave the bounce buffer's old bytes behind.
///
UINT8
QueryInto (
  IN  CONTROLLER_CONTEXT  *Controller,
  IN  UINT32              Opcode,
  OUT VOID                *Area,
  IN  UINT32              Size
  )
{
  UINT8  Status = RequestFromController (Controller, Opcode, 0, Area, Size);

  if (Status != 0) {
    gBS->SetMem (Area, Size, 0);
  }

  return Status;
}

} // namespace

//
// The battery answers are not checked: an entry whose request failed stays
// zero.
//
VOID
CollectControllerInventory (
  VOID
  )
{
  gBS->SetMem (mCtrlInfo, sizeof (mCtrlInfo), 0);
  gBS->SetMem (mBbuStatus, sizeof (mBbuStatus), 0);
  gBS->SetMem (mBbuInfo, sizeof (mBbuInfo), 0);
  gBS->SetMem (mBbu0507, sizeof (mBbu0507), 0);

  for (UINT32 Slot = 0; Slot < mControllerTable.ControllerCount && Slot < MAX_CONTROLLERS; Slot++) {
    CONTROLLER_CONTEXT  *Controller = GetControllerContext (Slot);

    if (QueryInto (Controller, OP_CTRL_INFO, &mCtrlInfo[Slot], sizeof (mCtrlInfo[Slot])) != 0) {
      Controller->Disabled = TRUE;
      continue;
    }

    QueryInto (Controller, OP_BBU_STATUS, &mBbuStatus[Slot], sizeof (mBbuStatus[Slot]));
    QueryInto (Controller, OP_BBU_INFO, &mBbuInfo[Slot], sizeof (mBbuInfo[Slot]));
    QueryInto (Controller, OP_BBU_0507, &mBbu0507[Slot], sizeof (mBbu0507[Slot]));
  }
}

//
// The returned text stays valid until the next call.
//
CONST CHAR8 *
GetBatteryTypeName (
  IN UINT32  Slot
  )
{
  CONST BBU_STATUS_RESPONSE  &Status = mBbuStatus[Slot];

  if ((Status.Type < BATTERY_TYPE_NAMED_BY_VARIANT) ||
      ((Status.Type == BATTERY_TYPE_NAMED_BY_VARIANT) && (Status.TypeVariant == 0)))
  {
    return mBatteryTypeNames[Status.Type];
  }

  return TerminatedName (mBatteryNameText, mBbuInfo[Slot].Name, BATTERY_NAME_MAX);
}

CONST CHAR8 *
GetProductName (
  IN UINT32  Slot
  )
{
  return TerminatedName (
           mProductNameText,
           reinterpret_cast<CONST CHAR8 *> (&mCtrlInfo[Slot].Bytes[CTRL_INFO_PRODUCT_NAME]),
           PRODUCT_NAME_MAX
           );
}

VOID
PrintControllerListing (
  VOID
  )
{
  AsciiPrint ("\n                   ORN TQ Firmware update tool v" CTLFLASH_VERSION_STRING "\n");
  AsciiPrint ("\n%-5a %-13a %-6a %-6a %-6a %-6a %-30a", "idx", "BBU/SuperCap", "vid", "did", "svid", "sdid", "Product name");
  AsciiPrint ("\n-------------------------------------------------------------------------------");

  for (UINT32 Slot = 0; Slot < mControllerTable.ControllerCount && Slot < MAX_CONTROLLERS; Slot++) {
    CONST CONTROLLER_CONTEXT  *Controller = GetControllerContext (Slot);

    if (Controller->Disabled) {
      continue;
    }

    AsciiPrint (
      "\n%-5d %-13a %-6x %-6x %-6x %-6x %-30a",
      Slot,
      GetBatteryTypeName (Slot),
      Controller->VendorId,
      Controller->DeviceId,
      Controller->SubsystemVendorId,
      Controller->SubsystemId,
      GetProductName (Slot)
      );
  }

  //
  // Every controller that an update left a record for is named under the
  // table.
  //
  PrintUpdateRecordNotes ();

  AsciiPrint ("\n\n");
  AsciiPrint ("Command for Firmware update:\nctlflash.efi FwFile idx [force]\n");
  AsciiPrint ("[force] - Ignore VD write policy, while updating the firmware\n");
}
