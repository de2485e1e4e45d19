/** @file
  Update and check runs: the target argument, the controllers it selects,
  one loaded image for all of them, and what each run reports (the closing
  messages, the result lines and the Update records).

  Result lines, one per run, after the messages of the update:
    ctlflash result: SUCCESS, controller 0 at 0000:03:00.0, exit status 0x0
    ctlflash result: FAILED, controller 1 at 0000:04:00.0, exit status 0x7
    ctlflash result: FAILED, no controller, exit status 0x2
  With "all", one line per controller comes first (prefix "ctlflash
  controller: ", words SUCCESS, FAILED, SKIPPED), then the summary:
    ctlflash result: SUCCESS, all: 2 succeeded, 0 failed, 1 skipped, exit status 0x0
  "ctlflash result: SUCCESS" appears exactly in the runs that exit with
  EFI_SUCCESS.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "UpdateRun.h"
#include "CommandLine.h"
#include "StandardFormat.h"
#include "../Image/ImageFormat.h"

namespace {

constexpr UINTN   RESULT_SUBJECT_SIZE = 96;

///
/// The result line that the run owes. Cleared by ResetResultLine at the
/// start of a command line, set by the update run (or by NoteRunRefused)
/// once the run knows what it is about, printed by PrintResultLine at the
/// very end, with the exit status.
///
struct RESULT_LINE {
  BOOLEAN    Due;
  CHAR8      Subject[RESULT_SUBJECT_SIZE];
};

RESULT_LINE  mResultLine;

constexpr UINTN   TYPE_CODE_LENGTH = 4;
constexpr UINT32  DRIVES_SHOWN_MAX = 64;

///
/// Room for every component as "TTTT:4294967295" and a blank.
///
constexpr UINTN  COMPONENT_TEXT_SIZE = MAX_IMAGE_COMPONENTS * 16 + 1;

///
/// Room for every drive number as "255" and a blank.
///
constexpr UINTN  DRIVE_TEXT_SIZE = DRIVES_SHOWN_MAX * 4 + 1;

///
/// What a run knows of the image file. Filled once per run, after the file
/// is read; Loaded stays FALSE when it could not be.
///
struct RUN_FILE {
  CONST CHAR8    *Name;
  BOOLEAN        Loaded;
  UINT32         Crc32;
};

///
/// The tally of an "all" run, and its exit status (the first failure's).
///
struct RUN_TALLY {
  UINT32        Succeeded;
  UINT32        Failed;
  UINT32        Skipped;
  EFI_STATUS    FirstFailure;
};

BOOLEAN
IsDecimalDigit (
  IN CHAR16  Character
  )
{
  return (Character >= L'0') && (Character <= L'9');
}

CONST CHAR8 *
OutcomeWord (
  IN CONTROLLER_OUTCOME  Outcome
  )
{
  switch (Outcome) {
    case CONTROLLER_OUTCOME::UPDATED:
      return "updated";
    case CONTROLLER_OUTCOME::PASSED:
      return "passed";
    case CONTROLLER_OUTCOME::SKIPPED:
      return "skipped";
    case CONTROLLER_OUTCOME::FLASHED_NOT_RESTORED:
      return "flashed-not-restored";
    default:
      return "failed";
  }
}

CONTROLLER_OUTCOME
OutcomeOf (
  IN CONST UPDATE_OUTCOME  &Outcome
  )
{
  if (Outcome.Status == EFI_SUCCESS) {
    return mCheckOnly ? CONTROLLER_OUTCOME::PASSED : CONTROLLER_OUTCOME::UPDATED;
  }

  return Outcome.FirmwareWritten ? CONTROLLER_OUTCOME::FLASHED_NOT_RESTORED : CONTROLLER_OUTCOME::FAILED;
}

///
/// The components field: "TYPE:size" for each of the first Count entries
/// of the component table, separated by blanks.
///
VOID
ComponentText (
  OUT CHAR8   *Text,
  IN  UINTN   Size,
  IN  UINT32  Count
  )
{
  UINTN  Used = 0;

  Text[0] = 0;
  for (UINT32 Index = 0; (Index < Count) && (Index < MAX_IMAGE_COMPONENTS); Index++) {
    CONST UINT8  *Header = mComponentTable[Index].Header;
    CHAR8        Type[TYPE_CODE_LENGTH + 1];

    for (UINTN Byte = 0; Byte < TYPE_CODE_LENGTH; Byte++) {
      Type[Byte] = static_cast<CHAR8> (Header[COMPONENT_TYPE_OFFSET + Byte]);
    }

    Type[TYPE_CODE_LENGTH] = 0;
    Used += AsciiSPrint (
              Text + Used,
              Size - Used,
              "%a%a:%u",
              (Index == 0) ? "" : " ",
              Type,
              ReadUnaligned32 (reinterpret_cast<CONST UINT32 *> (&Header[COMPONENT_SIZE_OFFSET]))
              );
  }
}

///
/// The drives field: the VD numbers of the drives left in write-through,
/// separated by blanks.
///
VOID
DriveText (
  OUT CHAR8  *Text,
  IN  UINTN  Size
  )
{
  UINT8   VdIds[DRIVES_SHOWN_MAX];
  UINT32  Count = MIN (ListDrivesLeftInWriteThrough (VdIds, DRIVES_SHOWN_MAX), DRIVES_SHOWN_MAX);
  UINTN   Used  = 0;

  Text[0] = 0;
  for (UINT32 Index = 0; Index < Count; Index++) {
    Used += AsciiSPrint (Text + Used, Size - Used, "%a%u", (Index == 0) ? "" : " ", VdIds[Index]);
  }
}

/**
  The Update record of one controller:
    Update,"index","location","vid","did","svid","sdid","file","crc32",
           "components","drives","outcome","status"

  Components and drives are written only when the update got as far as the
  image (GuardRan: the write-cache guard ran for this controller, so its
  record of switched drives is this controller's).
**/
VOID
WriteSfoUpdateRecord (
  IN UINT32                    Index,
  IN CONST RUN_FILE            &File,
  IN CONST UPDATE_OUTCOME      &Outcome,
  IN CONTROLLER_OUTCOME        Word,
  IN BOOLEAN                   GuardRan
  )
{
  if (!SfoIsOn ()) {
    return;
  }

  CONST CONTROLLER_CONTEXT  *Controller = GetControllerContext (Index);
  CHAR8                     Components[COMPONENT_TEXT_SIZE];
  CHAR8                     Drives[DRIVE_TEXT_SIZE];

  Components[0] = 0;
  Drives[0]     = 0;
  if (GuardRan) {
    ComponentText (Components, sizeof (Components), Outcome.Components);
    DriveText (Drives, sizeof (Drives));
  }

  SfoRecordBegin ("Update");
  SfoFieldDecimal (Index);
  SfoFieldText (Controller->Location);
  SfoFieldHex (Controller->VendorId, 4);
  SfoFieldHex (Controller->DeviceId, 4);
  SfoFieldHex (Controller->SubsystemVendorId, 4);
  SfoFieldHex (Controller->SubsystemId, 4);
  SfoFieldText (File.Name);
  if (File.Loaded) {
    SfoFieldHex (File.Crc32, 8);
  } else {
    SfoFieldText (NULL);
  }

  SfoFieldText (Components);
  SfoFieldText (Drives);
  SfoFieldText (OutcomeWord (Word));
  SfoFieldHex (ShownStatus (Outcome.Status), 0);
  SfoRecordEnd ();
}

