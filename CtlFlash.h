/** @file
  Shared records, constants and entry points of ctlflash, the UEFI Shell tool
  that lists the maker's RAID controllers and writes firmware images into them.

  Every product source includes this header, directly or through the header
  of its own part, which declares what only that part, its neighbours and
  its tests share: Application/CommandLine.h, ControllerRecords.h,
  FileAccess.h, StandardFormat.h and UpdateRun.h (and PciLocation.h, which
  needs nothing of this header), Controller/PciWindow.h and WaitNotice.h,
  Image/ImageFormat.h and FlashUpdate.h, Management/CachePolicyInternal.h
  and UpdateRecord.h. This header pulls in the EDK II library
  classes that the application is built with, and ControllerInterface.h,
  which declares the controller's own interface: the supported models, the
  registers, the command frame, the opcodes and the records that requests
  carry. What is here is the application's: its records, its module state
  and its entry points.

  Ownership at a glance (all module state is zero at load and valid for one
  run; the state that its own file keeps to itself is documented there):

  | State                  | Filled by                   | Read by                        |
  |------------------------|-----------------------------|--------------------------------|
  | mControllerTable       | DiscoverControllers         | everything that takes an index |
  | CONTROLLER_CONTEXT     | InitializeController        | register access, IssueCommand  |
  |   .Disabled            | InitializeController,       | IssueCommand, the listing      |
  |                        | CollectControllerInventory  |                                |
  |   .NotAnswering        | InitializeController (FALSE)| IssueCommand                   |
  |                        | IssueCommand (on a time-out)|                                |
  | mLeftOutTable          | InitializeController (on a  | the -sfo listing               |
  |                        | failed bring-up)            |                                |
  | mCtrlInfo, mBbu*       | CollectControllerInventory  | PrintControllerListing         |
  | mLd*, mSavedCachePolicy| the write-cache guard       | the guard (the table of its    |
  | and the guard's others |                             | state: CachePolicyInternal.h)  |
  | mComponentTable        | ScanImageComponents         | UpdateFirmware (while it holds |
  |                        |                             | the image buffer)              |
  | mFileSlots             | FileOpen / FileClose        | the file layer                 |
  | the result line        | ResetResultLine, the update | PrintResultLine, at the end of |
  |                        | run (Application/UpdateRun) | the command line               |
  | the -sfo output        | SfoStart / SfoStop          | the record writer, while -sfo  |
  |                        | (Application/StandardFormat)| is on                          |
  | mForceUpdate           | ProcessCommandLine          | the guard, the update record   |
  | mCheckOnly             | ProcessCommandLine          | the update run, UpdateFirmware,|
  |                        |                             | the guard, the update record   |
  | the update record      | UpdateFirmware, the guard   | the listing, the next update   |
  |                        | (Management/UpdateRecord.h) | (a UEFI variable, kept across  |
  |                        |                             | boots; what the run found and  |
  |                        |                             | wrote of it is module state of |
  |                        |                             | UpdateRecord.cpp)              |

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CTL_FLASH_H_
#define CTL_FLASH_H_

extern "C" {
#include <Uefi.h>
#include <IndustryStandard/Pci22.h>
#include <IndustryStandard/Acpi.h>
#include <Protocol/PciIo.h>
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/PrintLib.h>
#include <Library/ShellCEntryLib.h>
#include <Library/ShellLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

#include "ControllerInterface.h"

///
/// A CHAR16 string literal. u"" literals have the layout of CHAR16 but are
/// another C++ type, so they are handed to the UEFI interfaces through this.
///
#define CTL_WSTR(Literal)  (reinterpret_cast<CONST CHAR16 *> (u"" Literal))

//
// ---------------------------------------------------------------------------
// Small C++ helpers
// ---------------------------------------------------------------------------
//

/**
  Owns one pool buffer and frees it when the scope ends, on every path.
  Release() hands the buffer on without freeing it.
**/
class POOL_GUARD {
public:
  explicit POOL_GUARD (VOID *Buffer) : mBuffer (Buffer) {}
  ~POOL_GUARD () { if (mBuffer != NULL) { FreePool (mBuffer); } }
  POOL_GUARD (CONST POOL_GUARD &)            = delete;
  POOL_GUARD &operator= (CONST POOL_GUARD &) = delete;

  VOID *
  Get () const
  {
    return mBuffer;
  }

  VOID *
  Release ()
  {
    VOID  *Buffer = mBuffer;

    mBuffer = NULL;
    return Buffer;
  }

private:
  VOID  *mBuffer;
};

///
/// Number of elements of a C array, usable in constant expressions.
///
template <typename T, UINTN N>
constexpr UINTN
ArrayCount (T (&)[N])
{
  return N;
}

