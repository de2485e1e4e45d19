/** @file
  Host instance of the ShellLib file functions that the product calls,
  backed by real files in a temporary directory, with fault injection and a
  record of the calls. See HostShellLib.h.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "HostClock.h"
#include "HostHarness.h"
#include "HostShellLib.h"

extern "C" {
#include <Library/ShellLib.h>
}

namespace {

///
/// One open file. The address is the SHELL_FILE_HANDLE the product holds.
///
struct HOST_FILE {
  int            Fd;
  std::string    Path;
  UINT64         OpenMode;
};

struct HOST_FAULT {
  EFI_STATUS    Status;   ///< EFI_SUCCESS: no fault
  UINT32        Skip;     ///< calls that still succeed before the fault
  BOOLEAN       Always;
};

constexpr UINT64  MODE_READ         = EFI_FILE_MODE_READ;
constexpr UINT64  MODE_READ_WRITE   = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
constexpr UINT64  MODE_CREATE       = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
constexpr UINTN   CALL_KINDS        = static_cast<UINTN> (HOST_SHELL_CALL::Count);

///
/// The directory, created on first use and removed when the process ends.
///
class HOST_DIRECTORY {
public:
  ~HOST_DIRECTORY ()
  {
    if (!mPath.empty ()) {
      std::error_code  Ignored;

      std::filesystem::remove_all (mPath, Ignored);
    }
  }

  CONST std::string &
  Path ()
  {
    if (mPath.empty ()) {
      std::string  Template = (std::filesystem::temp_directory_path () / "ctlshell-XXXXXX").string ();

      if (mkdtemp (&Template[0]) == nullptr) {
        HostReportFailure ("cannot create the host shell directory %s", Template.c_str ());
        std::abort ();
      }

      mPath = Template;
    }

    return mPath;
  }

private:
  std::string  mPath;
};

struct HOST_SHELL_STATE {
  HOST_DIRECTORY                       Directory;
  std::set<HOST_FILE *>                OpenFiles;
  std::vector<HOST_SHELL_OPEN_CALL>    OpenCalls;
  std::vector<UINTN>                   ReadRequests;
  UINT32                               CallCounts[CALL_KINDS];
  HOST_FAULT                           Faults[CALL_KINDS];
  UINTN                                ReadBytesOnFailure;
  UINTN                                ShortRead;
  BOOLEAN                              SizeFaked;
  UINT64                               FakeSize;
  UINT64                               ReadBytesPerSecond;   ///< 0: reads take no time
};

HOST_SHELL_STATE &
State (
  VOID
  )
{
  static HOST_SHELL_STATE  Storage {
    {}, {}, {}, {}, {}, {}, 0, MAX_UINTN, FALSE, 0, 0
  };

  return Storage;
}

/**
  Count a call and tell whether an injected fault applies to it.

  @return EFI_SUCCESS, or the status the call must fail with.
**/
EFI_STATUS
EnterCall (
  IN HOST_SHELL_CALL  Call
  )
{
  UINTN       Kind  = static_cast<UINTN> (Call);
  HOST_FAULT  &Fault = State ().Faults[Kind];

  State ().CallCounts[Kind]++;
  if (Fault.Status == EFI_SUCCESS) {
    return EFI_SUCCESS;
  }

  if (Fault.Skip > 0) {
    Fault.Skip--;
    return EFI_SUCCESS;
  }

  EFI_STATUS  Status = Fault.Status;

  if (!Fault.Always) {
    Fault.Status = EFI_SUCCESS;
  }

  return Status;
}

/**
  The open file behind a handle; a handle that is not open is a product
  fault and fails the test.
**/
HOST_FILE *
FindFile (
  IN CONST char  *Function,
  IN VOID        *Handle
  )
{
  HOST_FILE  *File = static_cast<HOST_FILE *> (Handle);

  if (State ().OpenFiles.count (File) == 0) {
    HostReportFailure ("%s called with a handle that is not open (%p)", Function, Handle);
    return nullptr;
  }

  return File;
}

VOID
ReleaseFile (
  IN HOST_FILE  *File
  )
{
  State ().OpenFiles.erase (File);
  close (File->Fd);
  delete File;
}