///
/// The closing message of one controller's update or check.
///
VOID
PrintClosingMessage (
  IN CONST UPDATE_OUTCOME  &Outcome
  )
{
  if (mCheckOnly) {
    if (Outcome.Status == EFI_SUCCESS) {
      AsciiPrint ("\nCheck passed: the update would go ahead..\n");
    } else {
      AsciiPrint ("\nCheck failed: the update would not go ahead..");
    }
  } else if (Outcome.FirmwareWritten) {
    AsciiPrint ("\nSuccessfully updated firmware..\n");
  } else {
    AsciiPrint ("\nUpdated failed..");
  }
}

/**
  Update or check one controller with the loaded image. A controller that
  did not answer the inventory is refused before anything is sent.

  @return The outcome; GuardRan tells whether the image reached the
          controller's update (see WriteSfoUpdateRecord).
**/
UPDATE_OUTCOME
UpdateOne (
  IN  UINT32       Index,
  IN  CONST CHAR8  *FileName,
  IN  CONST UINT8  *Image,
  IN  UINT32       FileLength,
  OUT BOOLEAN      *GuardRan
  )
{
  CONTROLLER_CONTEXT  *Controller = GetControllerContext (Index);
  UPDATE_OUTCOME      Outcome     = { EFI_NO_RESPONSE, FALSE, 0 };

  *GuardRan = FALSE;
  if (Controller->Disabled || Controller->NotAnswering) {
    AsciiPrint ("\nController %d did not answer; it is not updated..", Index);
    return Outcome;
  }

  Outcome = UpdateFirmwareFromImage (FileName, Image, FileLength, Controller);

  //
  // Only a refused image ends the update before the write-cache guard.
  //
  *GuardRan = (Outcome.Status != EFI_UNSUPPORTED);
  PrintClosingMessage (Outcome);
  return Outcome;
}

