/** @file
  The Controller records of the machine-readable listing.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ControllerRecords.h"
#include "StandardFormat.h"

namespace {

constexpr UINTN  STATE_TEXT_SIZE = 64;

///
/// Room for a date or the VD numbers of up to 64 drives ("63 " each).
///
constexpr UINTN  RECORD_TEXT_SIZE = 64 * 3 + 1;

VOID
WriteIds (
  IN UINT16  VendorId,
  IN UINT16  DeviceId,
  IN UINT16  SubsystemVendorId,
  IN UINT16  SubsystemId
  )
{
  SfoFieldHex (VendorId, 4);
  SfoFieldHex (DeviceId, 4);
  SfoFieldHex (SubsystemVendorId, 4);
  SfoFieldHex (SubsystemId, 4);
}

///
/// The update-record fields that close every Controller record: what the
/// record is to the controller, when its update began, how far it got, the
/// drives it holds in write-through, and its image. All empty when the
/// controller has no record; only the first when the record is unreadable.
///
VOID
WriteUpdateRecordFields (
  IN CONST CONTROLLER_CONTEXT  *Controller
  )
{
  UPDATE_RECORD_FACTS  Facts;
  CHAR8                Text[RECORD_TEXT_SIZE];

  if (EFI_ERROR (GetUpdateRecordFacts (Controller, &Facts))) {
    Facts.Match = UPDATE_RECORD_MATCH::NONE;
  }

  switch (Facts.Match) {
    case UPDATE_RECORD_MATCH::MATCHES:
      SfoFieldText ("cut-off");
      break;
    case UPDATE_RECORD_MATCH::OTHER_IDS:
      SfoFieldText ("other-ids");
      break;
    case UPDATE_RECORD_MATCH::UNREADABLE:
      SfoFieldText ("unreadable");
      break;
    default:
      SfoFieldText (NULL);
      break;
  }

  BOOLEAN  Known = (Facts.Match == UPDATE_RECORD_MATCH::MATCHES) || (Facts.Match == UPDATE_RECORD_MATCH::OTHER_IDS);

  Text[0] = 0;
  if (Known && Facts.TimeValid) {
    AsciiSPrint (Text, sizeof (Text), "%04u-%02u-%02u %02u:%02u", Facts.Time.Year, Facts.Time.Month, Facts.Time.Day, Facts.Time.Hour, Facts.Time.Minute);
  }

  SfoFieldText (Text);
  if (!Known) {
    SfoFieldText (NULL);
  } else {
    SfoFieldText ((Facts.Stage == UPDATE_RECORD_STAGE::FLASH_STARTED) ? "flash-started" : "drives-switched");
  }

  UINTN  Used = 0;

  Text[0] = 0;
  for (UINT32 Index = 0; Known && (Index < Facts.DriveCount) && (Index < ArrayCount (Facts.VdIds)); Index++) {
    Used += AsciiSPrint (Text + Used, sizeof (Text) - Used, "%a%u", (Index == 0) ? "" : " ", Facts.VdIds[Index]);
  }

  SfoFieldText (Text);
  SfoFieldText (Known ? Facts.ImageName : NULL);
  if (Known) {
    SfoFieldHex (Facts.ImageCrc32, 8);
  } else {
    SfoFieldText (NULL);
  }
}

} // namespace

VOID
WriteControllerRecords (
  VOID
  )
{
  for (UINT32 Slot = 0; Slot < mControllerTable.ControllerCount && Slot < MAX_CONTROLLERS; Slot++) {
    CONST CONTROLLER_CONTEXT  *Controller = GetControllerContext (Slot);

    SfoRecordBegin ("Controller");
    SfoFieldDecimal (Slot);
    SfoFieldText (Controller->Location);
    SfoFieldText ((Controller->Disabled || Controller->NotAnswering) ? "not-answering" : "ready");
    WriteIds (Controller->VendorId, Controller->DeviceId, Controller->SubsystemVendorId, Controller->SubsystemId);
    SfoFieldText (Controller->Disabled ? NULL : GetBatteryTypeName (Slot));
    SfoFieldText (Controller->Disabled ? NULL : GetProductName (Slot));
    WriteUpdateRecordFields (Controller);
    SfoRecordEnd ();
  }

  for (UINT32 Slot = 0; Slot < mLeftOutTable.Count && Slot < MAX_CONTROLLERS; Slot++) {
    CONST LEFT_OUT_CONTROLLER  *Controller = &mLeftOutTable.Controllers[Slot];
    CHAR8                      State[STATE_TEXT_SIZE];
    CONTROLLER_CONTEXT         Probe;

    AsciiSPrint (State, sizeof (State), "left-out: %a", Controller->Reason);
    SfoRecordBegin ("Controller");
    SfoFieldText (NULL);
    SfoFieldText (Controller->Location);
    SfoFieldText (State);
    WriteIds (Controller->VendorId, Controller->DeviceId, Controller->SubsystemVendorId, Controller->SubsystemId);
    SfoFieldText (NULL);
    SfoFieldText (NULL);

    //
    // The record is looked up by location and judged by the IDs that the
    // card showed before it was left out.
    //
    gBS->SetMem (&Probe, sizeof (Probe), 0);
    AsciiStrCpyS (Probe.Location, sizeof (Probe.Location), Controller->Location);
    Probe.VendorId          = Controller->VendorId;
    Probe.DeviceId          = Controller->DeviceId;
    Probe.SubsystemVendorId = Controller->SubsystemVendorId;
    Probe.SubsystemId       = Controller->SubsystemId;
    WriteUpdateRecordFields (&Probe);
    SfoRecordEnd ();
  }
}