//
// ---------------------------------------------------------------------------
// The controller table and the per-controller record
// ---------------------------------------------------------------------------
//

#define MAX_CONTROLLERS  32

///
/// Size of CONTROLLER_CONTEXT.Location: "SSSS:BB:DD.F" (a segment above
/// 0xFFFF prints wider) and its NUL.
///
#define CONTROLLER_LOCATION_SIZE  20

///
/// The record of one controller that was found and brought up.
///
/// | Field              | Filled by            | Changed later by                 |
/// |--------------------|----------------------|----------------------------------|
/// | PciIo              | InitializeController | never (not owned, never closed)  |
/// | Model              | InitializeController | only Model.FlushReads, at bring-up |
/// | RegisterBase       | InitializeController | never                            |
/// | PciBarIndex        | InitializeController | never                            |
/// | the four PCI IDs   | InitializeController | never                            |
/// | WindowAbove4G      | InitializeController | never                            |
/// | Disabled           | InitializeController | CollectControllerInventory       |
/// | NotAnswering       | InitializeController | IssueCommand, after a time-out   |
/// | Location           | InitializeController | never                            |
/// | OriginalAttributes | EnableControllerDma  | never                            |
/// | AttributesChanged  | EnableControllerDma  | RestoreControllerAttributes      |
///
struct CONTROLLER_CONTEXT {
  EFI_PCI_IO_PROTOCOL     *PciIo;
  SUPPORTED_CONTROLLER    Model;
  UINT32                  RegisterBase;
  UINT16                  VendorId;
  UINT16                  DeviceId;
  UINT16                  SubsystemVendorId;
  UINT16                  SubsystemId;
  BOOLEAN                 Disabled;
  ///
  /// TRUE when the register window is a 64-bit memory BAR placed above
  /// 4 GiB: RegisterBase cannot hold its address, so base-relative accesses
  /// are made BAR-relative instead of at a truncated address.
  ///
  BOOLEAN                 WindowAbove4G;
  ///
  /// The BarIndex that PCI I/O knows the register window by. Model.BarIndex
  /// names a slot of the configuration header; the platform's PCI bus driver
  /// numbers BARs, not slots, and a 64-bit BAR takes two slots, so the two
  /// differ once a 64-bit BAR lies in front of the window. Every
  /// BAR-relative access uses this index.
  ///
  UINT8                   PciBarIndex;
  ///
  /// TRUE once a request got no answer within its poll limit: every later
  /// request to this controller fails at once, so no run waits the full
  /// time for the same controller twice.
  ///
  BOOLEAN                 NotAnswering;
  ///
  /// PCI location as the messages show it, "SSSS:BB:DD.F" in hexadecimal
  /// ("unknown location" when the platform does not say).
  ///
  CHAR8                   Location[CONTROLLER_LOCATION_SIZE];
  ///
  /// The function's PCI attributes as the platform left them, put back at
  /// the end of the run (RestoreControllerAttributes).
  ///
  UINT64                  OriginalAttributes;
  ///
  /// TRUE from the first change of the attributes until they are restored.
  ///
  BOOLEAN                 AttributesChanged;
};

///
/// Every controller found, by the index that the listing shows and the user
/// types.
///
struct CONTROLLER_TABLE {
  UINT32                ControllerCount;
  CONTROLLER_CONTEXT    Controllers[MAX_CONTROLLERS];
};

extern CONTROLLER_TABLE  mControllerTable;

///
/// A supported controller that failed its bring-up: it has no slot and no
/// index, but the machine-readable listing still names it. Filled by
/// InitializeController when the bring-up fails; emptied by
/// DiscoverControllers at its start.
///
struct LEFT_OUT_CONTROLLER {
  CHAR8            Location[CONTROLLER_LOCATION_SIZE];
  UINT16           VendorId;
  UINT16           DeviceId;
  UINT16           SubsystemVendorId;
  UINT16           SubsystemId;
  CONST CHAR8      *Reason;          ///< as the left-out line shows it; static text
};

///
/// Every controller left out in this run, in the order found.
///
struct LEFT_OUT_TABLE {
  UINT32                 Count;
  LEFT_OUT_CONTROLLER    Controllers[MAX_CONTROLLERS];
};

extern LEFT_OUT_TABLE  mLeftOutTable;

/**
  Find the supported-controller row of a PCI device ID.

  @param[in] DeviceId  PCI device ID of the function.

  @return The first row with that device ID, or NULL when no row has it.
**/
CONST SUPPORTED_CONTROLLER *
FindSupportedController (
  IN UINT16  DeviceId
  );