///
/// TRUE when the image names the controller in its support table.
///
BOOLEAN
ImageSupports (
  IN CONST UINT8               *Image,
  IN UINT32                    FileLength,
  IN CONST CONTROLLER_CONTEXT  *Controller
  )
{
  CONST UINT16  Ids[] = {
    Controller->VendorId,
    Controller->DeviceId,
    Controller->SubsystemVendorId,
    Controller->SubsystemId
  };

  return CheckImageSignature (Image, FileLength) && IsControllerSupported (Ids);
}

///
/// Read the image file once for the whole run, its signature first, so
/// that a file that is no image is refused at once rather than after all of
/// it has been read. NULL when it cannot be read (the file layer has said
/// why; Status EFI_LOAD_ERROR) or has no signature (nothing said yet;
/// Status EFI_UNSUPPORTED).
///
UINT8 *
LoadRunImage (
  IN OUT RUN_FILE    *File,
  OUT    UINT32      *FileLength,
  OUT    EFI_STATUS  *Status
  )
{
  BOOLEAN  NoSignature = FALSE;

  if (mCheckOnly) {
    AsciiPrint ("\nCheck only: nothing is written to the controller.");
  }

  UINT8  *Image = static_cast<UINT8 *> (
                    LoadFileWithHead (File->Name, IMAGE_SIGNATURE, IMAGE_SIGNATURE_SIZE, FileLength, &NoSignature)
                    );

  if (Image == NULL) {
    *Status = NoSignature ? EFI_UNSUPPORTED : EFI_LOAD_ERROR;
    return NULL;
  }

  *Status      = EFI_SUCCESS;
  File->Loaded = TRUE;
  if (EFI_ERROR (gBS->CalculateCrc32 (Image, *FileLength, &File->Crc32))) {
    File->Crc32 = 0;
  }

  return Image;
}

/**
  The run of one controller, chosen by index or location: the index has
  been checked against the controller count.
**/
EFI_STATUS
RunSingle (
  IN UINT32      Index,
  IN RUN_FILE    *File
  )
{
  CONST CONTROLLER_CONTEXT  *Controller = GetControllerContext (Index);
  UPDATE_OUTCOME            Outcome     = { EFI_NO_RESPONSE, FALSE, 0 };
  BOOLEAN                   GuardRan    = FALSE;
  UINT32                    FileLength  = 0;

  if (Controller->Disabled || Controller->NotAnswering) {
    //
    // Refused before the file is read: an update attempt could only fail
    // further on, with a message that says nothing about the real cause.
    //
    AsciiPrint ("\nController %d did not answer; it is not updated..", Index);
  } else {
    UINT8  *Image = LoadRunImage (File, &FileLength, &Outcome.Status);

    if (Image == NULL) {
      if (Outcome.Status == EFI_UNSUPPORTED) {
        AsciiPrint ("\nFirmware image doesn't support this controller..");
      }

      PrintClosingMessage (Outcome);
    } else {
      POOL_GUARD  ImageBuffer (Image);

      Outcome = UpdateOne (Index, File->Name, Image, FileLength, &GuardRan);
    }
  }

  WriteSfoUpdateRecord (Index, *File, Outcome, OutcomeOf (Outcome), GuardRan);
  mResultLine.Due = TRUE;
  AsciiSPrint (mResultLine.Subject, sizeof (mResultLine.Subject), "controller %u at %a", Index, Controller->Location);
  return Outcome.Status;
}