/// The CHAR16 name as a UTF-8 host path inside the directory.
std::string
HostPathOf (
  IN CONST CHAR16  *Name
  )
{
  std::string  Narrow;

  for (UINTN Index = 0; Name[Index] != 0; Index++) {
    CHAR16  Character = Name[Index];

    if (Character < 0x80) {
      Narrow.push_back (static_cast<char> (Character));
    } else if (Character < 0x800) {
      Narrow.push_back (static_cast<char> (0xC0 | (Character >> 6)));
      Narrow.push_back (static_cast<char> (0x80 | (Character & 0x3F)));
    } else {
      Narrow.push_back (static_cast<char> (0xE0 | (Character >> 12)));
      Narrow.push_back (static_cast<char> (0x80 | ((Character >> 6) & 0x3F)));
      Narrow.push_back (static_cast<char> (0x80 | (Character & 0x3F)));
    }
  }

  return HostShellPath (Narrow);
}

} // namespace

//
// Test-facing control
//

VOID
HostShellReset (
  VOID
  )
{
  HOST_SHELL_STATE  &Shell = State ();

  while (!Shell.OpenFiles.empty ()) {
    ReleaseFile (*Shell.OpenFiles.begin ());
  }

  Shell.OpenCalls.clear ();
  Shell.ReadRequests.clear ();
  for (UINTN Kind = 0; Kind < CALL_KINDS; Kind++) {
    Shell.CallCounts[Kind] = 0;
    Shell.Faults[Kind]     = HOST_FAULT { EFI_SUCCESS, 0, FALSE };
  }

  Shell.ReadBytesOnFailure = 0;
  Shell.ShortRead          = MAX_UINTN;
  Shell.SizeFaked          = FALSE;
  Shell.FakeSize           = 0;
  Shell.ReadBytesPerSecond = 0;

  std::error_code  Ignored;

  for (const auto &Entry : std::filesystem::directory_iterator (Shell.Directory.Path ())) {
    std::filesystem::remove_all (Entry.path (), Ignored);
  }
}

std::string
HostShellDirectory (
  VOID
  )
{
  return State ().Directory.Path ();
}

std::string
HostShellPath (
  IN CONST std::string  &Name
  )
{
  return HostShellDirectory () + "/" + Name;
}

VOID
HostShellWriteFile (
  IN CONST std::string         &Name,
  IN CONST std::vector<UINT8>  &Contents
  )
{
  std::ofstream  Out (HostShellPath (Name), std::ios::binary | std::ios::trunc);

  Out.write (reinterpret_cast<const char *> (Contents.data ()), static_cast<std::streamsize> (Contents.size ()));
  if (!Out) {
    HostReportFailure ("cannot write the host shell file %s", Name.c_str ());
  }
}

BOOLEAN
HostShellFileExists (
  IN CONST std::string  &Name
  )
{
  struct stat  Info;

  return stat (HostShellPath (Name).c_str (), &Info) == 0;
}

std::vector<UINT8>
HostShellReadFileBytes (
  IN CONST std::string  &Name
  )
{
  std::ifstream  In (HostShellPath (Name), std::ios::binary);

  return std::vector<UINT8> (std::istreambuf_iterator<char> (In), std::istreambuf_iterator<char> ());
}

VOID
HostShellFail (
  IN HOST_SHELL_CALL  Call,
  IN EFI_STATUS       Status,
  IN UINT32           Skip,
  IN BOOLEAN          Always
  )
{
  State ().Faults[static_cast<UINTN> (Call)] = HOST_FAULT { Status, Skip, Always };
}

VOID
HostShellSetReadBytesOnFailure (
  IN UINTN  Bytes
  )
{
  State ().ReadBytesOnFailure = Bytes;
}

VOID
HostShellSetReadRate (
  IN UINT64  BytesPerSecond
  )
{
  State ().ReadBytesPerSecond = BytesPerSecond;
}

VOID
HostShellSetShortRead (
  IN UINTN  Bytes
  )
{
  State ().ShortRead = Bytes;
}

