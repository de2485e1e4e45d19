/** @file
  The file layer: open, read, size and close over the shell's file
  functions, with up to MAX_OPEN_FILES files open at a time, and
  LoadWholeFile, which reads a whole file into one zero-filled pool buffer.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "FileAccess.h"

FILE_SLOT  mFileSlots[MAX_OPEN_FILES];

//
// Open modes handed to the shell; attributes are always 0.
//
static constexpr UINT64  OPEN_READ        = EFI_FILE_MODE_READ;
static constexpr UINT64  OPEN_READ_WRITE  = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
static constexpr UINT64  OPEN_CREATE      = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
static constexpr UINT64  POSITION_AT_END  = 0xFFFFFFFFFFFFFFFFull;

///
/// Files of this size or more get no buffer from LoadWholeFile: the size
/// plus the trailing 0 byte must fit a signed 32-bit count.
///
static constexpr UINT64  LOAD_SIZE_LIMIT = 0x7FFFFFFFull;

/**
  The slot that holds a record's file: the first one, in position order,
  with the record's Id. A record with Id 0 names no file (0 marks a free
  slot), so it never finds one.
**/
static FILE_SLOT *
FindFileSlot (
  IN CONST FILE_RECORD  *File
  )
{
  if ((File == NULL) || (File->Id == 0)) {
    return NULL;
  }

  for (UINTN Index = 0; Index < MAX_OPEN_FILES; Index++) {
    if (mFileSlots[Index].Id == File->Id) {
      return &mFileSlots[Index];
    }
  }

  return NULL;
}

/**
  The full 64-bit size of an open file; 0 when there is no slot or the
  shell cannot tell (the shell may leave the size unwritten on failure, so
  the status is looked at).
**/
static UINT64
GetFileSize64 (
  IN FILE_RECORD  *File
  )
{
  SHELL_FILE_HANDLE  Handle;
  UINT64             Size;
  EFI_STATUS         Status;

  Handle = LookupFileSlot (File);
  if (Handle == NULL) {
    return 0;
  }

  Size   = 0;
  Status = ShellGetFileSize (Handle, &Size);
  if (Status != EFI_SUCCESS) {
    return 0;
  }

  return Size;
}

