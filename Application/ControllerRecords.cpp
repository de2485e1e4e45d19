/** @file
  The Controller records of the machine-readable listing.
**/

#include "ControllerRecords.h"
#include "StandardFormat.h"

namespace {

constexpr UINTN  STATE_TEXT_SIZE = 64;

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
    SfoFieldText (Controller->Disabled ? "not-answering" : "ready");
    WriteIds (Controller->VendorId, Controller->DeviceId, Controller->SubsystemVendorId, Controller->SubsystemId);
    SfoFieldText (Controller->Disabled ? NULL : GetBatteryTypeName (Slot));
    SfoFieldText (Controller->Disabled ? NULL : GetProductName (Slot));
    SfoRecordEnd ();
  }

  for (UINT32 Slot = 0; Slot < mLeftOutTable.Count && Slot < MAX_CONTROLLERS; Slot++) {
    CONST LEFT_OUT_CONTROLLER  *Controller = &mLeftOutTable.Controllers[Slot];
    CHAR8                      State[STATE_TEXT_SIZE];

    AsciiSPrint (State, sizeof (State), "left-out: %a", Controller->Reason);
    SfoRecordBegin ("Controller");
    SfoFieldText (NULL);
    SfoFieldText (Controller->Location);
    SfoFieldText (State);
    WriteIds (Controller->VendorId, Controller->DeviceId, Controller->SubsystemVendorId, Controller->SubsystemId);
    SfoFieldText (NULL);
    SfoFieldText (NULL);
    SfoRecordEnd ();
  }
}
