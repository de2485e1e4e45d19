/** @file
  The persistent update record: what an update is about to change, kept in
  a non-volatile UEFI variable so that a power cut in the middle of an
  update loses nothing. The next run finds it, names it in the listing and
  the check, and an update of the same controller puts back the policies it
  holds.

  The variable: vendor GUID UPDATE_RECORD_VARIABLE_GUID (the tool's own),
  name "Update-SSSS:BB:DD.F" (the controller's PCI location as the messages
  show it), attributes non-volatile, boot service and runtime, so the
  operating system can read it too. Its bytes are one UPDATE_RECORD_HEADER
  followed by DriveCount UPDATE_RECORD_DRIVE, little-endian, without
  padding.

  Module state, valid for one run:

  | Name             | Written by                          | Read by               |
  |------------------|-------------------------------------|-----------------------|
  | mRecordImage     | NoteUpdateRecordImage               | WriteUpdateRecord     |
  | mFoundRecord,    | LoadUpdateRecordForUpdate           | the guard, Finish...  |
  |   mFoundState    |                                     |                       |
  | mWrittenRecord,  | WriteUpdateRecord; its Stage also   | FinishUpdateRecord    |
  |   mRecordWritten | by NoteUpdateRecordFlashStarted     |                       |
  | mRecordStatus    | WriteUpdateRecord                   | UpdateFirmware        |

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef UPDATE_RECORD_H_
#define UPDATE_RECORD_H_

#include "../CtlFlash.h"

///
/// The vendor GUID of the tool's variables.
///
#define UPDATE_RECORD_VARIABLE_GUID \
  { 0xd5f4878a, 0xd9ff, 0x40d5, { 0xa1, 0xd9, 0x87, 0x1f, 0x67, 0x93, 0xf5, 0xc3 } }

///
/// Variable name: this prefix and the PCI location.
///
#define UPDATE_RECORD_NAME_PREFIX  "Update-"
#define UPDATE_RECORD_NAME_SIZE    (sizeof (UPDATE_RECORD_NAME_PREFIX) - 1 + CONTROLLER_LOCATION_SIZE)

#define UPDATE_RECORD_ATTRIBUTES \
  (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)

#define UPDATE_RECORD_SIGNATURE   SIGNATURE_32 ('C', 'F', 'U', 'R')
#define UPDATE_RECORD_VERSION     1
#define UPDATE_RECORD_MAX_DRIVES  64
#define UPDATE_RECORD_IMAGE_NAME  64

#pragma pack(push, 1)

///
/// One drive that the update switches to write-through.
///
struct UPDATE_RECORD_DRIVE {
  UINT8    TargetId;      ///< low byte of the drive's Ref in the list
  UINT8    VdId;          ///< the VD number as the messages show it
  UINT8    SavedPolicy;   ///< CachePolicy before the switch; bit 0 (write-back) set
  UINT8    Reserved;      ///< 0
};

static_assert (sizeof (UPDATE_RECORD_DRIVE) == 4, "UPDATE_RECORD_DRIVE is 4 bytes");
static_assert (OFFSET_OF (UPDATE_RECORD_DRIVE, SavedPolicy) == 2, "UPDATE_RECORD_DRIVE.SavedPolicy at 2");

///
/// The record's fixed part. Every field is filled by WriteUpdateRecord;
/// Stage is changed by NoteUpdateRecordFlashStarted.
///
struct UPDATE_RECORD_HEADER {
  UINT32      Signature;           ///< UPDATE_RECORD_SIGNATURE ("CFUR")
  UINT16      Version;             ///< UPDATE_RECORD_VERSION
  UINT16      Size;                ///< bytes of the whole record, drives included
  UINT8       Stage;               ///< UPDATE_RECORD_STAGE
  UINT8       DriveCount;          ///< 1 to UPDATE_RECORD_MAX_DRIVES
  UINT8       TimeValid;           ///< 1 when Time holds the platform's time
  UINT8       Reserved0;           ///< 0
  UINT32      Segment;             ///< PCI location of the controller
  UINT8       Bus;
  UINT8       Device;
  UINT8       Function;
  UINT8       Reserved1;           ///< 0
  UINT16      VendorId;            ///< the controller's four PCI IDs
  UINT16      DeviceId;
  UINT16      SubsystemVendorId;
  UINT16      SubsystemId;
  EFI_TIME    Time;                ///< when the update began (GetTime), if TimeValid
  UINT32      ImageCrc32;          ///< CRC32 of the whole image file
  CHAR8       ImageName[UPDATE_RECORD_IMAGE_NAME];   ///< file name, NUL-terminated, cut to fit
};

#pragma pack(pop)

static_assert (sizeof (EFI_TIME) == 16, "EFI_TIME is 16 bytes");
static_assert (OFFSET_OF (UPDATE_RECORD_HEADER, Stage) == 8, "Stage at 8");
static_assert (OFFSET_OF (UPDATE_RECORD_HEADER, Segment) == 12, "Segment at 12");
static_assert (OFFSET_OF (UPDATE_RECORD_HEADER, VendorId) == 20, "VendorId at 20");
static_assert (OFFSET_OF (UPDATE_RECORD_HEADER, Time) == 28, "Time at 28");
static_assert (OFFSET_OF (UPDATE_RECORD_HEADER, ImageCrc32) == 44, "ImageCrc32 at 44");
static_assert (OFFSET_OF (UPDATE_RECORD_HEADER, ImageName) == 48, "ImageName at 48");
static_assert (sizeof (UPDATE_RECORD_HEADER) == 112, "UPDATE_RECORD_HEADER is 112 bytes");

#define UPDATE_RECORD_MAX_SIZE  (sizeof (UPDATE_RECORD_HEADER) + UPDATE_RECORD_MAX_DRIVES * sizeof (UPDATE_RECORD_DRIVE))

///
/// A whole record as it is kept in memory.
///
struct UPDATE_RECORD {
  UPDATE_RECORD_HEADER    Header;
  UPDATE_RECORD_DRIVE     Drives[UPDATE_RECORD_MAX_DRIVES];
};

static_assert (sizeof (UPDATE_RECORD) == UPDATE_RECORD_MAX_SIZE, "UPDATE_RECORD has no padding");

/**
  Check the bytes of a stored record: signature, version, a size that
  matches the drive count and the bytes read, at most
  UPDATE_RECORD_MAX_DRIVES drives, each with a write-back policy.

  @param[in]  Bytes   The variable's data.
  @param[in]  Length  Its size.
  @param[out] Record  Receives the record when it is whole.

  @retval TRUE   The record is whole.
  @retval FALSE  It is not; Record is zeroed.
**/
BOOLEAN
DecodeUpdateRecord (
  IN  CONST VOID     *Bytes,
  IN  UINTN          Length,
  OUT UPDATE_RECORD  *Record
  );