/**
  TRUE when Name, terminator included, fits the wide name copy. Looks at no
  more than FILE_NAME_BUFFER_LENGTH bytes of Name.
**/
static BOOLEAN
FileNameFits (
  IN CONST CHAR8  *Name
  )
{
  for (UINTN Length = 0; Length < FILE_NAME_BUFFER_LENGTH; Length++) {
    if (Name[Length] == '\0') {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  Open Name in one of the eight modes.

  @param[in]  Name    CHAR16 file name.
  @param[in]  Mode    ASCII mode string.
  @param[out] Handle  The shell's handle when EFI_SUCCESS is returned.

  @retval EFI_SUCCESS      The file is open in the mode asked for.
  @retval EFI_UNSUPPORTED  Mode is not one of the eight; the message has been
                           printed.
  @return Any other status: the failing shell call's status; no file is left
          open.
**/
static EFI_STATUS
OpenInMode (
  IN  CONST CHAR16       *Name,
  IN  CONST CHAR8        *Mode,
  OUT SHELL_FILE_HANDLE  *Handle
  )
{
  EFI_STATUS  Status;

  if ((AsciiStrCmp (Mode, "r") == 0) || (AsciiStrCmp (Mode, "rb") == 0)) {
    return ShellOpenFileByName (Name, Handle, OPEN_READ, 0);
  }

  if (AsciiStrCmp (Mode, "r+") == 0) {
    return ShellOpenFileByName (Name, Handle, OPEN_READ_WRITE, 0);
  }

  if ((AsciiStrCmp (Mode, "a+") == 0) || (AsciiStrCmp (Mode, "a") == 0)) {
    Status = ShellOpenFileByName (Name, Handle, OPEN_READ_WRITE, 0);
    if (Status == EFI_NOT_FOUND) {
      Status = ShellOpenFileByName (Name, Handle, OPEN_CREATE, 0);
    }

    if (Status != EFI_SUCCESS) {
      return Status;
    }

    //
    // The file is open at this point: a failed positioning closes it again,
    // so that a failed open never leaves a file open without a slot.
    //
    Status = ShellSetFilePosition (*Handle, POSITION_AT_END);
    if (Status != EFI_SUCCESS) {
      ShellCloseFile (Handle);
    }

    return Status;
  }

  if ((AsciiStrCmp (Mode, "w") == 0) ||
      (AsciiStrCmp (Mode, "w+") == 0) ||
      (AsciiStrCmp (Mode, "wb") == 0))
  {
    //
    // Delete an existing file (the delete also closes it), then create it
    // anew so that it starts empty.
    //
    Status = ShellOpenFileByName (Name, Handle, OPEN_READ_WRITE, 0);
    if (Status == EFI_SUCCESS) {
      Status = ShellDeleteFile (Handle);
    }

    if ((Status != EFI_SUCCESS) && (Status != EFI_NOT_FOUND)) {
      return Status;
    }

    return ShellOpenFileByName (Name, Handle, OPEN_CREATE, 0);
  }

  Print (CTL_WSTR ("\nError: Unsupported File Open Mode\n"));
  return EFI_UNSUPPORTED;
}

FILE_RECORD *
FileOpen (
  IN CONST CHAR8  *FileName,
  IN CONST CHAR8  *Mode
  )
{
  FILE_SLOT          *Slot;
  UINT32             SlotId;
  CHAR16             Name[FILE_NAME_BUFFER_LENGTH];
  SHELL_FILE_HANDLE  Handle;
  FILE_RECORD        *Record;

  Slot   = NULL;
  SlotId = 0;
  for (UINT32 Index = 0; Index < MAX_OPEN_FILES; Index++) {
    if (mFileSlots[Index].Id == 0) {
      Slot   = &mFileSlots[Index];
      SlotId = Index + 1;
      break;
    }
  }

  if (Slot == NULL) {
    return NULL;
  }

  //
  // A name that does not fit the name copy is refused before anything is
  // copied: the copy has no limit of its own.
  //
  if (!FileNameFits (FileName)) {
    return NULL;
  }

  AsciiToUnicodeCopy (Name, FileName);

  Handle = NULL;
  if (OpenInMode (Name, Mode, &Handle) != EFI_SUCCESS) {
    return NULL;
  }

  //
  // The slot is claimed only once the record exists: without a record the
  // file is closed again, so nothing stays open and no slot stays taken.
  //
  Record = static_cast<FILE_RECORD *> (AllocateZeroPool (sizeof (FILE_RECORD)));
  if (Record == NULL) {
    ShellCloseFile (&Handle);
    return NULL;
  }

  Slot->Id        = SlotId;
  Slot->ErrorFlag = 0;
  Slot->Handle    = Handle;

  Record->Id        = SlotId;
  Record->EndOfFile = 0;
  return Record;
}

UINTN
FileRead (
  OUT    VOID         *Buffer,
  IN     UINTN        ElementSize,
  IN     UINTN        Count,
  IN OUT FILE_RECORD  *File
  )
{
  FILE_SLOT   *Slot;
  UINTN       ByteCount;
  UINTN       Elements;
  EFI_STATUS  Status;

  Slot = FindFileSlot (File);
  if (Slot == NULL) {
    return Count + 1;
  }

  //
  // Callers never pass an element size of 0; should one slip through, the
  // division below must not fault the machine: nothing is read.
  //
  if (ElementSize == 0) {
    return 0;
  }

  ByteCount = ElementSize * Count;
  Status    = ShellReadFile (Slot->Handle, &ByteCount, Buffer);
  Elements  = ByteCount / ElementSize;

  if (Status != EFI_SUCCESS) {
    Slot->ErrorFlag = 1;
    Print (CTL_WSTR ("\nFile read ERROR !!!\n"));
    return Elements;
  }

  if (Elements != Count) {
    File->EndOfFile = 1;
  }

  return Elements;
}

UINT32
FileGetSize (
  IN FILE_RECORD  *File
  )
{
  return static_cast<UINT32> (GetFileSize64 (File));
}

INT32
FileClose (
  IN FILE_RECORD  *File
  )
{
  FILE_SLOT  *Slot;

  Slot = FindFileSlot (File);
  if (Slot == NULL) {
    return -1;
  }

  if (ShellCloseFile (&Slot->Handle) != EFI_SUCCESS) {
    return -1;
  }

  Slot->Id = 0;
  FreePool (File);
  return 0;
}

SHELL_FILE_HANDLE
LookupFileSlot (
  IN FILE_RECORD  *File
  )
{
  FILE_SLOT  *Slot;

  Slot = FindFileSlot (File);
  if (Slot == NULL) {
    return NULL;
  }

  return Slot->Handle;
}

CHAR16 *
AsciiToUnicodeCopy (
  OUT CHAR16       *Destination,
  IN  CONST CHAR8  *Source
  )
{
  UINTN  Index;

  for (Index = 0; Source[Index] != '\0'; Index++) {
    if (Source[Index] == '\t') {
      Destination[Index] = 0x0020;
    } else {
      Destination[Index] = static_cast<UINT8> (Source[Index]);
    }
  }

  Destination[Index] = 0;
  return Destination;
}

namespace {

constexpr UINT32  BYTES_PER_MIB = 0x100000;

///
/// The notice of a long read. Without a timer (CreateEvent or SetTimer
/// failed) the read goes on without notices.
///
struct READ_NOTICE {
  EFI_EVENT      Timer;
  CONST CHAR8    *FileName;
  UINT32         Total;
};

VOID
ReadNoticeStart (
  OUT READ_NOTICE  *Notice,
  IN  CONST CHAR8  *FileName,
  IN  UINT32       Total
  )
{
  Notice->Timer    = NULL;
  Notice->FileName = FileName;
  Notice->Total    = Total;

  if (gBS->CreateEvent (EVT_TIMER, TPL_CALLBACK, NULL, NULL, &Notice->Timer) != EFI_SUCCESS) {
    Notice->Timer = NULL;
    return;
  }

  if (gBS->SetTimer (Notice->Timer, TimerRelative, LOAD_NOTICE_FIRST_100NS) != EFI_SUCCESS) {
    gBS->CloseEvent (Notice->Timer);
    Notice->Timer = NULL;
  }
}

///
/// After each piece: a notice when the timer has gone off, and the timer
/// set again for the next one.
///
VOID
ReadNoticeCheck (
  IN CONST READ_NOTICE  *Notice,
  IN UINT32             Done
  )
{
  if ((Notice->Timer == NULL) || (gBS->CheckEvent (Notice->Timer) != EFI_SUCCESS)) {
    return;
  }

  AsciiPrint (
    "\nReading %a: %u MiB of %u MiB so far, please wait.",
    Notice->FileName,
    Done / BYTES_PER_MIB,
    (Notice->Total + BYTES_PER_MIB - 1) / BYTES_PER_MIB
    );
  gBS->SetTimer (Notice->Timer, TimerRelative, LOAD_NOTICE_REPEAT_100NS);
}

VOID
ReadNoticeEnd (
  IN READ_NOTICE  *Notice
  )
{
  if (Notice->Timer != NULL) {
    gBS->CloseEvent (Notice->Timer);
    Notice->Timer = NULL;
  }
}

/**
  Read Length bytes from the file's current position into Buffer, in pieces
  of at most LOAD_PIECE_SIZE bytes, with the notice of a long read. Done is
  what was read before (for the notice).

  @retval TRUE   All Length bytes arrived.
  @retval FALSE  A read failed (FileRead has reported it) or came back
                 short (reported here).
**/
BOOLEAN
ReadPieces (
  IN     FILE_RECORD        *File,
  OUT    UINT8              *Buffer,
  IN     UINT32             Length,
  IN     UINT32             Done,
  IN     CONST READ_NOTICE  *Notice
  )
{
  UINT32  Read = 0;

  while (Read < Length) {
    UINT32  Piece    = MIN (Length - Read, LOAD_PIECE_SIZE);
    UINTN   Elements = FileRead (Buffer + Read, Piece, 1, File);
    FILE_SLOT  *Slot = FindFileSlot (File);

    //
    // A read that the shell reports as failed is not trusted, whatever
    // byte count came with it.
    //
    if ((Slot != NULL) && (Slot->ErrorFlag != 0)) {
      return FALSE;
    }

    if (Elements != 1) {
      AsciiPrint ("\nfile read incomplete : 0x%x bytes expected", Notice->Total);
      return FALSE;
    }

    Read += Piece;
    ReadNoticeCheck (Notice, Done + Read);
  }

  return TRUE;
}

BOOLEAN
BeginsWith (
  IN CONST UINT8  *Buffer,
  IN CONST VOID   *Head,
  IN UINT32       HeadLength
  )
{
  CONST UINT8  *Expected = static_cast<CONST UINT8 *> (Head);

  for (UINT32 Index = 0; Index < HeadLength; Index++) {
    if (Buffer[Index] != Expected[Index]) {
      return FALSE;
    }
  }

  return TRUE;
}

/**
  The load itself; Head may be NULL (no head to check).
**/
VOID *
LoadFile (
  IN  CONST CHAR8  *FileName,
  IN  CONST VOID   *Head,
  IN  UINT32       HeadLength,
  OUT UINT32       *FileSize,
  OUT BOOLEAN      *HeadDiffers
  )
{
  FILE_RECORD  *File;
  UINT64       Size;
  UINT32       Size32;
  UINT8        *Buffer;

  if (HeadDiffers != NULL) {
    *HeadDiffers = FALSE;
  }

  File = FileOpen (FileName, "r");
  if (File == NULL) {
    AsciiPrint ("\nopen failed :%a", FileName);
    return NULL;
  }

  //
  // The size is judged on all 64 bits the shell reports: a file of 4 GiB
  // or more must not pass for the small file its low 32 bits describe.
  //
  Size = GetFileSize64 (File);
  if (Size == 0) {
    AsciiPrint ("\nZero sized file");
    FileClose (File);
    return NULL;
  }

  //
  // Sizes are 32-bit and the buffer is one byte longer than the file, so a
  // file of 2^31 - 1 bytes or more gets no buffer and nothing is read. The
  // message shows the size, held at 0xFFFFFFFF when it does not fit 32 bits.
  //
  Size32 = (Size > MAX_UINT32) ? MAX_UINT32 : static_cast<UINT32> (Size);
  Buffer = NULL;
  if (Size < LOAD_SIZE_LIMIT) {
    Buffer = static_cast<UINT8 *> (AllocateZeroPool (Size32 + 1));
  }

  if (Buffer == NULL) {
    AsciiPrint ("\nfile buffer allocation failed : 0x%x", Size32);
    FileClose (File);
    return NULL;
  }

  //
  // A file that did not arrive whole is never handed on: the zeros left
  // for its missing bytes would be flashed into a controller as if they
  // were firmware.
  //
  READ_NOTICE  Notice;
  UINT32       First = 0;
  BOOLEAN      Whole;

  ReadNoticeStart (&Notice, FileName, Size32);

  //
  // The head first: a file that does not begin with it is refused before
  // the rest of it is read. A file shorter than the head cannot begin with
  // it; it is read whole and refused all the same.
  //
  if (Head != NULL) {
    First = MIN (HeadLength, Size32);
    Whole = ReadPieces (File, Buffer, First, 0, &Notice);
    if (Whole && ((First < HeadLength) || !BeginsWith (Buffer, Head, HeadLength))) {
      ReadNoticeEnd (&Notice);
      FileClose (File);
      FreePool (Buffer);
      if (HeadDiffers != NULL) {
        *HeadDiffers = TRUE;
      }

      return NULL;
    }
  } else {
    Whole = TRUE;
  }

  if (Whole) {
    Whole = ReadPieces (File, Buffer + First, Size32 - First, First, &Notice);
  }

  ReadNoticeEnd (&Notice);
  FileClose (File);

  if (!Whole) {
    FreePool (Buffer);
    return NULL;
  }

  if (FileSize != NULL) {
    *FileSize = Size32;
  }

  return Buffer;
}

} // namespace

VOID *
LoadWholeFile (
  IN  CONST CHAR8  *FileName,
  OUT UINT32       *FileSize OPTIONAL
  )
{
  return LoadFile (FileName, NULL, 0, FileSize, NULL);
}

VOID *
LoadFileWithHead (
  IN  CONST CHAR8  *FileName,
  IN  CONST VOID   *Head,
  IN  UINT32       HeadLength,
  OUT UINT32       *FileSize OPTIONAL,
  OUT BOOLEAN      *HeadDiffers
  )
{
  return LoadFile (FileName, Head, HeadLength, FileSize, HeadDiffers);
}
