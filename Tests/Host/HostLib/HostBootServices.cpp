/** @file
  Host instances of UefiBootServicesTableLib and UefiRuntimeServicesTableLib:
  gImageHandle, gST, gBS and gRT, with the boot services that ctlflash calls
  (LocateHandleBuffer, OpenProtocol, pool allocation, Stall, SetMem, CopyMem)
  served from a fake handle database and a virtual clock. Also the system
  table's ConOut and StdErr, which feed the console capture, HostReset and
  HostReportFailure.

  Every service that the product has no business calling stays NULL, so such
  a call ends the test with a sanitizer report at once.
**/

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "HostInternal.h"

extern "C" {
#include <Library/BaseMemoryLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
}

namespace {

///
/// One entry of the handle database. The handle is the entry's address.
///
struct HANDLE_ENTRY {
  EFI_PCI_IO_PROTOCOL    *PciIo;
  EFI_STATUS             OpenStatus;
};

struct CLOCK_LISTENER {
  HOST_CLOCK_LISTENER    Listener;
  VOID                   *Context;
};

constexpr UINT64  DEFAULT_TIME_LIMIT_US    = 48ull * 3600ull * 1000000ull;
constexpr UINT64  DEFAULT_STALL_CALL_LIMIT = 50000000ull;

UINT8  mImageHandleToken;

std::vector<std::unique_ptr<HANDLE_ENTRY> >  &
Handles (
  VOID
  )
{
  static std::vector<std::unique_ptr<HANDLE_ENTRY> >  Storage;

  return Storage;
}

std::vector<HOST_OPEN_PROTOCOL_CALL> &
OpenCalls (
  VOID
  )
{
  static std::vector<HOST_OPEN_PROTOCOL_CALL>  Storage;

  return Storage;
}

std::vector<CLOCK_LISTENER> &
Listeners (
  VOID
  )
{
  static std::vector<CLOCK_LISTENER>  Storage;

  return Storage;
}

std::map<UINTN, UINT64> &
StallHistogram (
  VOID
  )
{
  static std::map<UINTN, UINT64>  Storage;

  return Storage;
}

EFI_STATUS  mLocateHandleStatus = EFI_SUCCESS;
UINT32      mLocateHandleCalls;
UINT32      mCloseProtocolCalls;
UINT64      mNowMicroseconds;
UINT64      mStallCalls;
UINT64      mTimeLimit  = DEFAULT_TIME_LIMIT_US;
UINT64      mStallLimit = DEFAULT_STALL_CALL_LIMIT;

HANDLE_ENTRY *
FindHandle (
  EFI_HANDLE  Handle
  )
{
  for (auto &Entry : Handles ()) {
    if (static_cast<EFI_HANDLE> (Entry.get ()) == Handle) {
      return Entry.get ();
    }
  }

  return nullptr;
}

//
// Boot services
//

EFI_STATUS
EFIAPI
HostAllocatePoolService (
  IN  EFI_MEMORY_TYPE  PoolType,
  IN  UINTN            Size,
  OUT VOID             **Buffer
  )
{
  if (Buffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  *Buffer = HostPoolAllocate (Size, FALSE);
  return (*Buffer == NULL) ? EFI_OUT_OF_RESOURCES : EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostFreePoolService (
  IN VOID  *Buffer
  )
{
  return HostPoolFree (Buffer, FALSE);
}

EFI_STATUS
EFIAPI
HostLocateHandleBuffer (
  IN     EFI_LOCATE_SEARCH_TYPE  SearchType,
  IN     EFI_GUID                *Protocol OPTIONAL,
  IN     VOID                    *SearchKey OPTIONAL,
  OUT    UINTN                   *NoHandles,
  OUT    EFI_HANDLE              **Buffer
  )
{
  mLocateHandleCalls++;
  if ((NoHandles == NULL) || (Buffer == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *NoHandles = 0;
  *Buffer    = NULL;
  if (EFI_ERROR (mLocateHandleStatus)) {
    return mLocateHandleStatus;
  }

  BOOLEAN  All = (SearchType == AllHandles);

  if (!All) {
    if ((SearchType != ByProtocol) || (Protocol == NULL)) {
      return EFI_INVALID_PARAMETER;
    }

    if (!CompareGuid (Protocol, &gEfiPciIoProtocolGuid)) {
      return EFI_NOT_FOUND;
    }
  }

  UINTN  Count = Handles ().size ();

  if (Count == 0) {
    return EFI_NOT_FOUND;
  }

  EFI_HANDLE  *List = static_cast<EFI_HANDLE *> (HostPoolAllocate (Count * sizeof (EFI_HANDLE), FALSE));

  if (List == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  for (UINTN Index = 0; Index < Count; Index++) {
    List[Index] = static_cast<EFI_HANDLE> (Handles ()[Index].get ());
  }

  *NoHandles = Count;
  *Buffer    = List;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostOpenProtocol (
  IN  EFI_HANDLE  Handle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface OPTIONAL,
  IN  EFI_HANDLE  AgentHandle,
  IN  EFI_HANDLE  ControllerHandle,
  IN  UINT32      Attributes
  )
{
  HOST_OPEN_PROTOCOL_CALL  Call = {};
  HANDLE_ENTRY             *Entry = FindHandle (Handle);

  Call.Handle           = Handle;
  Call.Protocol         = (Protocol != NULL) ? *Protocol : EFI_GUID {};
  Call.AgentHandle      = AgentHandle;
  Call.ControllerHandle = ControllerHandle;
  Call.Attributes       = Attributes;

  if ((Interface == NULL) && (Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) {
    Call.Status = EFI_INVALID_PARAMETER;
  } else {
    if (Interface != NULL) {
      *Interface = NULL;
    }

    if ((Protocol == NULL) || (Entry == nullptr)) {
      Call.Status = EFI_INVALID_PARAMETER;
    } else if (!CompareGuid (Protocol, &gEfiPciIoProtocolGuid)) {
      Call.Status = EFI_UNSUPPORTED;
    } else {
      Call.Status = Entry->OpenStatus;
      if (!EFI_ERROR (Call.Status) || (Call.Status == EFI_ALREADY_STARTED)) {
        Call.Interface = Entry->PciIo;
        if (Interface != NULL) {
          *Interface = Entry->PciIo;
        }
      }
    }
  }

  OpenCalls ().push_back (Call);
  return Call.Status;
}

EFI_STATUS
EFIAPI
HostCloseProtocol (
  IN EFI_HANDLE  UserHandle,
  IN EFI_GUID    *Protocol,
  IN EFI_HANDLE  AgentHandle,
  IN EFI_HANDLE  ControllerHandle
  )
{
  mCloseProtocolCalls++;
  return (FindHandle (UserHandle) == nullptr) ? EFI_INVALID_PARAMETER : EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostHandleProtocol (
  IN  EFI_HANDLE  UserHandle,
  IN  EFI_GUID    *Protocol,
  OUT VOID        **Interface
  )
{
  HANDLE_ENTRY  *Entry = FindHandle (UserHandle);

  if ((Interface == NULL) || (Protocol == NULL) || (Entry == nullptr)) {
    return EFI_INVALID_PARAMETER;
  }

  *Interface = NULL;
  if (!CompareGuid (Protocol, &gEfiPciIoProtocolGuid)) {
    return EFI_UNSUPPORTED;
  }

  *Interface = Entry->PciIo;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostLocateProtocol (
  IN  EFI_GUID  *Protocol,
  IN  VOID      *Registration OPTIONAL,
  OUT VOID      **Interface
  )
{
  if (Interface != NULL) {
    *Interface = NULL;
  }

  return EFI_NOT_FOUND;
}

EFI_STATUS
EFIAPI
HostStall (
  IN UINTN  Microseconds
  )
{
  mNowMicroseconds += Microseconds;
  mStallCalls++;
  StallHistogram ()[Microseconds]++;

  if ((mNowMicroseconds > mTimeLimit) || (mStallCalls > mStallLimit)) {
    std::fprintf (
      stderr,
      "host harness: Stall limit passed (virtual time %llu us, %llu calls): the code under test does not stop waiting\n",
      static_cast<unsigned long long> (mNowMicroseconds),
      static_cast<unsigned long long> (mStallCalls)
      );
    std::fflush (stderr);
    std::abort ();
  }

  //
  // A listener may add or remove listeners; walk a copy and skip any entry
  // removed meanwhile.
  //
  std::vector<CLOCK_LISTENER>  Snapshot = Listeners ();

  for (const CLOCK_LISTENER &Entry : Snapshot) {
    for (const CLOCK_LISTENER &Live : Listeners ()) {
      if ((Live.Listener == Entry.Listener) && (Live.Context == Entry.Context)) {
        Entry.Listener (Entry.Context, mNowMicroseconds);
        break;
      }
    }
  }

  return EFI_SUCCESS;
}

VOID
EFIAPI
HostCopyMemService (
  IN VOID   *Destination,
  IN VOID   *Source,
  IN UINTN  Length
  )
{
  if (Length != 0) {
    std::memmove (Destination, Source, Length);
  }
}

VOID
EFIAPI
HostSetMemService (
  IN VOID   *Buffer,
  IN UINTN  Size,
  IN UINT8  Value
  )
{
  if (Size != 0) {
    std::memset (Buffer, Value, Size);
  }
}

//
// Console output protocol: ConOut and StdErr both feed the capture, as the
// shell shows both on the screen.
//

EFI_STATUS
EFIAPI
HostTextReset (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN BOOLEAN                          ExtendedVerification
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextOutputString (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN CHAR16                           *String
  )
{
  if (String == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  HostConsoleAppend (String);
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextTestString (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN CHAR16                           *String
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextQueryMode (
  IN  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN  UINTN                            ModeNumber,
  OUT UINTN                            *Columns,
  OUT UINTN                            *Rows
  )
{
  if (ModeNumber != 0) {
    return EFI_UNSUPPORTED;
  }

  *Columns = 80;
  *Rows    = 25;
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextSetMode (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN UINTN                            ModeNumber
  )
{
  return (ModeNumber == 0) ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS
EFIAPI
HostTextSetAttribute (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN UINTN                            Attribute
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextClearScreen (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextSetCursorPosition (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN UINTN                            Column,
  IN UINTN                            Row
  )
{
  return EFI_SUCCESS;
}

EFI_STATUS
EFIAPI
HostTextEnableCursor (
  IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *This,
  IN BOOLEAN                          Visible
  )
{
  return EFI_SUCCESS;
}

EFI_SIMPLE_TEXT_OUTPUT_MODE      mTextMode;
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  mConOut;
EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  mStdErr;
EFI_BOOT_SERVICES                mBootServices;
EFI_RUNTIME_SERVICES             mRuntimeServices;
EFI_SYSTEM_TABLE                 mSystemTable;

VOID
FillTextOutput (
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL  *Protocol
  )
{
  std::memset (Protocol, 0, sizeof (*Protocol));
  Protocol->Reset             = HostTextReset;
  Protocol->OutputString      = HostTextOutputString;
  Protocol->TestString        = HostTextTestString;
  Protocol->QueryMode         = HostTextQueryMode;
  Protocol->SetMode           = HostTextSetMode;
  Protocol->SetAttribute      = HostTextSetAttribute;
  Protocol->ClearScreen       = HostTextClearScreen;
  Protocol->SetCursorPosition = HostTextSetCursorPosition;
  Protocol->EnableCursor      = HostTextEnableCursor;
  Protocol->Mode              = &mTextMode;
}

/**
  Build the tables afresh; whatever a test patched into them is undone.
**/
VOID
BuildTables (
  VOID
  )
{
  std::memset (&mTextMode, 0, sizeof (mTextMode));
  mTextMode.MaxMode       = 1;
  mTextMode.CursorVisible = TRUE;
  FillTextOutput (&mConOut);
  FillTextOutput (&mStdErr);

  std::memset (&mBootServices, 0, sizeof (mBootServices));
  mBootServices.Hdr.Signature     = EFI_BOOT_SERVICES_SIGNATURE;
  mBootServices.Hdr.Revision      = EFI_BOOT_SERVICES_REVISION;
  mBootServices.Hdr.HeaderSize    = sizeof (mBootServices);
  mBootServices.AllocatePool      = HostAllocatePoolService;
  mBootServices.FreePool          = HostFreePoolService;
  mBootServices.HandleProtocol    = HostHandleProtocol;
  mBootServices.Stall             = HostStall;
  mBootServices.OpenProtocol      = HostOpenProtocol;
  mBootServices.CloseProtocol     = HostCloseProtocol;
  mBootServices.LocateHandleBuffer = HostLocateHandleBuffer;
  mBootServices.LocateProtocol    = HostLocateProtocol;
  mBootServices.CopyMem           = HostCopyMemService;
  mBootServices.SetMem            = HostSetMemService;

  std::memset (&mRuntimeServices, 0, sizeof (mRuntimeServices));
  mRuntimeServices.Hdr.Signature  = EFI_RUNTIME_SERVICES_SIGNATURE;
  mRuntimeServices.Hdr.Revision   = EFI_RUNTIME_SERVICES_REVISION;
  mRuntimeServices.Hdr.HeaderSize = sizeof (mRuntimeServices);

  std::memset (&mSystemTable, 0, sizeof (mSystemTable));
  mSystemTable.Hdr.Signature      = EFI_SYSTEM_TABLE_SIGNATURE;
  mSystemTable.Hdr.Revision       = EFI_SYSTEM_TABLE_REVISION;
  mSystemTable.Hdr.HeaderSize     = sizeof (mSystemTable);
  mSystemTable.ConsoleOutHandle   = static_cast<EFI_HANDLE> (&mConOut);
  mSystemTable.ConOut             = &mConOut;
  mSystemTable.StandardErrorHandle = static_cast<EFI_HANDLE> (&mStdErr);
  mSystemTable.StdErr             = &mStdErr;
  mSystemTable.RuntimeServices    = &mRuntimeServices;
  mSystemTable.BootServices       = &mBootServices;
}

/**
  The tables are usable before the first HostReset (for instance by a
  fuzzer or a benchmark that never resets).
**/
struct TABLES_AT_LOAD {
  TABLES_AT_LOAD ()
  {
    BuildTables ();
  }
};

TABLES_AT_LOAD  mTablesAtLoad;

} // namespace

//
// EDK II's build generates the GUID variables of a module (AutoGen.c); the
// host defines the ones the product uses.
//
EFI_GUID  gEfiPciIoProtocolGuid = EFI_PCI_IO_PROTOCOL_GUID;

EFI_HANDLE            gImageHandle = static_cast<EFI_HANDLE> (&mImageHandleToken);
EFI_SYSTEM_TABLE      *gST         = &mSystemTable;
EFI_BOOT_SERVICES     *gBS         = &mBootServices;
EFI_RUNTIME_SERVICES  *gRT         = &mRuntimeServices;

VOID
HostBootServicesResetState (
  VOID
  )
{
  BuildTables ();
  gImageHandle = static_cast<EFI_HANDLE> (&mImageHandleToken);
  gST          = &mSystemTable;
  gBS          = &mBootServices;
  gRT          = &mRuntimeServices;

  Handles ().clear ();
  OpenCalls ().clear ();
  Listeners ().clear ();
  mLocateHandleStatus = EFI_SUCCESS;
  mLocateHandleCalls  = 0;
  mCloseProtocolCalls = 0;
  mTimeLimit          = DEFAULT_TIME_LIMIT_US;
  mStallLimit         = DEFAULT_STALL_CALL_LIMIT;
  HostClockReset ();
}

VOID
HostReset (
  VOID
  )
{
  HostBootServicesResetState ();
  HostPoolResetState ();
  HostConsoleResetState ();
  HostDebugResetState ();
}

VOID
HostReportFailure (
  IN CONST char  *Format,
  ...
  )
{
  char     Message[1024];
  va_list  Marker;

  va_start (Marker, Format);
  std::vsnprintf (Message, sizeof (Message), Format, Marker);
  va_end (Marker);

  if (::testing::UnitTest::GetInstance ()->current_test_info () != nullptr) {
    ADD_FAILURE () << "host harness: " << Message;
    return;
  }

  std::fprintf (stderr, "host harness: %s\n", Message);
  std::fflush (stderr);
  std::abort ();
}

//
// Virtual clock
//

UINT64
HostClockNow (
  VOID
  )
{
  return mNowMicroseconds;
}

VOID
HostClockReset (
  VOID
  )
{
  mNowMicroseconds = 0;
  mStallCalls      = 0;
  StallHistogram ().clear ();
}

VOID
HostClockAddListener (
  IN HOST_CLOCK_LISTENER  Listener,
  IN VOID                 *Context
  )
{
  for (const CLOCK_LISTENER &Entry : Listeners ()) {
    if ((Entry.Listener == Listener) && (Entry.Context == Context)) {
      return;
    }
  }

  Listeners ().push_back ({ Listener, Context });
}

VOID
HostClockRemoveListener (
  IN HOST_CLOCK_LISTENER  Listener,
  IN VOID                 *Context
  )
{
  auto  &List = Listeners ();

  for (auto Iterator = List.begin (); Iterator != List.end (); ++Iterator) {
    if ((Iterator->Listener == Listener) && (Iterator->Context == Context)) {
      List.erase (Iterator);
      return;
    }
  }
}

UINT64
HostStallCount (
  VOID
  )
{
  return mStallCalls;
}

UINT64
HostStallCountOf (
  IN UINTN  Microseconds
  )
{
  auto  Found = StallHistogram ().find (Microseconds);

  return (Found == StallHistogram ().end ()) ? 0 : Found->second;
}

VOID
HostClockSetLimits (
  IN UINT64  MaxMicroseconds,
  IN UINT64  MaxStallCalls
  )
{
  mTimeLimit  = MaxMicroseconds;
  mStallLimit = MaxStallCalls;
}

//
// Handle database
//

EFI_HANDLE
HostAddPciIoHandle (
  IN EFI_PCI_IO_PROTOCOL  *PciIo,
  IN EFI_STATUS           OpenStatus
  )
{
  Handles ().push_back (std::unique_ptr<HANDLE_ENTRY> (new HANDLE_ENTRY { PciIo, OpenStatus }));
  return static_cast<EFI_HANDLE> (Handles ().back ().get ());
}

VOID
HostSetOpenProtocolStatus (
  IN EFI_HANDLE  Handle,
  IN EFI_STATUS  OpenStatus
  )
{
  HANDLE_ENTRY  *Entry = FindHandle (Handle);

  if (Entry == nullptr) {
    HostReportFailure ("HostSetOpenProtocolStatus: unknown handle %p", Handle);
    return;
  }

  Entry->OpenStatus = OpenStatus;
}

VOID
HostClearHandles (
  VOID
  )
{
  Handles ().clear ();
}

VOID
HostSetLocateHandleStatus (
  IN EFI_STATUS  Status
  )
{
  mLocateHandleStatus = Status;
}

CONST std::vector<HOST_OPEN_PROTOCOL_CALL> &
HostOpenProtocolCalls (
  VOID
  )
{
  return OpenCalls ();
}

UINT32
HostLocateHandleBufferCalls (
  VOID
  )
{
  return mLocateHandleCalls;
}

UINT32
HostCloseProtocolCalls (
  VOID
  )
{
  return mCloseProtocolCalls;
}
