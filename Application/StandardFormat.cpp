/** @file
  Writer of standard-format records (-sfo) and the routing of the human
  messages to standard error while it is on.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "StandardFormat.h"

namespace {

constexpr UINTN  CHUNK_LENGTH = 64;

///
/// Module state, valid while standard-format output is on (set by SfoStart,
/// cleared by SfoStop):
///   mRecordOutput    standard output as the run found it; records go here
///   mSavedConOut     the ConOut and its handle to give back
///   mSavedConOutHandle
///
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *mRecordOutput;
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *mSavedConOut;
EFI_HANDLE                       mSavedConOutHandle;

///
/// A small CHAR16 buffer that collects output and hands it to the record
/// output when full and at the end.
///
struct OUTPUT_CHUNK {
  CHAR16    Text[CHUNK_LENGTH + 1];
  UINTN     Length;
};

VOID
Flush (
  IN OUT OUTPUT_CHUNK  *Chunk
  )
{
  if (Chunk->Length == 0) {
    return;
  }

  Chunk->Text[Chunk->Length] = 0;
  mRecordOutput->OutputString (mRecordOutput, Chunk->Text);
  Chunk->Length = 0;
}

VOID
Put (
  IN OUT OUTPUT_CHUNK  *Chunk,
  IN     CHAR8         Character
  )
{
  if (Chunk->Length == CHUNK_LENGTH) {
    Flush (Chunk);
  }

  Chunk->Text[Chunk->Length++] = static_cast<UINT8> (Character);
}

VOID
PutAscii (
  IN CONST CHAR8  *Text
  )
{
  OUTPUT_CHUNK  Chunk;

  Chunk.Length = 0;
  for ( ; *Text != 0; Text++) {
    Put (&Chunk, *Text);
  }

  Flush (&Chunk);
}

///
/// Give the system table a fresh checksum after a change of its fields, as
/// the shell does when it redirects.
///
VOID
UpdateSystemTableCrc (
  VOID
  )
{
  UINT32  Crc = 0;

  gST->Hdr.CRC32 = 0;
  if (!EFI_ERROR (gBS->CalculateCrc32 (gST, gST->Hdr.HeaderSize, &Crc))) {
    gST->Hdr.CRC32 = Crc;
  }
}

} // namespace

VOID
SfoStart (
  IN CONST CHAR8  *CommandName
  )
{
  if (mRecordOutput != NULL) {
    return;
  }

  mRecordOutput      = gST->ConOut;
  mSavedConOut       = gST->ConOut;
  mSavedConOutHandle = gST->ConsoleOutHandle;

  //
  // Without a standard error the messages stay where they are; the records
  // still come out whole, one a line.
  //
  if (gST->StdErr != NULL) {
    gST->ConOut           = gST->StdErr;
    gST->ConsoleOutHandle = gST->StandardErrorHandle;
    UpdateSystemTableCrc ();
  }

  PutAscii ("ShellCommand,\"");
  PutAscii (CommandName);
  PutAscii ("\"\r\n");
}

VOID
SfoStop (
  VOID
  )
{
  if (mRecordOutput == NULL) {
    return;
  }

  if (gST->ConOut != mSavedConOut) {
    gST->ConOut           = mSavedConOut;
    gST->ConsoleOutHandle = mSavedConOutHandle;
    UpdateSystemTableCrc ();
  }

  mRecordOutput      = NULL;
  mSavedConOut       = NULL;
  mSavedConOutHandle = NULL;
}

BOOLEAN
SfoIsOn (
  VOID
  )
{
  return mRecordOutput != NULL;
}

VOID
SfoRecordBegin (
  IN CONST CHAR8  *TableName
  )
{
  if (mRecordOutput != NULL) {
    PutAscii (TableName);
  }
}

VOID
SfoFieldText (
  IN CONST CHAR8  *Text OPTIONAL
  )
{
  if (mRecordOutput == NULL) {
    return;
  }

  OUTPUT_CHUNK  Chunk;

  Chunk.Length = 0;
  Put (&Chunk, ',');
  Put (&Chunk, '"');
  for ( ; (Text != NULL) && (*Text != 0); Text++) {
    CHAR8  Character = *Text;

    if ((Character == '"') || (Character == '^')) {
      Put (&Chunk, '^');
      Put (&Chunk, Character);
    } else if ((static_cast<UINT8> (Character) < 0x20) || (static_cast<UINT8> (Character) > 0x7E)) {
      Put (&Chunk, '?');
    } else {
      Put (&Chunk, Character);
    }
  }

  Put (&Chunk, '"');
  Flush (&Chunk);
}

VOID
SfoFieldHex (
  IN UINT64  Value,
  IN UINTN   Digits
  )
{
  CHAR8  Text[24];

  if (Digits == 0) {
    AsciiSPrint (Text, sizeof (Text), "0x%lx", Value);
  } else {
    AsciiSPrint (Text, sizeof (Text), "%0*lx", MIN (Digits, static_cast<UINTN> (16)), Value);
  }

  SfoFieldText (Text);
}

VOID
SfoFieldDecimal (
  IN UINT64  Value
  )
{
  CHAR8  Text[24];

  AsciiSPrint (Text, sizeof (Text), "%lu", Value);
  SfoFieldText (Text);
}

VOID
SfoRecordEnd (
  VOID
  )
{
  if (mRecordOutput != NULL) {
    PutAscii ("\r\n");
  }
}
