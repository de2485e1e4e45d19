/** @file
  A small stream-style file layer over the shell's file functions: open a
  file by its ASCII name with a mode string, read elements, ask for the size,
  close. Up to MAX_OPEN_FILES files are open at a time; a caller knows an
  open file only by its FILE_RECORD, never by the shell's handle.

  LoadWholeFile, built on this layer, is declared in CtlFlash.h.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef FILE_ACCESS_H_
#define FILE_ACCESS_H_

#include "../CtlFlash.h"

#define MAX_OPEN_FILES  20

///
/// CHAR16 elements of the wide copy of a file name, terminator included:
/// a name has at most FILE_NAME_BUFFER_LENGTH - 1 characters.
///
#define FILE_NAME_BUFFER_LENGTH  260

///
/// The most bytes that LoadWholeFile asks the shell for in one read: small
/// enough that a long read is noticed while it lasts.
///
#define LOAD_PIECE_SIZE  0x100000u

///
/// When LoadWholeFile tells the user about a read that is taking long: first
/// after 5 s, then every 30 s, counted with a boot-services timer event (a
/// read does not stall, so there is no count of stalled time to go by). In
/// units of 100 ns, as SetTimer takes them.
///
#define LOAD_NOTICE_FIRST_100NS   50000000ull
#define LOAD_NOTICE_REPEAT_100NS  300000000ull

///
/// One file that can be open.
///
/// | Field     | Set by                          | Cleared by         |
/// |-----------|---------------------------------|--------------------|
/// | Handle    | FileOpen                        | never (stale when free) |
/// | Id        | FileOpen (position + 1)         | FileClose (to 0)   |
/// | ErrorFlag | FileRead (1 when a read failed) | FileOpen (to 0)    |
///
struct FILE_SLOT {
  SHELL_FILE_HANDLE    Handle;      ///< the shell's handle of the open file
  UINT32               Id;          ///< 0: free; otherwise position + 1
  UINT32               ErrorFlag;   ///< 1 after a failed read
};

static_assert (OFFSET_OF (FILE_SLOT, Handle) == 0, "FILE_SLOT.Handle");
static_assert (OFFSET_OF (FILE_SLOT, Id) == sizeof (SHELL_FILE_HANDLE), "FILE_SLOT.Id");
static_assert (OFFSET_OF (FILE_SLOT, ErrorFlag) == sizeof (SHELL_FILE_HANDLE) + 4, "FILE_SLOT.ErrorFlag");

///
/// The caller's handle of an open file: 8 bytes of pool memory allocated by
/// FileOpen and freed by FileClose. It finds its slot by Id alone.
///
struct FILE_RECORD {
  UINT32    Id;          ///< Id of the slot that holds the file
  UINT32    EndOfFile;   ///< 1 after a read delivered fewer elements than asked
};

static_assert (sizeof (FILE_RECORD) == 8, "FILE_RECORD is 8 bytes");
static_assert (OFFSET_OF (FILE_RECORD, Id) == 0, "FILE_RECORD.Id");
static_assert (OFFSET_OF (FILE_RECORD, EndOfFile) == 4, "FILE_RECORD.EndOfFile");

///
/// The open files, by position. Zero at load.
///
extern FILE_SLOT  mFileSlots[MAX_OPEN_FILES];

/**
  Open a file.

  Mode is one of "r", "rb", "r+", "a", "a+", "w", "w+", "wb" (compared
  exactly). "a" and "a+" create a missing file and position at its end;
  "w", "w+" and "wb" start the file empty; "r+" does not create.

  @param[in] FileName  ASCII name, at most FILE_NAME_BUFFER_LENGTH - 1
                       characters.
  @param[in] Mode      ASCII mode string.

  @return A new FILE_RECORD, or NULL when no slot is free, the name is too
          long, the mode is unknown (a message is printed), a shell call
          failed or no record could be allocated.
**/
FILE_RECORD *
FileOpen (
  IN CONST CHAR8  *FileName,
  IN CONST CHAR8  *Mode
  );

/**
  Read up to Count elements of ElementSize bytes.

  @param[out]    Buffer       Receives the bytes; ElementSize x Count bytes long.
  @param[in]     ElementSize  Size of one element; not 0.
  @param[in]     Count        Number of elements wanted.
  @param[in,out] File         An open file; EndOfFile is set when fewer
                              elements than asked were read.

  @return The number of whole elements read; Count + 1 when File names no
          open slot.
**/
UINTN
FileRead (
  OUT    VOID         *Buffer,
  IN     UINTN        ElementSize,
  IN     UINTN        Count,
  IN OUT FILE_RECORD  *File
  );

/**
  @param[in] File  An open file.

  @return The low 32 bits of the file's size in bytes; 0 when File names no
          open slot or the size cannot be had.
**/
UINT32
FileGetSize (
  IN FILE_RECORD  *File
  );

/**
  Close a file and free its record.

  @param[in] File  An open file. Must not be used after a 0 result.

  @retval 0   The file was closed and the record freed.
  @retval -1  File names no open slot, or the shell could not close it; the
              slot and the record stay as they were.
**/
INT32
FileClose (
  IN FILE_RECORD  *File
  );

/**
  @param[in] File  A file record.

  @return The shell's handle of the record's slot, or NULL when no open slot
          has the record's Id.
**/
SHELL_FILE_HANDLE
LookupFileSlot (
  IN FILE_RECORD  *File
  );

/**
  Widen an ASCII string to CHAR16; a tab becomes a blank. No length limit is
  applied: Destination must hold the whole of Source and its terminator.

  @param[out] Destination  Receives the CHAR16 string.
  @param[in]  Source       NUL-terminated ASCII string.

  @return Destination.
**/
CHAR16 *
AsciiToUnicodeCopy (
  OUT CHAR16       *Destination,
  IN  CONST CHAR8  *Source
  );

#endif