VOID
HostShellFakeFileSize (
  IN UINT64  Size
  )
{
  State ().SizeFaked = TRUE;
  State ().FakeSize  = Size;
}

CONST std::vector<HOST_SHELL_OPEN_CALL> &
HostShellOpenCalls (
  VOID
  )
{
  return State ().OpenCalls;
}

UINT32
HostShellCallCount (
  IN HOST_SHELL_CALL  Call
  )
{
  return State ().CallCounts[static_cast<UINTN> (Call)];
}

UINTN
HostShellOpenFileCount (
  VOID
  )
{
  return State ().OpenFiles.size ();
}

UINT64
HostShellPosition (
  IN VOID  *Handle
  )
{
  HOST_FILE  *File = static_cast<HOST_FILE *> (Handle);

  if (State ().OpenFiles.count (File) == 0) {
    return MAX_UINT64;
  }

  return static_cast<UINT64> (lseek (File->Fd, 0, SEEK_CUR));
}

CONST std::vector<UINTN> &
HostShellReadRequests (
  VOID
  )
{
  return State ().ReadRequests;
}

//
// The ShellLib functions
//

extern "C" {
EFI_STATUS
EFIAPI
ShellOpenFileByName (
  IN CONST CHAR16        *FileName,
  OUT SHELL_FILE_HANDLE  *FileHandle,
  IN UINT64              OpenMode,
  IN UINT64              Attributes
  )
{
  HOST_SHELL_OPEN_CALL  Call;
  EFI_STATUS            Status;

  if ((FileName == nullptr) || (FileHandle == nullptr)) {
    HostReportFailure ("ShellOpenFileByName called with a NULL name or handle pointer");
    return EFI_INVALID_PARAMETER;
  }

  Call.Name       = reinterpret_cast<CONST char16_t *> (FileName);
  Call.OpenMode   = OpenMode;
  Call.Attributes = Attributes;

  Status = EnterCall (HOST_SHELL_CALL::Open);
  if (Status == EFI_SUCCESS) {
    int  Flags;

    if (OpenMode == MODE_READ) {
      Flags = O_RDONLY;
    } else if (OpenMode == MODE_READ_WRITE) {
      Flags = O_RDWR;
    } else if (OpenMode == MODE_CREATE) {
      Flags = O_RDWR | O_CREAT;
    } else {
      HostReportFailure ("ShellOpenFileByName called with the open mode 0x%llx", static_cast<unsigned long long> (OpenMode));
      Flags = -1;
    }

    std::string  Path = HostPathOf (FileName);
    struct stat  Info;

    if (Flags == -1) {
      Status = EFI_INVALID_PARAMETER;
    } else if ((stat (Path.c_str (), &Info) == 0) && S_ISDIR (Info.st_mode)) {
      Status = EFI_ACCESS_DENIED;
    } else {
      int  Fd = open (Path.c_str (), Flags | O_CLOEXEC, 0644);

      if (Fd < 0) {
        Status = (errno == ENOENT) ? EFI_NOT_FOUND : EFI_DEVICE_ERROR;
      } else {
        HOST_FILE  *File = new HOST_FILE { Fd, Path, OpenMode };

        State ().OpenFiles.insert (File);
        *FileHandle = File;
      }
    }
  }

  if (Status != EFI_SUCCESS) {
    *FileHandle = nullptr;
  }

  Call.Status = Status;
  State ().OpenCalls.push_back (Call);
  return Status;
}

EFI_STATUS
EFIAPI
ShellReadFile (
  IN SHELL_FILE_HANDLE  FileHandle,
  IN OUT UINTN          *ReadSize,
  OUT VOID              *Buffer
  )
{
  HOST_FILE   *File;
  EFI_STATUS  Status;
  UINTN       Wanted;
  UINTN       Done;

  Status = EnterCall (HOST_SHELL_CALL::Read);
  File   = FindFile ("ShellReadFile", FileHandle);
  if ((File == nullptr) || (ReadSize == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  State ().ReadRequests.push_back (*ReadSize);
  if ((Buffer == nullptr) && (*ReadSize != 0)) {
    HostReportFailure ("ShellReadFile called with a NULL buffer for %zu bytes", static_cast<size_t> (*ReadSize));
    return EFI_INVALID_PARAMETER;
  }

  Wanted = *ReadSize;
  if (Wanted > State ().ShortRead) {
    Wanted = State ().ShortRead;
  }

  if ((Status != EFI_SUCCESS) && (Wanted > State ().ReadBytesOnFailure)) {
    Wanted = State ().ReadBytesOnFailure;
  }

  Done = 0;
  while (Done < Wanted) {
    ssize_t  Got = read (File->Fd, static_cast<UINT8 *> (Buffer) + Done, Wanted - Done);

    if (Got < 0) {
      Status = EFI_DEVICE_ERROR;
      break;
    }

    if (Got == 0) {
      break;
    }

    Done += static_cast<UINTN> (Got);
  }

  *ReadSize = Done;
  if ((State ().ReadBytesPerSecond != 0) && (Done != 0)) {
    HostClockAdvance ((static_cast<UINT64> (Done) * 1000000ull) / State ().ReadBytesPerSecond);
  }

  return Status;
}

EFI_STATUS
EFIAPI
ShellGetFileSize (
  IN SHELL_FILE_HANDLE  FileHandle,
  OUT UINT64            *Size
  )
{
  HOST_FILE    *File;
  EFI_STATUS   Status;
  struct stat  Info;

  Status = EnterCall (HOST_SHELL_CALL::GetSize);
  File   = FindFile ("ShellGetFileSize", FileHandle);
  if ((File == nullptr) || (Size == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  if (Status != EFI_SUCCESS) {
    return Status;
  }

  if (State ().SizeFaked) {
    *Size = State ().FakeSize;
    return EFI_SUCCESS;
  }

  if (fstat (File->Fd, &Info) != 0) {
    return EFI_DEVICE_ERROR;
  }

  *Size = static_cast<UINT64> (Info.st_size);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellSetFilePosition (
  IN SHELL_FILE_HANDLE  FileHandle,
  IN UINT64             Position
  )
{
  HOST_FILE   *File;
  EFI_STATUS  Status;
  off_t       Result;

  Status = EnterCall (HOST_SHELL_CALL::SetPosition);
  File   = FindFile ("ShellSetFilePosition", FileHandle);
  if (File == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  if (Status != EFI_SUCCESS) {
    return Status;
  }

  if (Position == MAX_UINT64) {
    Result = lseek (File->Fd, 0, SEEK_END);
  } else if (Position > static_cast<UINT64> (INT64_MAX)) {
    return EFI_UNSUPPORTED;
  } else {
    Result = lseek (File->Fd, static_cast<off_t> (Position), SEEK_SET);
  }

  return (Result < 0) ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
ShellDeleteFile (
  IN SHELL_FILE_HANDLE  *FileHandle
  )
{
  HOST_FILE   *File;
  EFI_STATUS  Status;

  Status = EnterCall (HOST_SHELL_CALL::Delete);
  if (FileHandle == nullptr) {
    HostReportFailure ("ShellDeleteFile called with a NULL handle pointer");
    return EFI_INVALID_PARAMETER;
  }

  File = FindFile ("ShellDeleteFile", *FileHandle);
  if (File == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The shell closes the handle in all cases, also when the delete fails.
  //
  if ((Status == EFI_SUCCESS) && (unlink (File->Path.c_str ()) != 0)) {
    Status = EFI_WARN_DELETE_FAILURE;
  }

  ReleaseFile (File);
  return Status;
}

EFI_STATUS
EFIAPI
ShellCloseFile (
  IN SHELL_FILE_HANDLE  *FileHandle
  )
{
  HOST_FILE   *File;
  EFI_STATUS  Status;

  Status = EnterCall (HOST_SHELL_CALL::Close);
  if (FileHandle == nullptr) {
    HostReportFailure ("ShellCloseFile called with a NULL handle pointer");
    return EFI_INVALID_PARAMETER;
  }

  File = FindFile ("ShellCloseFile", *FileHandle);
  if (File == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  if (Status != EFI_SUCCESS) {
    return Status;
  }

  ReleaseFile (File);
  return EFI_SUCCESS;
}
} // extern "C"
