/** @file
  The update driver: loads a firmware image file, checks it against the
  chosen controller, switches the controller's write-back logical drives to
  write-through, flashes every component in file order through the
  controller's flash commands and restores the cache policies.

  For each component the controller sees: close (ends whatever flash
  operation may still be open), open with the component's size, one download
  per piece of at most 32 KB at increasing offsets, commit. The pieces are
  sent straight from the image buffer.
**/

#include "../CtlFlash.h"
#include "ImageFormat.h"

namespace {

constexpr UINT32  FLASH_CHUNK_SIZE = 0x8000;
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

///
/// One flash request: a single buffer (or none), mailbox words 1 and 2 zero.
///
UINT8
FlashRequest (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT16              Direction,
  IN UINT32              Mailbox0,
  IN UINT32              Length,
  IN CONST UINT8         *Buffer
  )
{
  return IssueCommand (Controller, Opcode, Direction, Mailbox0, 0, 0, Length, const_cast<UINT8 *> (Buffer), 0, NULL, 1);
}

} // namespace

/**
  Flash one component: close, open, the downloads, commit. A failed
  download or commit is followed by a close; a failed open is not.

  @param[in] Component   An entry of the component table; its bytes lie in
                         the image buffer.
  @param[in] Controller  The target controller.

  @retval 0  The component was downloaded and committed.
  @return The non-zero status of the first request that failed.
**/
UINT8
FlashComponent (
  IN CONST IMAGE_COMPONENT  *Component,
  IN CONTROLLER_CONTEXT     *Controller
  )
{
  TYPE_LABEL  Label;
  UINT8       Status;
  UINT32      Size = ComponentSize (Component);

  SetTypeLabel (&Label, Component);

  FlashRequest (Controller, OP_FLASH_CLOSE, DIRECTION_NONE, 0, 0, NULL);

  Status = FlashRequest (Controller, OP_FLASH_OPEN, DIRECTION_NONE, Size, 0, NULL);
  if (Status != 0) {
    return Status;
  }

  AsciiPrint ("\nDownloading image (%-4a)", Label.Text);

  UINT32  Offset    = 0;
  UINT32  Remaining = Size;

  while (Remaining != 0) {
    UINT32  Piece = MIN (Remaining, FLASH_CHUNK_SIZE);

    AsciiPrint (".");
    Status = FlashRequest (Controller, OP_FLASH_DOWNLOAD, DIRECTION_TO_CONTROLLER, Offset, Piece, Component->Start + Offset);
    if (Status != 0) {
      FlashRequest (Controller, OP_FLASH_CLOSE, DIRECTION_NONE, 0, 0, NULL);
      return Status;
    }

    Offset    += Piece;
    Remaining -= Piece;
  }

  AsciiPrint (".\n");

  Status = FlashRequest (Controller, OP_FLASH_COMMIT, DIRECTION_NONE, 0, 0, NULL);
  if (Status != 0) {
    FlashRequest (Controller, OP_FLASH_CLOSE, DIRECTION_NONE, 0, 0, NULL);
  }

  return Status;
}

/**
  Write a firmware image file into one controller.

  The image buffer is owned here from the moment it is loaded and freed on
  every path, after the last controller request of the update.

  @param[in] FileName    ASCII name of the image file.
  @param[in] Controller  The target controller.

  @retval TRUE   Every component was flashed.
  @retval FALSE  The update failed; the reason has been printed.
**/
BOOLEAN
UpdateFirmware (
  IN CONST CHAR8         *FileName,
  IN CONTROLLER_CONTEXT  *Controller
  )
{
  TYPE_LABEL  Label;
  UINT32      FileLength = 0;
  CONST UINT16  Ids[] = {
    Controller->VendorId,
    Controller->DeviceId,
    Controller->SubsystemVendorId,
    Controller->SubsystemId
  };

  gBS->SetMem (Label.Text, sizeof (Label.Text), 0);

  UINT8  *Image = static_cast<UINT8 *> (LoadWholeFile (FileName, &FileLength));

  if (Image == NULL) {
    return FALSE;
  }

  POOL_GUARD  ImageBuffer (Image);

  //
  // A file without the signature has no support table, so the support check
  // refuses it.
  //
  CheckImageSignature (Image, FileLength);
  if (!IsControllerSupported (Ids)) {
    AsciiPrint ("\nFirmware image doesn't support this controller..");
    return FALSE;
  }

  ScanImageComponents (mComponentArea, FileLength - mSupportTableSize - IMAGE_SIGNATURE_SIZE);
  if (mComponentCount == 0) {
    AsciiPrint ("\nNot a valid firmware image..");
    return FALSE;
  }

  if (!SwitchToWriteThrough (Controller)) {
    return FALSE;
  }

  for (UINT32 Index = 0; Index < mComponentCount; Index++) {
    SetTypeLabel (&Label, &mComponentTable[Index]);

    UINT8  Status = FlashComponent (&mComponentTable[Index], Controller);

    if (Status != 0) {
      //
      // Components before this one stay committed; the drives stay in
      // write-through.
      //
      AsciiPrint ("\n(%-4a) Firmware updated Failed with (%d)", Label.Text, Status);
      return FALSE;
    }

    AsciiPrint ("\n(%-4a) Firmware updated..", Label.Text);
  }

  RestoreWriteCachePolicy (Controller);
  return TRUE;
}
