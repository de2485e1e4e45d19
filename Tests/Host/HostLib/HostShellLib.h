/** @file
  Test-facing control of the host ShellLib: the six file functions that the
  file layer calls (open by name, read, size, position, delete, close) work
  on real files in a temporary directory of their own. A name the product
  hands to ShellOpenFileByName is taken relative to that directory.

  Tests create and inspect files there, make any of the six calls fail with
  a chosen status, cut reads short, make the size query report a size of
  their choosing, and look at every open call as the product made it.

  HostShellReset () puts everything back: no file open, no faults, an empty
  directory. It is not part of HostReset (); fixtures that use files call it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_SHELL_LIB_H_
#define HOST_SHELL_LIB_H_

#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
}

///
/// The ShellLib functions of the host instance.
///
enum class HOST_SHELL_CALL : UINT32 {
  Open,          ///< ShellOpenFileByName
  Read,          ///< ShellReadFile
  GetSize,       ///< ShellGetFileSize
  SetPosition,   ///< ShellSetFilePosition
  Delete,        ///< ShellDeleteFile
  Close,         ///< ShellCloseFile
  Count
};

///
/// One ShellOpenFileByName call as the product made it.
///
struct HOST_SHELL_OPEN_CALL {
  std::u16string    Name;         ///< the CHAR16 name exactly as passed
  UINT64            OpenMode;
  UINT64            Attributes;
  EFI_STATUS        Status;       ///< what was returned
};

/**
  Close every file the product left open, forget the calls, cancel every
  fault and size override, and empty the directory.
**/
VOID
HostShellReset (
  VOID
  );

/**
  @return The directory that names are relative to (created on first use,
          removed when the process ends).
**/
std::string
HostShellDirectory (
  VOID
  );

/**
  @return The host path of Name inside the directory.
**/
std::string
HostShellPath (
  IN CONST std::string  &Name
  );

/**
  Create or replace a file in the directory.
**/
VOID
HostShellWriteFile (
  IN CONST std::string           &Name,
  IN CONST std::vector<UINT8>    &Contents
  );

/**
  @return TRUE when Name exists in the directory.
**/
BOOLEAN
HostShellFileExists (
  IN CONST std::string  &Name
  );

/**
  @return The contents of a file in the directory (empty when it is missing).
**/
std::vector<UINT8>
HostShellReadFileBytes (
  IN CONST std::string  &Name
  );

/**
  Make a call fail with Status. The first Skip calls from now succeed, the
  next one fails; with Always, every call from then on fails. EFI_SUCCESS
  cancels the fault of that call.

  A failed open opens nothing; a failed read transfers the bytes set with
  HostShellSetReadBytesOnFailure (0 by default); a failed delete still
  closes the file, as the shell does; a failed close leaves the file open.
**/
VOID
HostShellFail (
  IN HOST_SHELL_CALL  Call,
  IN EFI_STATUS       Status,
  IN UINT32           Skip   = 0,
  IN BOOLEAN          Always = FALSE
  );

/**
  Bytes that a read failing by injection still transfers (and reports in
  its count), at most as many as were asked for and are left in the file.
**/
VOID
HostShellSetReadBytesOnFailure (
  IN UINTN  Bytes
  );

/**
  Make every read transfer at most Bytes bytes, with EFI_SUCCESS. MAX_UINTN
  (the default) reads as much as asked.
**/
VOID
HostShellSetShortRead (
  IN UINTN  Bytes
  );

/**
  Make every read take virtual time (HostClock.h) as a medium that reads
  BytesPerSecond bytes a second would; 0 (the default) takes none.
**/
VOID
HostShellSetReadRate (
  IN UINT64  BytesPerSecond
  );

/**
  Make ShellGetFileSize report Size for every file until the next reset,
  whatever the file holds (for sizes no test can create on disk).
**/
VOID
HostShellFakeFileSize (
  IN UINT64  Size
  );

/**
  @return Every ShellOpenFileByName call since the last reset, in order.
**/
CONST std::vector<HOST_SHELL_OPEN_CALL> &
HostShellOpenCalls (
  VOID
  );

/**
  @return Number of calls of one function since the last reset.
**/
UINT32
HostShellCallCount (
  IN HOST_SHELL_CALL  Call
  );

/**
  @return Number of files open now (opened and neither closed nor deleted).
**/
UINTN
HostShellOpenFileCount (
  VOID
  );

/**
  @return The current position of an open file; MAX_UINT64 for a handle
          that is not open.
**/
UINT64
HostShellPosition (
  IN VOID  *Handle
  );

/**
  @return The number of bytes each ShellReadFile call asked for, in order.
**/
CONST std::vector<UINTN> &
HostShellReadRequests (
  VOID
  );

#endif