/**
  The run of "all": every controller in index order, the unsupported ones
  skipped.

  Exit status: EFI_SUCCESS when no controller failed and at least one was
  updated (or passed its check); otherwise the status of the first
  controller that failed; EFI_UNSUPPORTED when every controller was
  skipped; EFI_LOAD_ERROR when the file cannot be read.
**/
EFI_STATUS
RunAll (
  IN RUN_FILE  *File
  )
{
  RUN_TALLY  Tally      = { 0, 0, 0, EFI_SUCCESS };
  UINT32     FileLength = 0;
  UINT8      *Image     = LoadRunImage (File, &FileLength, &Tally.FirstFailure);

  if (Image == NULL) {
    if (Tally.FirstFailure == EFI_UNSUPPORTED) {
      AsciiPrint ("\nFirmware image doesn't support any controller: the file has no image signature..");
    }
  } else {
    POOL_GUARD  ImageBuffer (Image);

    for (UINT32 Index = 0; Index < mControllerTable.ControllerCount; Index++) {
      CONTROLLER_CONTEXT  *Controller = GetControllerContext (Index);
      UPDATE_OUTCOME      Outcome     = { EFI_SUCCESS, FALSE, 0 };
      BOOLEAN             GuardRan    = FALSE;
      CONTROLLER_OUTCOME  Word;

      AsciiPrint ("\n\nController %u at %a:", Index, Controller->Location);
      if (!Controller->Disabled && !ImageSupports (Image, FileLength, Controller)) {
        AsciiPrint ("\nSkipped: the image does not support this controller..");
        Word = CONTROLLER_OUTCOME::SKIPPED;
        Tally.Skipped++;
      } else {
        Outcome = UpdateOne (Index, File->Name, Image, FileLength, &GuardRan);
        Word    = OutcomeOf (Outcome);
        if (Outcome.Status == EFI_SUCCESS) {
          Tally.Succeeded++;
        } else {
          if (Tally.Failed == 0) {
            Tally.FirstFailure = Outcome.Status;
          }

          Tally.Failed++;
        }
      }

      WriteSfoUpdateRecord (Index, *File, Outcome, Word, GuardRan);
      AsciiPrint (
        "\nctlflash controller: %a, controller %u at %a, status 0x%lx",
        (Word == CONTROLLER_OUTCOME::SKIPPED) ? "SKIPPED" : ((Outcome.Status == EFI_SUCCESS) ? "SUCCESS" : "FAILED"),
        Index,
        Controller->Location,
        ShownStatus (Outcome.Status)
        );
    }

    if ((Tally.Failed == 0) && (Tally.Succeeded == 0)) {
      Tally.FirstFailure = EFI_UNSUPPORTED;
    }
  }

  mResultLine.Due = TRUE;
  AsciiSPrint (
    mResultLine.Subject,
    sizeof (mResultLine.Subject),
    "all: %u succeeded, %u failed, %u skipped",
    Tally.Succeeded,
    Tally.Failed,
    Tally.Skipped
    );
  return Tally.FirstFailure;
}

} // namespace

UINT64
ShownStatus (
  IN EFI_STATUS  Status
  )
{
  return static_cast<UINT64> (Status) & ~static_cast<UINT64> (MAX_BIT);
}