/**
  Read one 32-bit controller register. Its offset on the controller's model
  and how it is reached come from its definition (ControllerInterface.h);
  a window above 4 GiB is always reached through its BAR. The status of the
  PCI I/O call is not looked at: a failed read gives what the service left
  in the zeroed value.

  @param[in] Context   The controller.
  @param[in] Register  The register (STATUS_REGISTER, ...).

  @return The value read; 0 when nothing could be read.
**/
UINT32
ReadControllerRegister (
  IN CONTROLLER_CONTEXT   *Context,
  IN CONTROLLER_REGISTER  Register
  );

/**
  Write one 32-bit controller register, reached as ReadControllerRegister
  reaches it. The status of the PCI I/O call is not looked at.

  @param[in] Context   The controller.
  @param[in] Register  The register (DOORBELL_REGISTER, ...).
  @param[in] Value     Value to write.
**/
VOID
WriteControllerRegister (
  IN CONTROLLER_CONTEXT   *Context,
  IN CONTROLLER_REGISTER  Register,
  IN UINT32               Value
  );

/**
  Turn a frame's device address into the value posted to the queue ports.

  @param[in] Context  The controller, whose model selects the encoding.
  @param[in] Address  Device address of the frame, as PciIo->Map gave it.

  @return The encoded value; 0 for an unknown encoding.
**/
UINT64
EncodeFrameAddress (
  IN CONST CONTROLLER_CONTEXT  *Context,
  IN UINT64                    Address
  );

/**
  Can the model's encoding carry this frame address whole? The tag of
  ENCODE_OR must fall on zero bits, ENCODE_AND must keep every set bit, and
  a shift must push no set bit out.

  @param[in] Context  The controller, whose model selects the encoding.
  @param[in] Address  Device address of the frame.

  @retval TRUE   The controller gets exactly this address back.
  @retval FALSE  The encoding would lose or change address bits.
**/
BOOLEAN
FrameAddressEncodes (
  IN CONST CONTROLLER_CONTEXT  *Context,
  IN UINT64                    Address
  );

/**
  Find the maker's supported controllers on the PCI bus, fill
  mControllerTable and bring each controller's firmware to its ready state.
  Prints only about supported controllers: long waits, and those left out.
**/
VOID
DiscoverControllers (
  VOID
  );

/**
  @param[in] Index  A slot number below mControllerTable.ControllerCount.

  @return The controller record of that slot.
**/
CONTROLLER_CONTEXT *
GetControllerContext (
  IN UINT32  Index
  );

/**
  Fill one controller record and bring the controller's firmware up.

  @param[out] Slot    The record to fill.
  @param[in]  Header  The controller's first 64 bytes of configuration space.
  @param[in]  PciIo   Its PCI I/O interface.
  @param[in]  Row     Its supported-controller row.

  A controller that cannot be brought up is named on the console with its
  PCI location and the reason, in one line.

  @retval TRUE   The controller is ready for requests.
  @retval FALSE  The bring-up failed; Slot->Disabled is set.
**/
BOOLEAN
InitializeController (
  OUT CONTROLLER_CONTEXT          *Slot,
  IN  CONST PCI_TYPE00            *Header,
  IN  EFI_PCI_IO_PROTOCOL         *PciIo,
  IN  CONST SUPPORTED_CONTROLLER  *Row
  );

///
/// How the bring-up of one controller ended. Every value but
/// BRING_UP_READY leaves the controller out of the table.
///
enum class BRING_UP_RESULT : UINT8 {
  BRING_UP_READY,             ///< ready for requests
  BRING_UP_FIRMWARE_FAULT,    ///< state 15, or a failing state after the doorbell
  BRING_UP_NO_HANDSHAKE,      ///< the handshake register never cleared
  BRING_UP_NEVER_READY,       ///< neither ready nor settled within the bring-up bound
  BRING_UP_NO_WINDOW,         ///< no PCI I/O BAR index found for the register window
  BRING_UP_NO_BUS_MASTER      ///< decoding and bus mastering could not be enabled
};

/**
  Turn on what the tool needs of a controller's PCI function: decoding of
  the register window's space and bus mastering, and dual address cycles
  where the function supports them (so the platform need not keep DMA below
  4 GiB). The attributes found are saved in the record first.

  @param[in,out] Controller  A record with PciIo and Model filled.

  @retval TRUE   Decoding and bus mastering are on.
  @retval FALSE  The platform refused; whatever was changed is put back.
**/
BOOLEAN
EnableControllerDma (
  IN OUT CONTROLLER_CONTEXT  *Controller
  );

