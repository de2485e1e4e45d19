/** @file
  Machine-readable output in the shell's standard format (-sfo): a first
  line ShellCommand,"name", then one record per line,
  TableName,"field","field",... The shell's parse command reads it.

  While standard-format output is on, the system table's ConOut points at
  standard error, so every human message of the run (AsciiPrint and the
  like, from any module) goes there, and only the records reach standard
  output.

  Field contents: a double quote is written ^" and a caret ^^, the escapes
  that parse undoes; a byte outside printable ASCII (below 0x20 or above
  0x7E) is written as ?. A comma needs no escape: parse splits fields only
  at ," and no field text holds an unescaped quote.

  Records are built field by field; a table's later versions may append
  fields at the end of a record, never insert them, so a reader's column
  numbers stay valid.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef STANDARD_FORMAT_H_
#define STANDARD_FORMAT_H_

#include "../CtlFlash.h"

/**
  Turn standard-format output on: remember the current standard output for
  the records, point the system table's ConOut at standard error, and write
  the first line, ShellCommand,"CommandName". Does nothing when it is on
  already.

  @param[in] CommandName  The command's name, as the first line names it.
**/
VOID
SfoStart (
  IN CONST CHAR8  *CommandName
  );

/**
  Turn standard-format output off and give the system table its ConOut
  back. Does nothing when it is off.
**/
VOID
SfoStop (
  VOID
  );

/**
  @retval TRUE   Standard-format output is on.
  @retval FALSE  It is off.
**/
BOOLEAN
SfoIsOn (
  VOID
  );

/**
  Begin a record with its table name. Nothing is written while the output
  is off, here or by the field functions.

  @param[in] TableName  The table name, written as it is.
**/
VOID
SfoRecordBegin (
  IN CONST CHAR8  *TableName
  );

/**
  Append a text field, escaped as described above.

  @param[in] Text  NUL-terminated ASCII text; NULL writes an empty field.
**/
VOID
SfoFieldText (
  IN CONST CHAR8  *Text OPTIONAL
  );

/**
  Append a hexadecimal field, digits A-F in upper case (as %lasterror%
  and the listing show them).

  @param[in] Value   The value.
  @param[in] Digits  The least number of digits (zero-padded), at most 16;
                     0 writes "0x" and the digits without padding.
**/
VOID
SfoFieldHex (
  IN UINT64  Value,
  IN UINTN   Digits
  );

/**
  Append a decimal field.

  @param[in] Value  The value.
**/
VOID
SfoFieldDecimal (
  IN UINT64  Value
  );

/**
  End the current record with a line break.
**/
VOID
SfoRecordEnd (
  VOID
  );

#endif