BOOLEAN
ParseTarget (
  IN  CONST CHAR16   *Text,
  OUT UPDATE_TARGET  *Target
  )
{
  if (StrCmp (Text, CTL_WSTR ("all")) == 0) {
    Target->Kind = TARGET_KIND::ALL;
    return TRUE;
  }

  if (ParsePciLocation (Text, &Target->Location)) {
    Target->Kind = TARGET_KIND::LOCATION;
    return TRUE;
  }

  UINT64  Value = 0;

  if (*Text == 0) {
    return FALSE;
  }

  for ( ; *Text != 0; Text++) {
    if (!IsDecimalDigit (*Text)) {
      return FALSE;
    }

    Value = Value * 10 + (*Text - L'0');
    if (Value > MAX_UINT32) {
      return FALSE;
    }
  }

  Target->Kind  = TARGET_KIND::INDEX;
  Target->Index = static_cast<UINT32> (Value);
  return TRUE;
}

BOOLEAN
FindControllerAt (
  IN  CONST PCI_LOCATION  *Location,
  OUT UINT32              *Index
  )
{
  for (UINT32 Slot = 0; Slot < mControllerTable.ControllerCount; Slot++) {
    PCI_LOCATION  Found;

    if (ParsePciLocationAscii (GetControllerContext (Slot)->Location, &Found) && PciLocationsEqual (&Found, Location)) {
      *Index = Slot;
      return TRUE;
    }
  }

  return FALSE;
}

VOID
ResetResultLine (
  VOID
  )
{
  mResultLine.Due        = FALSE;
  mResultLine.Subject[0] = 0;
}

VOID
NoteRunRefused (
  VOID
  )
{
  mResultLine.Due = TRUE;
  AsciiStrCpyS (mResultLine.Subject, sizeof (mResultLine.Subject), "no controller");
}

VOID
PrintResultLine (
  IN EFI_STATUS  Status
  )
{
  if (!mResultLine.Due) {
    return;
  }

  AsciiPrint (
    "\nctlflash result: %a, %a, exit status 0x%lx\n",
    (Status == EFI_SUCCESS) ? "SUCCESS" : "FAILED",
    mResultLine.Subject,
    ShownStatus (Status)
    );
  mResultLine.Due = FALSE;
}

EFI_STATUS
RunUpdate (
  IN CONST CHAR16         *FileName,
  IN CONST UPDATE_TARGET  *Target
  )
{
  CHAR8     NameText[ARGUMENT_BUFFER_SIZE];
  RUN_FILE  File = { UnicodeToAsciiCopy (NameText, FileName), FALSE, 0 };

  if (Target->Kind == TARGET_KIND::ALL) {
    return RunAll (&File);
  }

  UINT32  Index = Target->Index;

  if (Target->Kind == TARGET_KIND::LOCATION) {
    if (!FindControllerAt (&Target->Location, &Index)) {
      for (UINT32 Slot = 0; Slot < mLeftOutTable.Count; Slot++) {
        PCI_LOCATION  LeftOut;

        if (ParsePciLocationAscii (mLeftOutTable.Controllers[Slot].Location, &LeftOut) &&
            PciLocationsEqual (&LeftOut, &Target->Location))
        {
          AsciiPrint ("\nThe controller at %a was left out at bring-up; it is not updated..", mLeftOutTable.Controllers[Slot].Location);
          NoteRunRefused ();
          return EFI_NOT_FOUND;
        }
      }

      AsciiPrint (
        "\nNo controller of this run is at %04x:%02x:%02x.%x..",
        Target->Location.Segment,
        Target->Location.Bus,
        Target->Location.Device,
        Target->Location.Function
        );
      NoteRunRefused ();
      return EFI_NOT_FOUND;
    }
  } else if (Index >= mControllerTable.ControllerCount) {
    AsciiPrint ("\nInvalid controller index (idx = %d) !", static_cast<INT32> (Index));
    NoteRunRefused ();
    return EFI_NOT_FOUND;
  }

  return RunSingle (Index, &File);
}