/**
  Put one controller's PCI attributes back as EnableControllerDma found
  them. Does nothing when they were not changed, or are already back.

  The one exception is a controller marked NotAnswering: it may still
  complete a request into memory that the run hands back, so its bus
  mastering is turned off first, in an Attributes (Disable) call of its
  own whose result is checked, and stays off while the rest is put back.
  One line on the console says so, or says that bus mastering could not be
  turned off.

  @param[in,out] Controller  The controller.
**/
VOID
RestoreAttributesOf (
  IN OUT CONTROLLER_CONTEXT  *Controller
  );

/**
  Put the PCI attributes of every controller of the table back as the
  platform left them. Called once, by ShellAppMain, when the run ends,
  whatever its outcome; a controller left out at bring-up had its
  attributes put back there already.
**/
VOID
RestoreControllerAttributes (
  VOID
  );

///
/// The bring-up of one controller, handshake included, stalls at most this
/// long in all (3 minutes).
///
#define BRING_UP_LIMIT_US  180000000ull

struct WAIT_NOTICE;

/**
  Poll the firmware state until the firmware is ready or has failed.

  The wait ends as ready after 900 consecutive polls that read the same
  status value, and as never ready once the bring-up, counted in Wait, has
  stalled BRING_UP_LIMIT_US. Every pause goes through Wait, which tells the
  user about a long wait.

  @param[in]     Controller  A filled controller record.
  @param[in,out] Wait        The bring-up's wait, started by the caller.

  @retval BRING_UP_READY           A ready state, or one status value held
                                   for 900 polls.
  @retval BRING_UP_FIRMWARE_FAULT  The firmware reported a fault.
  @retval BRING_UP_NEVER_READY     The bring-up bound was reached.
**/
BRING_UP_RESULT
WaitForFirmwareReady (
  IN     CONTROLLER_CONTEXT  *Controller,
  IN OUT WAIT_NOTICE         *Wait
  );

//
// ---------------------------------------------------------------------------
// Command frames
// ---------------------------------------------------------------------------
//

///
/// A request waits for its answer at most FRAME_POLL_LIMIT polls, one every
/// FRAME_POLL_INTERVAL_US.
///
#define FRAME_POLL_LIMIT       180000u
#define FRAME_POLL_INTERVAL_US 1000u

///
/// The status byte that means "not issued" or "no answer".
///
#define COMMAND_NOT_COMPLETED  0xFF

/**
  @param[in] Opcode  A command code.

  @return What the request does, in a few words for the console
          (CONTROLLER_COMMAND.Words); "request" for an opcode outside the
          command set.
**/
CONST CHAR8 *
CommandName (
  IN UINT32  Opcode
  );

/**
  @param[in] Opcode  A command code.

  @return TRUE for the requests that change the controller's flash
          (OP_FLASH_*): while one runs, the power must stay on.
**/
BOOLEAN
IsFlashCommand (
  IN UINT32  Opcode
  );

///
/// Pages of the PciIo->AllocateBuffer memory that holds one frame, at its
/// start: page alignment gives the frame's 256-byte alignment.
///
#define FRAME_BUFFER_PAGES  1
#define FRAME_BUFFER_SIZE   (FRAME_BUFFER_PAGES * EFI_PAGE_SIZE)
static_assert (EFI_PAGE_SIZE % FRAME_ALIGNMENT == 0, "a page start is 256-byte aligned");

/**
  Issue one request to a controller's firmware and wait for its answer.

  @param[in] Controller    The target controller.
  @param[in] Opcode        Command code (OP_*).
  @param[in] Direction     DIRECTION_*; only the low two bits are used.
  @param[in] Mailbox0      Mailbox word 0.
  @param[in] Mailbox1      Mailbox word 1.
  @param[in] Mailbox2      Mailbox word 2.
  @param[in] FirstLength   Length of the first buffer in bytes.
  @param[in] FirstBuffer   First buffer, or NULL.
  @param[in] SecondLength  Length of the second buffer in bytes.
  @param[in] SecondBuffer  Second buffer, or NULL.
  @param[in] SgeCount      Number of scatter-gather entries.

  The controller reaches the frame and the buffers by bus-master access,
  through PCI I/O: the frame lives in PciIo->AllocateBuffer memory mapped as
  a common buffer, and each buffer is mapped where it lies, without a copy
  unless the platform makes one: for where the command set says the data
  goes (CONTROLLER_COMMAND.Data), as a common buffer where the frame's flag
  says otherwise, and as Direction says for an opcode outside the command
  set. A request with a buffer but no single data direction is not issued. The queue ports, the scatter-gather
  entries and Context get device addresses. A buffer that Map cannot map
  whole, or a frame address that the model's encoding cannot carry, leaves
  the request not issued. Every mapping is undone and the frame memory
  freed before the call returns, except after a time-out: the controller
  still holds the frame's address and may yet complete it, so the frame,
  its mapping and the buffers' mappings are kept for the rest of the boot.

  A wait that passes 5 seconds is shown on the console (WaitNotice.h). A
  request that gets no answer within the poll limit marks the controller
  NotAnswering.

  @retval 0     The controller completed the request.
  @retval 0xFF  Not issued (controller disabled or not answering, no frame
                memory, a buffer or the frame not mappable) or no answer
                within the poll limit.
  @return Any other value: the controller's completion status.
**/
UINT8
IssueCommand (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT16              Direction,
  IN UINT32              Mailbox0,
  IN UINT32              Mailbox1,
  IN UINT32              Mailbox2,
  IN UINT32              FirstLength,
  IN VOID                *FirstBuffer,
  IN UINT32              SecondLength,
  IN VOID                *SecondBuffer,
  IN UINT8               SgeCount
  );

