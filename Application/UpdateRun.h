/** @file
  The update and check runs of the command line: the target argument (an
  index, a PCI location or "all"), the choice of controllers, one update or
  check per controller from one loaded image, the result lines and the
  Update records.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef UPDATE_RUN_H_
#define UPDATE_RUN_H_

#include "../CtlFlash.h"
#include "PciLocation.h"

///
/// The kinds of target argument.
///
enum class TARGET_KIND : UINT8 {
  INDEX,      ///< decimal index of this run's table
  LOCATION,   ///< PCI location, "SSSS:BB:DD.F" or "BB:DD.F"
  ALL         ///< every controller that the image supports
};

///
/// A parsed target argument. Filled by ParseTarget; Index is valid for
/// INDEX, Location for LOCATION.
///
struct UPDATE_TARGET {
  TARGET_KIND     Kind;
  UINT32          Index;
  PCI_LOCATION    Location;
};

///
/// What became of one controller of an update or check run. Filled by the
/// run, controller by controller, and read by the result line and the
/// Update record.
///
enum class CONTROLLER_OUTCOME : UINT8 {
  UPDATED,              ///< every component flashed, the drives restored
  PASSED,               ///< a check found that the update would go ahead
  SKIPPED,              ///< with "all": the image does not support it
  FLASHED_NOT_RESTORED, ///< every component flashed, drives left in write-through
  FAILED                ///< anything else; the status tells which
};

/**
  Parse the target argument: "all", a PCI location (ParsePciLocation), or
  an index of one or more decimal digits whose value fits 32 bits (leading
  zeros allowed). Nothing else is a target: "0x1", "1a", " 1", "-1" and ""
  are refused, so a typo never selects another controller.

  @param[in]  Text    The argument as the shell gives it.
  @param[out] Target  Receives the target when TRUE is returned.

  @retval TRUE   Text is a target.
  @retval FALSE  It is not.
**/
BOOLEAN
ParseTarget (
  IN  CONST CHAR16   *Text,
  OUT UPDATE_TARGET  *Target
  );

/**
  Find the controller of this run at a PCI location.

  @param[in]  Location  The location.
  @param[out] Index     Receives its index when TRUE is returned.

  @retval TRUE   A controller of the table is at Location.
  @retval FALSE  None is (a controller left out at bring-up has no index).
**/
BOOLEAN
FindControllerAt (
  IN  CONST PCI_LOCATION  *Location,
  OUT UINT32              *Index
  );

/**
  The exit status as the shell shows it in %lasterror%: the status without
  its error bit.

  @param[in] Status  An EFI status.

  @return Status with the top bit cleared.
**/
UINT64
ShownStatus (
  IN EFI_STATUS  Status
  );

/**
  Run an update (or with mCheckOnly a check) of the target with the image
  in FileName, after discovery and inventory. Prints every message of the
  update and, with "all", one line per controller, and notes the result
  line that PrintResultLine prints; with standard-format output on, writes
  one Update record per controller tried or skipped.

  @param[in] FileName  The image file's name, as the shell gives it (at
                       most 255 characters).
  @param[in] Target    The parsed target.

  @return The exit status of the run (see CommandLine.h).
**/
EFI_STATUS
RunUpdate (
  IN CONST CHAR16         *FileName,
  IN CONST UPDATE_TARGET  *Target
  );

/**
  Forget any result line owed; called at the start of a command line.
**/
VOID
ResetResultLine (
  VOID
  );

/**
  Owe the result line of an update or check command line that ended
  before any controller was chosen: "no controller".
**/
VOID
NoteRunRefused (
  VOID
  );

/**
  Print the result line that the run owes, if any, as the run's last line
  (after the attributes are restored, whose messages come before it):
    ctlflash result: SUCCESS, controller 0 at 0000:03:00.0, exit status 0x0
  The word is SUCCESS exactly when Status is EFI_SUCCESS, else FAILED; the
  status is shown as %lasterror% shows it.

  @param[in] Status  The exit status of the run.
**/
VOID
PrintResultLine (
  IN EFI_STATUS  Status
  );

#endif
