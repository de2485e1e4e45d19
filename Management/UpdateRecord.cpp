/** @file
  The persistent update record (UpdateRecord.h): written before an update
  changes a drive, rewritten once the flash has begun, deleted when every
  drive it names is back in write-back; read by the listing, the check and
  the next update of the same controller; dropped on request.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "UpdateRecord.h"

extern "C" {
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {

EFI_GUID  mRecordGuid = UPDATE_RECORD_VARIABLE_GUID;

///
/// The image of the update under way: its file name and CRC32.
///
struct RECORD_IMAGE {
  CHAR8     Name[UPDATE_RECORD_IMAGE_NAME];
  UINT32    Crc32;
};

RECORD_IMAGE         mRecordImage;
UPDATE_RECORD        mFoundRecord;
UPDATE_RECORD_MATCH  mFoundState;
UPDATE_RECORD        mWrittenRecord;
BOOLEAN              mRecordWritten;
EFI_STATUS           mRecordStatus;

UINTN
RecordSize (
  IN UINT32  DriveCount
  )
{
  return sizeof (UPDATE_RECORD_HEADER) + DriveCount * sizeof (UPDATE_RECORD_DRIVE);
}

///
/// Read the stored record of a location. EFI_NOT_FOUND when there is none,
/// EFI_COMPROMISED_DATA when its bytes are not a whole record.
///
EFI_STATUS
ReadRecord (
  IN  CONST CHAR8    *Location,
  OUT UPDATE_RECORD  *Record
  )
{
  CHAR16         Name[UPDATE_RECORD_NAME_SIZE];
  UPDATE_RECORD  Bytes;
  UINTN          Size       = sizeof (Bytes);
  UINT32         Attributes = 0;

  gBS->SetMem (Record, sizeof (*Record), 0);
  if (!UpdateRecordName (Location, Name)) {
    return EFI_NOT_FOUND;
  }

  EFI_STATUS  Status = gRT->GetVariable (Name, &mRecordGuid, &Attributes, &Size, &Bytes);

  if (Status == EFI_BUFFER_TOO_SMALL) {
    return EFI_COMPROMISED_DATA;
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  return DecodeUpdateRecord (&Bytes, Size, Record) ? EFI_SUCCESS : EFI_COMPROMISED_DATA;
}

BOOLEAN
IdsMatch (
  IN CONST UPDATE_RECORD       *Record,
  IN CONST CONTROLLER_CONTEXT  *Controller
  )
{
  return (Record->Header.VendorId == Controller->VendorId) &&
         (Record->Header.DeviceId == Controller->DeviceId) &&
         (Record->Header.SubsystemVendorId == Controller->SubsystemVendorId) &&
         (Record->Header.SubsystemId == Controller->SubsystemId);
}

///
/// Read and judge the record of a controller by its IDs (the drives are
/// judged by the guard, which reads them).
///
UPDATE_RECORD_MATCH
JudgeRecord (
  IN  CONST CONTROLLER_CONTEXT  *Controller,
  OUT UPDATE_RECORD             *Record
  )
{
  EFI_STATUS  Status = ReadRecord (Controller->Location, Record);

  if (Status == EFI_NOT_FOUND) {
    return UPDATE_RECORD_MATCH::NONE;
  }

  if (EFI_ERROR (Status)) {
    return UPDATE_RECORD_MATCH::UNREADABLE;
  }

  return IdsMatch (Record, Controller) ? UPDATE_RECORD_MATCH::MATCHES : UPDATE_RECORD_MATCH::OTHER_IDS;
}

///
/// " on YYYY-MM-DD hh:mm" when the record holds the time, else "".
///
VOID
DateText (
  IN  CONST UPDATE_RECORD  *Record,
  OUT CHAR8                (&Text)[32]
  )
{
  Text[0] = 0;
  if (Record->Header.TimeValid == 1) {
    CONST EFI_TIME  *Time = &Record->Header.Time;

    AsciiSPrint (Text, sizeof (Text), " on %04u-%02u-%02u %02u:%02u", Time->Year, Time->Month, Time->Day, Time->Hour, Time->Minute);
  }
}

VOID
PrintVdList (
  IN CONST UPDATE_RECORD  *Record
  )
{
  for (UINT32 Index = 0; Index < Record->Header.DriveCount; Index++) {
    AsciiPrint (" VD(%d)", Record->Drives[Index].VdId);
  }
}

///
/// Why a record does not match, for the messages.
///
VOID
PrintMismatchReason (
  IN UPDATE_RECORD_MATCH  Match,
  IN CONST UPDATE_RECORD  *Record,
  IN UINT32               MissingTargetId
  )
{
  switch (Match) {
    case UPDATE_RECORD_MATCH::OTHER_IDS:
      AsciiPrint (
        "it was made for the controller %04X:%04X:%04X:%04X",
        Record->Header.VendorId,
        Record->Header.DeviceId,
        Record->Header.SubsystemVendorId,
        Record->Header.SubsystemId
        );
      break;
    case UPDATE_RECORD_MATCH::DRIVES_GONE:
      AsciiPrint ("its LD(%d) no longer exists", MissingTargetId);
      break;
    default:
      AsciiPrint ("it cannot be read");
      break;
  }
}

UINT32
IndexOf (
  IN CONST CONTROLLER_CONTEXT  *Controller
  )
{
  return static_cast<UINT32> (Controller - mControllerTable.Controllers);
}

} // namespace

BOOLEAN
DecodeUpdateRecord (
  IN  CONST VOID     *Bytes,
  IN  UINTN          Length,
  OUT UPDATE_RECORD  *Record
  )
{
  gBS->SetMem (Record, sizeof (*Record), 0);
  if ((Length < sizeof (UPDATE_RECORD_HEADER)) || (Length > sizeof (UPDATE_RECORD))) {
    return FALSE;
  }

  UPDATE_RECORD  Copy;

  gBS->SetMem (&Copy, sizeof (Copy), 0);
  gBS->CopyMem (&Copy, const_cast<VOID *> (Bytes), Length);

  CONST UPDATE_RECORD_HEADER  *Header = &Copy.Header;

  if ((Header->Signature != UPDATE_RECORD_SIGNATURE) || (Header->Version != UPDATE_RECORD_VERSION)) {
    return FALSE;
  }

  if ((Header->DriveCount == 0) || (Header->DriveCount > UPDATE_RECORD_MAX_DRIVES) ||
      (Header->Size != RecordSize (Header->DriveCount)) || (Header->Size != Length))
  {
    return FALSE;
  }

  if ((Header->Stage != static_cast<UINT8> (UPDATE_RECORD_STAGE::DRIVES_SWITCHED)) &&
      (Header->Stage != static_cast<UINT8> (UPDATE_RECORD_STAGE::FLASH_STARTED)))
  {
    return FALSE;
  }

  for (UINT32 Index = 0; Index < Header->DriveCount; Index++) {
    if ((Copy.Drives[Index].SavedPolicy & LD_CACHE_POLICY_WRITE_BACK) == 0) {
      return FALSE;
    }
  }

  Copy.Header.ImageName[UPDATE_RECORD_IMAGE_NAME - 1] = 0;
  gBS->CopyMem (Record, &Copy, sizeof (Copy));
  return TRUE;
}

BOOLEAN
UpdateRecordName (
  IN  CONST CHAR8  *Location,
  OUT CHAR16       (&Name)[UPDATE_RECORD_NAME_SIZE]
  )
{
  CONST CHAR8  Prefix[] = UPDATE_RECORD_NAME_PREFIX;
  UINTN        Next     = 0;

  Name[0] = 0;
  for (UINTN Index = 0; Prefix[Index] != 0; Index++) {
    Name[Next++] = Prefix[Index];
  }

  for (UINTN Index = 0; Location[Index] != 0; Index++) {
    //
    // Only a location as discovery prints it names a record; "unknown
    // location" has a blank and is no key.
    //
    CHAR8  Character = Location[Index];
    BOOLEAN Allowed  = ((Character >= '0') && (Character <= '9')) || ((Character >= 'A') && (Character <= 'F')) ||
                       ((Character >= 'a') && (Character <= 'f')) || (Character == ':') || (Character == '.');

    if (!Allowed || (Next + 1 >= UPDATE_RECORD_NAME_SIZE)) {
      Name[0] = 0;
      return FALSE;
    }

    Name[Next++] = Character;
  }

  Name[Next] = 0;
  return Next > sizeof (Prefix) - 1;
}

EFI_STATUS
GetUpdateRecordFacts (
  IN  CONST CONTROLLER_CONTEXT  *Controller,
  OUT UPDATE_RECORD_FACTS       *Facts
  )
{
  UPDATE_RECORD  Record;

  gBS->SetMem (Facts, sizeof (*Facts), 0);
  Facts->Match = JudgeRecord (Controller, &Record);
  if ((Facts->Match == UPDATE_RECORD_MATCH::NONE) || (Facts->Match == UPDATE_RECORD_MATCH::UNREADABLE)) {
    return (Facts->Match == UPDATE_RECORD_MATCH::NONE) ? EFI_NOT_FOUND : EFI_SUCCESS;
  }

  Facts->TimeValid  = (Record.Header.TimeValid == 1);
  Facts->Time       = Record.Header.Time;
  Facts->Stage      = static_cast<UPDATE_RECORD_STAGE> (Record.Header.Stage);
  Facts->DriveCount = Record.Header.DriveCount;
  for (UINT32 Index = 0; Index < Record.Header.DriveCount; Index++) {
    Facts->VdIds[Index] = Record.Drives[Index].VdId;
  }

  Facts->ImageCrc32 = Record.Header.ImageCrc32;
  AsciiStrCpyS (Facts->ImageName, sizeof (Facts->ImageName), Record.Header.ImageName);
  return EFI_SUCCESS;
}

VOID
PrintUpdateRecordNotes (
  VOID
  )
{
  UPDATE_RECORD  Record;

  for (UINT32 Index = 0; Index < mControllerTable.ControllerCount; Index++) {
    CONST CONTROLLER_CONTEXT  *Controller = GetControllerContext (Index);

    if (Controller->Disabled) {
      continue;
    }

    UPDATE_RECORD_MATCH  Match = JudgeRecord (Controller, &Record);

    if (Match == UPDATE_RECORD_MATCH::NONE) {
      continue;
    }

    PrintUpdateRecordNote (Controller, Match, &Record);
  }
}

VOID
PrintUpdateRecordNote (
  IN CONST CONTROLLER_CONTEXT  *Controller,
  IN UPDATE_RECORD_MATCH       Match,
  IN CONST UPDATE_RECORD       *Record
  )
{
  CHAR8  Date[32];

  AsciiPrint ("\nController %d at %a: ", IndexOf (Controller), Controller->Location);
  if (Match != UPDATE_RECORD_MATCH::MATCHES) {
    AsciiPrint ("an update record is kept that does not match it (");
    PrintMismatchReason (Match, Record, 0);
    AsciiPrint (").");
    return;
  }

  DateText (Record, Date);
  AsciiPrint ("an update was cut off%a;", Date);
  PrintVdList (Record);
  AsciiPrint (" held in write-through.");
}

VOID
NoteUpdateRecordImage (
  IN CONST CHAR8  *FileName,
  IN CONST VOID   *Image,
  IN UINT32       Length
  )
{
  gBS->SetMem (&mRecordImage, sizeof (mRecordImage), 0);
  AsciiStrnCpyS (mRecordImage.Name, sizeof (mRecordImage.Name), FileName, sizeof (mRecordImage.Name) - 1);
  mRecordImage.Crc32 = CalculateCrc32 (const_cast<VOID *> (Image), Length);
}

BOOLEAN
LoadUpdateRecordForUpdate (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  mRecordWritten = FALSE;
  mRecordStatus  = EFI_SUCCESS;
  gBS->SetMem (&mWrittenRecord, sizeof (mWrittenRecord), 0);

  mFoundState = JudgeRecord (Controller, &mFoundRecord);
  if (mFoundState == UPDATE_RECORD_MATCH::NONE) {
    return TRUE;
  }

  //
  // A check names the record as the listing does; so does a "force"
  // update, which leaves the drives and the record alone.
  //
  if (mCheckOnly || mForceUpdate) {
    PrintUpdateRecordNote (Controller, mFoundState, &mFoundRecord);
  }

  if ((mFoundState == UPDATE_RECORD_MATCH::MATCHES) || mForceUpdate) {
    return TRUE;
  }

  ReportUpdateRecordMismatch (Controller, mFoundState, 0);
  return FALSE;
}

CONST UPDATE_RECORD *
FoundUpdateRecord (
  VOID
  )
{
  return (mFoundState == UPDATE_RECORD_MATCH::MATCHES) ? &mFoundRecord : NULL;
}

VOID
ReportUpdateRecordMismatch (
  IN CONST CONTROLLER_CONTEXT  *Controller,
  IN UPDATE_RECORD_MATCH       Match,
  IN UINT32                    MissingTargetId
  )
{
  mFoundState   = Match;
  mRecordStatus = EFI_ABORTED;
  AsciiPrint ("\nThe update record of the controller at %a does not match it (", Controller->Location);
  PrintMismatchReason (Match, &mFoundRecord, MissingTargetId);
  AsciiPrint (
    "); it is kept and not applied, and the %a does not start. Drop it with \"ctlflash.efi forget %a\" once its drives are seen to.",
    mCheckOnly ? "update would not start" : "update",
    Controller->Location
    );
}

VOID
PrintUpdateRecordTakeOver (
  VOID
  )
{
  CHAR8  Date[32];

  DateText (&mFoundRecord, Date);
  AsciiPrint ("\nWrite-back saved by the update cut off%a for", Date);
  PrintVdList (&mFoundRecord);
  AsciiPrint (mCheckOnly ? ": the update would put it back at the end." : ": it is put back at the end.");
}

EFI_STATUS
WriteUpdateRecord (
  IN CONTROLLER_CONTEXT         *Controller,
  IN CONST UPDATE_RECORD_DRIVE  *Drives,
  IN UINT32                     DriveCount
  )
{
  CHAR16          Name[UPDATE_RECORD_NAME_SIZE];
  UPDATE_RECORD   *Record = &mWrittenRecord;
  UINTN           Segment  = 0;
  UINTN           Bus      = 0;
  UINTN           Device   = 0;
  UINTN           Function = 0;

  gBS->SetMem (Record, sizeof (*Record), 0);
  mRecordStatus = EFI_SUCCESS;

  if ((DriveCount == 0) || (DriveCount > UPDATE_RECORD_MAX_DRIVES)) {
    mRecordStatus = EFI_INVALID_PARAMETER;
  } else if (!UpdateRecordName (Controller->Location, Name) ||
             EFI_ERROR (Controller->PciIo->GetLocation (Controller->PciIo, &Segment, &Bus, &Device, &Function)))
  {
    mRecordStatus = EFI_NOT_FOUND;
  }

  if (EFI_ERROR (mRecordStatus)) {
    AsciiPrint ("\nThe update record cannot be kept (no PCI location to name it by): the update does not start; nothing has been changed.");
    return mRecordStatus;
  }

  Record->Header.Signature         = UPDATE_RECORD_SIGNATURE;
  Record->Header.Version           = UPDATE_RECORD_VERSION;
  Record->Header.Size              = static_cast<UINT16> (RecordSize (DriveCount));
  Record->Header.Stage             = static_cast<UINT8> (UPDATE_RECORD_STAGE::DRIVES_SWITCHED);
  Record->Header.DriveCount        = static_cast<UINT8> (DriveCount);
  Record->Header.Segment           = static_cast<UINT32> (Segment);
  Record->Header.Bus               = static_cast<UINT8> (Bus);
  Record->Header.Device            = static_cast<UINT8> (Device);
  Record->Header.Function          = static_cast<UINT8> (Function);
  Record->Header.VendorId          = Controller->VendorId;
  Record->Header.DeviceId          = Controller->DeviceId;
  Record->Header.SubsystemVendorId = Controller->SubsystemVendorId;
  Record->Header.SubsystemId       = Controller->SubsystemId;
  Record->Header.ImageCrc32        = mRecordImage.Crc32;
  gBS->CopyMem (Record->Header.ImageName, mRecordImage.Name, sizeof (Record->Header.ImageName));
  Record->Header.ImageName[UPDATE_RECORD_IMAGE_NAME - 1] = 0;

  //
  // A platform without a clock still gets its record, without the date.
  //
  if (!EFI_ERROR (gRT->GetTime (&Record->Header.Time, NULL))) {
    Record->Header.TimeValid = 1;
  } else {
    gBS->SetMem (&Record->Header.Time, sizeof (Record->Header.Time), 0);
  }

  gBS->CopyMem (Record->Drives, const_cast<UPDATE_RECORD_DRIVE *> (Drives), DriveCount * sizeof (UPDATE_RECORD_DRIVE));

  mRecordStatus = gRT->SetVariable (Name, &mRecordGuid, UPDATE_RECORD_ATTRIBUTES, Record->Header.Size, Record);
  if (EFI_ERROR (mRecordStatus)) {
    AsciiPrint ("\nThe update record cannot be written (%r): the update does not start; nothing has been changed.", mRecordStatus);
    return mRecordStatus;
  }

  mRecordWritten = TRUE;
  return EFI_SUCCESS;
}

VOID
NoteUpdateRecordFlashStarted (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  CHAR16  Name[UPDATE_RECORD_NAME_SIZE];

  if (!mRecordWritten || (mWrittenRecord.Header.Stage == static_cast<UINT8> (UPDATE_RECORD_STAGE::FLASH_STARTED))) {
    return;
  }

  mWrittenRecord.Header.Stage = static_cast<UINT8> (UPDATE_RECORD_STAGE::FLASH_STARTED);
  if (!UpdateRecordName (Controller->Location, Name)) {
    return;
  }

  //
  // The record written before the switch still names every drive: a
  // failure here loses only the stage, and the flash goes on.
  //
  EFI_STATUS  Status = gRT->SetVariable (Name, &mRecordGuid, UPDATE_RECORD_ATTRIBUTES, mWrittenRecord.Header.Size, &mWrittenRecord);

  if (EFI_ERROR (Status)) {
    AsciiPrint ("\nThe update record could not be brought up to date (%r); it still names the drives.", Status);
  }
}

BOOLEAN
EarlierFlashWasCut (
  VOID
  )
{
  return (mFoundState == UPDATE_RECORD_MATCH::MATCHES) &&
         (mFoundRecord.Header.Stage == static_cast<UINT8> (UPDATE_RECORD_STAGE::FLASH_STARTED));
}

EFI_STATUS
UpdateRecordStatus (
  VOID
  )
{
  return mRecordStatus;
}

VOID
FinishUpdateRecord (
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  CHAR16  Name[UPDATE_RECORD_NAME_SIZE];

  if (!mRecordWritten || (DrivesLeftInWriteThrough () != 0) || !UpdateRecordName (Controller->Location, Name)) {
    return;
  }

  EFI_STATUS  Status = gRT->SetVariable (Name, &mRecordGuid, UPDATE_RECORD_ATTRIBUTES, 0, NULL);

  if (EFI_ERROR (Status) && (Status != EFI_NOT_FOUND)) {
    AsciiPrint ("\nThe update record of the controller at %a could not be deleted (%r); drop it with \"ctlflash.efi forget %a\".", Controller->Location, Status, Controller->Location);
    return;
  }

  mRecordWritten = FALSE;
}

EFI_STATUS
ForgetUpdateRecord (
  IN CONST CHAR8  *Location
  )
{
  CHAR16         Name[UPDATE_RECORD_NAME_SIZE];
  UPDATE_RECORD  Record;
  UINT32         Attributes = 0;
  UINTN          Size       = sizeof (Record);

  if (!UpdateRecordName (Location, Name)) {
    return EFI_INVALID_PARAMETER;
  }

  EFI_STATUS  Status = gRT->GetVariable (Name, &mRecordGuid, &Attributes, &Size, &Record);

  if (Status == EFI_NOT_FOUND) {
    AsciiPrint ("\nNo update record for %a.", Location);
    return EFI_NOT_FOUND;
  }

  Status = gRT->SetVariable (Name, &mRecordGuid, UPDATE_RECORD_ATTRIBUTES, 0, NULL);
  if (EFI_ERROR (Status)) {
    AsciiPrint ("\nThe update record for %a could not be dropped (%r).", Location, Status);
    return Status;
  }

  AsciiPrint ("\nUpdate record for %a dropped.\n", Location);
  return EFI_SUCCESS;
}