//
// The requests of the command set, one helper per way the data goes: one
// scatter-gather entry (a request without data has an empty one), mailbox
// words 1 and 2 zero, and the frame's direction flag from the opcode's row
// of the command set (mControllerCommands). Every caller issues its requests
// through these, so the frame layout of a request is written in one place.
//
// Each returns what IssueCommand returns: 0, the controller's status, or
// COMMAND_NOT_COMPLETED, which is also the answer, without a request, for
// an opcode whose data does not go the helper's way.
//

/**
  A request without data (flash open, commit and close).

  @param[in] Controller  The target controller.
  @param[in] Opcode      Command code (OP_*).
  @param[in] Mailbox0    Mailbox word 0.
**/
UINT8
RequestWithoutData (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT32              Mailbox0
  );

/**
  A request whose data goes to the controller: the flash download, and the
  set-properties request. Where the frame's flag says otherwise (see the
  command set), the data is copied into PciIo->AllocateBuffer memory that
  is mapped as a common buffer; that memory is freed when the request ends,
  except when the controller stops answering: it then still holds the
  address, and the pages stay its own for the rest of the boot. Otherwise
  the controller reads Buffer where it lies. Buffer is never changed.

  @param[in] Controller  The target controller.
  @param[in] Opcode      Command code (OP_*).
  @param[in] Mailbox0    Mailbox word 0.
  @param[in] Buffer      The data, which the controller reads.
  @param[in] Length      Its length in bytes, not 0.

  @return What IssueCommand returns; COMMAND_NOT_COMPLETED also when the
          common buffer cannot be had.
**/
UINT8
RequestToController (
  IN CONTROLLER_CONTEXT  *Controller,
  IN UINT32              Opcode,
  IN UINT32              Mailbox0,
  IN CONST VOID          *Buffer,
  IN UINT32              Length
  );

/**
  A request whose data comes from the controller: the inventory queries and
  the logical-drive reads.

  @param[in]  Controller  The target controller.
  @param[in]  Opcode      Command code (OP_*).
  @param[in]  Mailbox0    Mailbox word 0.
  @param[out] Buffer      Receives the controller's answer.
  @param[in]  Length      Its length in bytes.
**/
UINT8
RequestFromController (
  IN  CONTROLLER_CONTEXT  *Controller,
  IN  UINT32              Opcode,
  IN  UINT32              Mailbox0,
  OUT VOID                *Buffer,
  IN  UINT32              Length
  );

//
// ---------------------------------------------------------------------------
// Inventory and listing
// ---------------------------------------------------------------------------
//

///
/// Response areas, one entry per controller slot. Zeroed and filled by
/// CollectControllerInventory, read by the listing.
///
extern CTRL_INFO_RESPONSE   mCtrlInfo[MAX_CONTROLLERS];
extern BBU_STATUS_RESPONSE  mBbuStatus[MAX_CONTROLLERS];
extern BBU_INFO_RESPONSE    mBbuInfo[MAX_CONTROLLERS];
extern BBU_0507_RESPONSE    mBbu0507[MAX_CONTROLLERS];

/**
  Ask every controller found for its information and battery data; disable
  a controller whose information request fails.
**/
VOID
CollectControllerInventory (
  VOID
  );

/**
  @param[in] Slot  A controller slot below the controller count.

  @return The battery type name of that slot, NUL-terminated.
**/
CONST CHAR8 *
GetBatteryTypeName (
  IN UINT32  Slot
  );

/**
  @param[in] Slot  A controller slot below the controller count.

  @return The product name that the controller reported, NUL-terminated and
          cut at the end of its record; valid until the next call.
**/
CONST CHAR8 *
GetProductName (
  IN UINT32  Slot
  );