/**
  Make the variable name of a controller location.

  @param[in]  Location  "SSSS:BB:DD.F".
  @param[out] Name      Receives "Update-SSSS:BB:DD.F".

  @retval TRUE   The name was made.
  @retval FALSE  The location does not fit.
**/
BOOLEAN
UpdateRecordName (
  IN  CONST CHAR8  *Location,
  OUT CHAR16       (&Name)[UPDATE_RECORD_NAME_SIZE]
  );

/**
  Print the note of one controller's record: "\nController N at L: an
  update was cut off on DATE; VD(0) VD(2) held in write-through." (" on
  DATE" only when the record holds the time), or that a record is kept that
  does not match the controller, and why.

  @param[in] Controller  The controller.
  @param[in] Match       What JudgeRecord found (not NONE).
  @param[in] Record      The record read.
**/
VOID
PrintUpdateRecordNote (
  IN CONST CONTROLLER_CONTEXT  *Controller,
  IN UPDATE_RECORD_MATCH       Match,
  IN CONST UPDATE_RECORD       *Record
  );

/**
  @return The record that LoadUpdateRecordForUpdate found and that matches
          the controller's IDs; NULL when there is none or it was refused.
**/
CONST UPDATE_RECORD *
FoundUpdateRecord (
  VOID
  );

/**
  Refuse the found record: print that it does not match the controller and
  why, keep it, and make UpdateRecordStatus EFI_ABORTED.

  @param[in] Controller       The controller.
  @param[in] Match            OTHER_IDS, UNREADABLE or DRIVES_GONE.
  @param[in] MissingTargetId  With DRIVES_GONE: the target id not listed.
**/
VOID
ReportUpdateRecordMismatch (
  IN CONST CONTROLLER_CONTEXT  *Controller,
  IN UPDATE_RECORD_MATCH       Match,
  IN UINT32                    MissingTargetId
  );

/**
  Say in one line that the update takes the found record's policies, or
  with mCheckOnly that it would.
**/
VOID
PrintUpdateRecordTakeOver (
  VOID
  );

/**
  Write the record of the update under way, before its first
  set-properties request: the controller's location and IDs, the drives
  and their saved policies, the image noted by NoteUpdateRecordImage and
  the time if the platform has one. A failure is printed ("the update does
  not start") and kept for UpdateRecordStatus.

  @param[in] Controller  The controller.
  @param[in] Drives      The drives to be switched, in list order.
  @param[in] DriveCount  1 to UPDATE_RECORD_MAX_DRIVES.

  @retval EFI_SUCCESS  The record is stored.
  @return The variable service's error, or EFI_NOT_FOUND when the
          controller has no PCI location to name the record by.
**/
EFI_STATUS
WriteUpdateRecord (
  IN CONTROLLER_CONTEXT         *Controller,
  IN CONST UPDATE_RECORD_DRIVE  *Drives,
  IN UINT32                     DriveCount
  );

#endif
