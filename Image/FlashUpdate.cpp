/** @file
  The update driver: loads a firmware image file, checks it against the
  chosen controller, switches the controller's write-back logical drives to
  write-through, flashes every component in file order through the
  controller's flash commands and restores the cache policies.

  For each component the controller sees: close (ends whatever flash
  operation may still be open), open with the component's size, one download
  per piece of at most 32 KB at increasing offsets, commit. The pieces are
  sent straight from the image buffer.

  The update record (Management/UpdateRecord.h) brackets the drive
  changes: written by the switch, brought up to date at the first
  download, deleted once every drive it names is back in write-back.

  A check ("check" on the command line) runs the same driver up to the
  flash: the same loading, validation and logical-drive reads, and then
  names what the flash would do instead of doing it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FlashUpdate.h"
#include "ImageFormat.h"

namespace {

constexpr UINTN   TYPE_CODE_LENGTH = 4;

///
/// A component's type code as a NUL-terminated four-character text.
///
struct TYPE_LABEL {
  CHAR8    Text[TYPE_CODE_LENGTH + 1];
};

VOID
SetTypeLabel (
  OUT TYPE_LABEL             *Label,
  IN  CONST IMAGE_COMPONENT  *Component
  )
{
  gBS->SetMem (Label->Text, sizeof (Label->Text), 0);
  gBS->CopyMem (Label->Text, const_cast<UINT8 *> (&Component->Header[COMPONENT_TYPE_OFFSET]), TYPE_CODE_LENGTH);
}

UINT32
ComponentSize (
  IN CONST IMAGE_COMPONENT  *Component
  )
{
  return ReadUnaligned32 (reinterpret_cast<CONST UINT32 *> (&Component->Header[COMPONENT_SIZE_OFFSET]));
}

UINT32
PieceCount (
  IN UINT32  Size
  )
{
  return Size / FLASH_PIECE_LIMIT + ((Size % FLASH_PIECE_LIMIT != 0) ? 1 : 0);
}

///
/// What a check prints instead of flashing.
///
VOID
PrintPlannedFlash (
  VOID
  )
{
  TYPE_LABEL  Label;

  for (UINT32 Index = 0; Index < mComponentCount; Index++) {
    UINT32  Size   = ComponentSize (&mComponentTable[Index]);
    UINT32  Pieces = PieceCount (Size);

    SetTypeLabel (&Label, &mComponentTable[Index]);
    AsciiPrint ("\nWould flash (%-4a): %u bytes in %u %a", Label.Text, Size, Pieces, (Pieces == 1) ? "piece" : "pieces");
  }
}

constexpr UPDATE_OUTCOME
Outcome (
  IN EFI_STATUS  Status,
  IN BOOLEAN     FirmwareWritten = FALSE,
  IN UINT32      Components = 0
  )
{
  return { Status, FirmwareWritten, Components };
}

} // namespace

UINT8
FlashComponent (
  IN  CONST IMAGE_COMPONENT  *Component,
  IN  CONTROLLER_CONTEXT     *Controller,
  OUT BOOLEAN                *Downloaded OPTIONAL
  )
{
  TYPE_LABEL  Label;
  UINT8       Status;
  UINT32      Size = ComponentSize (Component);

  SetTypeLabel (&Label, Component);

  RequestWithoutData (Controller, OP_FLASH_CLOSE, 0);

  Status = RequestWithoutData (Controller, OP_FLASH_OPEN, Size);
  if (Status != 0) {
    return Status;
  }

  AsciiPrint ("\nDownloading image (%-4a)", Label.Text);

  UINT32  Offset    = 0;
  UINT32  Remaining = Size;

  while (Remaining != 0) {
    UINT32  Piece = MIN (Remaining, FLASH_PIECE_LIMIT);

    AsciiPrint (".");
    if (Downloaded != NULL) {
      *Downloaded = TRUE;
    }

    //
    // From the first download on, the controller's flash may be half
    // written: the record says so before the piece goes out, so that a cut
    // during its wait finds it said.
    //
    if (Offset == 0) {
      NoteUpdateRecordFlashStarted (Controller);
    }

    Status = RequestToController (Controller, OP_FLASH_DOWNLOAD, Offset, Component->Start + Offset, Piece);
    if (Status != 0) {
      RequestWithoutData (Controller, OP_FLASH_CLOSE, 0);
      return Status;
    }

    Offset    += Piece;
    Remaining -= Piece;
  }

  AsciiPrint (".\n");

  Status = RequestWithoutData (Controller, OP_FLASH_COMMIT, 0);
  if (Status != 0) {
    RequestWithoutData (Controller, OP_FLASH_CLOSE, 0);
  }

  return Status;
}

UPDATE_OUTCOME
UpdateFirmware (
  IN CONST CHAR8         *FileName,
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  UINT32  FileLength = 0;

  if (mCheckOnly) {
    AsciiPrint ("\nCheck only: nothing is written to the controller.");
  }

  //
  // The signature is read and checked before the rest of the file: a file
  // that is no image is refused at once, not after minutes of reading.
  //
  BOOLEAN  NoSignature = FALSE;
  UINT8    *Image      = static_cast<UINT8 *> (
                           LoadFileWithHead (FileName, IMAGE_SIGNATURE, IMAGE_SIGNATURE_SIZE, &FileLength, &NoSignature)
                           );

  if (Image == NULL) {
    if (NoSignature) {
      AsciiPrint ("\nFirmware image doesn't support this controller..");
      return Outcome (EFI_UNSUPPORTED);
    }

    return Outcome (EFI_LOAD_ERROR);
  }

  POOL_GUARD  ImageBuffer (Image);

  return UpdateFirmwareFromImage (FileName, Image, FileLength, Controller);
}

UPDATE_OUTCOME
UpdateFirmwareFromImage (
  IN CONST CHAR8         *FileName,
  IN CONST UINT8         *Image,
  IN UINT32              FileLength,
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  TYPE_LABEL    Label;
  CONST UINT16  Ids[] = {
    Controller->VendorId,
    Controller->DeviceId,
    Controller->SubsystemVendorId,
    Controller->SubsystemId
  };

  gBS->SetMem (Label.Text, sizeof (Label.Text), 0);

  //
  // A file without the signature has no support table, so the support check
  // refuses it.
  //
  CheckImageSignature (Image, FileLength);
  if (!IsControllerSupported (Ids)) {
    AsciiPrint ("\nFirmware image doesn't support this controller..");
    return Outcome (EFI_UNSUPPORTED);
  }

  ScanImageComponents (mComponentArea, FileLength - mSupportTableSize - IMAGE_SIGNATURE_SIZE);
  if (mComponentCount == 0) {
    AsciiPrint ("\nNot a valid firmware image..");
    return Outcome (EFI_UNSUPPORTED);
  }

  //
  // A record left by an earlier update that does not match this controller
  // is never applied blindly: the update does not start.
  //
  NoteUpdateRecordImage (FileName, Image, FileLength);
  if (!LoadUpdateRecordForUpdate (Controller)) {
    return Outcome (UpdateRecordStatus ());
  }

  //
  // A switch that fails part-way has put back what it could and named the
  // rest itself. A record that could not be written, or no longer matches
  // the drives, gives the status.
  //
  if (!SwitchToWriteThrough (Controller)) {
    FinishUpdateRecord (Controller);

    EFI_STATUS  Status = UpdateRecordStatus ();

    return Outcome (EFI_ERROR (Status) ? Status : EFI_DEVICE_ERROR);
  }

  //
  // Everything a check may do has been done: the same steps as the update,
  // up to the first request that would change the controller.
  //
  if (mCheckOnly) {
    PrintPlannedFlash ();
    return Outcome (EFI_SUCCESS, FALSE, mComponentCount);
  }

  for (UINT32 Index = 0; Index < mComponentCount; Index++) {
    BOOLEAN  Downloaded = FALSE;

    SetTypeLabel (&Label, &mComponentTable[Index]);

    UINT8  Status = FlashComponent (&mComponentTable[Index], Controller, &Downloaded);

    if (Status != 0) {
      AsciiPrint ("\n(%-4a) Firmware updated Failed with (%d)", Label.Text, Status);

      //
      // Before the first download nothing has reached the flash, and the
      // drives go back to write-back. After it, components before this one
      // may be committed and this one is half written: a controller in that
      // state is not trusted with a write-back cache, and no more is one
      // whose earlier flash was cut off.
      //
      if ((Index == 0) && !Downloaded && !EarlierFlashWasCut ()) {
        PutWriteThroughDrivesBack (Controller);
      } else {
        ReportDrivesLeftInWriteThrough (WRITE_THROUGH_REASON::FLASH_FAILED);
      }

      FinishUpdateRecord (Controller);
      return Outcome (EFI_DEVICE_ERROR, FALSE, Index);
    }

    AsciiPrint ("\n(%-4a) Firmware updated..", Label.Text);
  }

  //
  // The firmware is written whatever the restore does; a restore that fails
  // still makes the run a failure, so that a script sees it. But only drives
  // that this run switched need restoring: with none (no write-back drive,
  // or "force"), a failing re-read after the flash, as from a controller
  // that resets itself after a commit, leaves nothing undone, and a
  // complete update is not reported as failed (a script would flash again).
  //
  BOOLEAN  AnySwitched = (DrivesLeftInWriteThrough () != 0);
  BOOLEAN  Restored    = RestoreWriteCachePolicy (Controller);
  BOOLEAN  Kept        = ReportDrivesLeftInWriteThrough (WRITE_THROUGH_REASON::RESTORE_FAILED);

  FinishUpdateRecord (Controller);
  if (Kept || (!Restored && AnySwitched)) {
    return Outcome (EFI_DEVICE_ERROR, TRUE, mComponentCount);
  }

  return Outcome (EFI_SUCCESS, TRUE, mComponentCount);
}