/**
  Print the banner, the table of enabled controllers and the usage text.
**/
VOID
PrintControllerListing (
  VOID
  );

//
// ---------------------------------------------------------------------------
// Write-cache guard
// ---------------------------------------------------------------------------
//

/**
  Switch every write-back logical drive of a controller to write-through,
  saving the old policies. Does nothing when mForceUpdate is set.

  With mCheckOnly set, the list and the properties are read as for the
  switch, and the drives that would be switched are named, but no
  set-properties request is sent.

  When a set request fails part-way, the drives already switched are put
  back at once (nothing has reached the flash yet); any drive that cannot be
  put back is named as left in write-through.

  @param[in] Controller  The controller about to be flashed.

  @retval TRUE   Every request succeeded (always with mForceUpdate).
  @retval FALSE  A request failed; the reason has been printed.
**/
BOOLEAN
SwitchToWriteThrough (
  IN CONTROLLER_CONTEXT  *Controller
  );

/**
  Put back the cache policies saved by SwitchToWriteThrough. Does nothing
  when mForceUpdate is set.

  @param[in] Controller  The controller that was flashed.

  @retval TRUE   Every request succeeded (always with mForceUpdate).
  @retval FALSE  A request failed; the reason has been printed.
**/
BOOLEAN
RestoreWriteCachePolicy (
  IN CONTROLLER_CONTEXT  *Controller
  );

/**
  Put the drives that this run switched to write-through back to their
  saved policies, for an update that ends before anything has reached the
  flash. Names any drive that cannot be put back. Does nothing (no request)
  when no drive is in write-through.

  @param[in] Controller  The controller whose drives were switched.
**/
VOID
PutWriteThroughDrivesBack (
  IN CONTROLLER_CONTEXT  *Controller
  );

/**
  @return The number of drives that this run switched to write-through and
          has not put back.
**/
UINT32
DrivesLeftInWriteThrough (
  VOID
  );

///
/// Why drives stay in write-through.
///
enum class WRITE_THROUGH_REASON : UINT32 {
  FLASH_FAILED,     ///< a download was sent and the flash then failed
  RESTORE_FAILED    ///< putting write-back back failed
};

/**
  Tell the user which drives stay in write-through and why, in one line,
  for instance "\nWrite-through kept for VD(0) VD(2): the flash failed;
  switch back by hand once the controller is updated." (the VD numbers as
  the switch messages show them, in list order). Prints nothing when no
  drive stays in write-through.

  @param[in] Reason  Why the drives stay.

  @retval TRUE   At least one drive stays in write-through.
  @retval FALSE  None does.
**/
BOOLEAN
ReportDrivesLeftInWriteThrough (
  IN WRITE_THROUGH_REASON  Reason
  );

/**
  Name the drives that this run switched to write-through and has not put
  back, in list order, by the VD numbers that the switch messages show.

  @param[out] VdIds     Receives at most Capacity VD numbers.
  @param[in]  Capacity  Number of entries of VdIds.

  @return The number of such drives (may exceed Capacity; only Capacity of
          them are stored).
**/
UINT32
ListDrivesLeftInWriteThrough (
  OUT UINT8   *VdIds,
  IN  UINT32  Capacity
  );

//
// ---------------------------------------------------------------------------
// Persistent update record (Management/UpdateRecord.h holds its format)
// ---------------------------------------------------------------------------
//

///
/// How far an update had come when its record was last written.
///
enum class UPDATE_RECORD_STAGE : UINT8 {
  DRIVES_SWITCHED = 1,   ///< written before the first set-properties request
  FLASH_STARTED   = 2    ///< rewritten once the first download was sent
};

///
/// What a controller's stored record is to the controller.
///
enum class UPDATE_RECORD_MATCH : UINT32 {
  NONE,          ///< no record for its location
  MATCHES,       ///< the record's IDs are the controller's
  OTHER_IDS,     ///< a record for other IDs at that location
  UNREADABLE,    ///< the variable is not a whole record
  DRIVES_GONE    ///< a drive of the record is no longer listed
};

///
/// The facts of a controller's record, for whoever reports them. Filled
/// whole by GetUpdateRecordFacts; the other fields are zero unless Match is
/// MATCHES or OTHER_IDS.
///
struct UPDATE_RECORD_FACTS {
  UPDATE_RECORD_MATCH    Match;
  BOOLEAN                TimeValid;        ///< Time holds when the update began
  EFI_TIME               Time;
  UPDATE_RECORD_STAGE    Stage;
  UINT32                 DriveCount;       ///< drives held in write-through
  UINT8                  VdIds[64];        ///< their VD numbers, in list order
  CHAR8                  ImageName[64];    ///< image file name, NUL-terminated
  UINT32                 ImageCrc32;       ///< CRC32 of the whole image file
};

/**
  Read the facts of a controller's record. Only the controller's IDs are
  compared: whether the drives still exist needs the drive list, which an
  update reads.

  @param[in]  Controller  The controller.
  @param[out] Facts       Receives the facts.

  @retval EFI_SUCCESS    The controller has a record (Facts->Match says
                         whether it matches).
  @retval EFI_NOT_FOUND  It has none.
**/
EFI_STATUS
GetUpdateRecordFacts (
  IN  CONST CONTROLLER_CONTEXT  *Controller,
  OUT UPDATE_RECORD_FACTS       *Facts
  );

/**
  For the listing: one line for every enabled controller that has a
  record, "\nController N at L: an update was cut off on DATE; VD(0) VD(2)
  held in write-through.", or that its record does not match it.
**/
VOID
PrintUpdateRecordNotes (
  VOID
  );

/**
  Note the image of the update under way for its record.

  @param[in] FileName  ASCII file name; cut to 63 characters.
  @param[in] Image     The loaded file.
  @param[in] Length    Its size.
**/
VOID
NoteUpdateRecordImage (
  IN CONST CHAR8  *FileName,
  IN CONST VOID   *Image,
  IN UINT32       Length
  );

/**
  Start the record of an update or check: forget what an earlier run of the
  same image left, read the controller's stored record and judge it by its
  IDs. A check names a matching record as the listing does. A record that
  does not match is reported and kept, and the update must not start.

  @param[in] Controller  The controller to be updated.

  @retval TRUE   No record, or one that matches the controller's IDs.
  @retval FALSE  A record that does not match; the reason has been printed.
**/
BOOLEAN
LoadUpdateRecordForUpdate (
  IN CONTROLLER_CONTEXT  *Controller
  );

/**
  Rewrite the record with stage FLASH_STARTED, once, after the first
  download request of the run. Does nothing when this run wrote no record.

  @param[in] Controller  The controller being flashed.
**/
VOID
NoteUpdateRecordFlashStarted (
  IN CONTROLLER_CONTEXT  *Controller
  );

/**
  @retval TRUE   The record this run took over was written after the flash
                 had begun: the controller's firmware may be half written.
  @retval FALSE  Otherwise.
**/
BOOLEAN
EarlierFlashWasCut (
  VOID
  );

/**
  @return EFI_SUCCESS, or why the record kept the update from starting:
          EFI_ABORTED for a record that does not match, the variable
          service's error for a record that could not be written.
**/
EFI_STATUS
UpdateRecordStatus (
  VOID
  );

/**
  End the record of an update: delete it when this run wrote it and no
  drive is left in write-through. A record that cannot be deleted is named.

  @param[in] Controller  The controller that was updated.
**/
VOID
FinishUpdateRecord (
  IN CONTROLLER_CONTEXT  *Controller
  );

/**
  Drop the record of a location on purpose, and say so.

  @param[in] Location  "SSSS:BB:DD.F", as the messages show it.

  @retval EFI_SUCCESS            The record was dropped.
  @retval EFI_NOT_FOUND          There was none.
  @retval EFI_INVALID_PARAMETER  Location cannot name a record.
  @return The variable service's error.
**/
EFI_STATUS
ForgetUpdateRecord (
  IN CONST CHAR8  *Location
  );

//
// ---------------------------------------------------------------------------
// Firmware image and flashing
// ---------------------------------------------------------------------------
//

#define COMPONENT_HEADER_SIZE  1084
#define MAX_IMAGE_COMPONENTS   64

///
/// One component of a loaded image.
///
struct IMAGE_COMPONENT {
  UINT8          Header[COMPONENT_HEADER_SIZE];   ///< copy of the component header
  CONST UINT8    *Start;                          ///< first header byte in the image buffer
};

extern IMAGE_COMPONENT  mComponentTable[MAX_IMAGE_COMPONENTS];
extern UINT32           mComponentCount;

///
/// What an update (or a check) came to. Status is the exit status of the
/// run; FirmwareWritten is TRUE when every component was flashed, also when
/// the drives could not be restored afterwards (Status is then
/// EFI_DEVICE_ERROR though the update itself succeeded).
///
/// | Status                | Meaning                                          |
/// |-----------------------|--------------------------------------------------|
/// | EFI_SUCCESS           | every component flashed and the drives restored; |
/// |                       | with mCheckOnly: the update would go ahead       |
/// | EFI_LOAD_ERROR        | the file could not be read                       |
/// | EFI_UNSUPPORTED       | the image is refused (no signature, not for this |
/// |                       | controller, not a whole valid image)             |
/// | EFI_DEVICE_ERROR      | the controller failed a request of the update:   |
/// |                       | cache switch, flash or restore                   |
///
/// Components counts the leading entries of mComponentTable that were
/// flashed (with mCheckOnly: that a passed check would flash); the table
/// keeps their headers after the image buffer is gone.
///
struct UPDATE_OUTCOME {
  EFI_STATUS    Status;
  BOOLEAN       FirmwareWritten;
  UINT32        Components;
};

/**
  Write a firmware image file into one controller, or with mCheckOnly go
  through every step of the update that only reads: load and validate the
  image against the controller, read the logical drives, and name the
  components that would be flashed and the drives that would be switched.
  A check sends no set-properties and no flash request.

  Drive policies after a failure: while nothing has reached the flash (the
  cache switch failed part-way, or the first component's open failed) the
  switched drives are put back. Once a download request has been sent they
  stay in write-through. Whenever drives stay in write-through they are
  named on the console with the reason.

  @param[in] FileName    ASCII name of the image file.
  @param[in] Controller  The target controller.

  @return The outcome; the reason of a failure has been printed.
**/
UPDATE_OUTCOME
UpdateFirmware (
  IN CONST CHAR8         *FileName,
  IN CONTROLLER_CONTEXT  *Controller
  );

/**
  The update of UpdateFirmware with an image already loaded, so that one
  file can go to several controllers. The caller has printed the check-only
  notice. The image is only read.

  @param[in] FileName    ASCII name of the image file, for the update
                         record.
  @param[in] Image       The file's bytes, FileLength of them and one NUL
                         after them (as LoadWholeFile returns them).
  @param[in] FileLength  The file length in bytes.
  @param[in] Controller  The target controller.

  @return The outcome, as for UpdateFirmware; never EFI_LOAD_ERROR.
**/
UPDATE_OUTCOME
UpdateFirmwareFromImage (
  IN CONST CHAR8         *FileName,
  IN CONST UINT8         *Image,
  IN UINT32              FileLength,
  IN CONTROLLER_CONTEXT  *Controller
  );

//
// ---------------------------------------------------------------------------
// Application and file layer
// ---------------------------------------------------------------------------
//

///
/// TRUE when the third word of the update command line (-sfo aside) is
/// "force": the write-cache guard then leaves the logical drives and the
/// update record alone, and a record that does not match the controller
/// does not stop the update.
/// Cleared by ProcessCommandLine at the start of every command line, set
/// by it once the word is checked; defined in Application/Main.cpp.
///
extern BOOLEAN  mForceUpdate;

///
/// TRUE when the third word of the update command line (-sfo aside) is
/// "check": the update only reads and reports what it would do; no
/// set-properties or flash request is sent and no update record written.
/// Cleared and set as mForceUpdate; defined in Application/Main.cpp.
///
extern BOOLEAN  mCheckOnly;

/**
  Read a whole file into one zero-filled pool buffer one byte longer than
  the file. The file is read in pieces of at most 1 MiB; once the
  read has taken 5 seconds, a notice names the file and the MiB read so
  far of its total, and again every 30 seconds (a slow medium must not look
  like a hang). A read that ends sooner prints nothing.

  @param[in]  FileName  ASCII file name.
  @param[out] FileSize  Receives the file size when a buffer is returned;
                        may be NULL.

  @return The buffer, owned by the caller and freed with FreePool; NULL when
          the file cannot be read (the reason has been printed).
**/
VOID *
LoadWholeFile (
  IN  CONST CHAR8  *FileName,
  OUT UINT32       *FileSize OPTIONAL
  );

/**
  LoadWholeFile for a file that must begin with known bytes: its first
  HeadLength bytes are read and compared before anything else, so a file
  that does not begin with them is refused at once, however large it is.

  @param[in]  FileName     ASCII file name.
  @param[in]  Head         The bytes the file must begin with.
  @param[in]  HeadLength   Their number.
  @param[out] FileSize     Receives the file size when a buffer is returned;
                           may be NULL.
  @param[out] HeadDiffers  Set to TRUE when the file was refused because it
                           does not begin with Head (shorter files
                           included); nothing is printed for that, the
                           caller says what it means. FALSE otherwise.

  @return The buffer, as LoadWholeFile returns it; NULL when the file cannot
          be read (the reason has been printed) or does not begin with Head.
**/
VOID *
LoadFileWithHead (
  IN  CONST CHAR8  *FileName,
  IN  CONST VOID   *Head,
  IN  UINT32       HeadLength,
  OUT UINT32       *FileSize OPTIONAL,
  OUT BOOLEAN      *HeadDiffers
  );

#endif
