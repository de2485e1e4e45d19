/** @file
  The version of ctlflash as text. The number itself is written once, as
  VERSION_STRING in CtlFlash.inf: the firmware build passes it on as
  CTLFLASH_VERSION (scripts/build-efi.sh, CtlFlash.dsc), the host build
  reads it from the same line (CMakeLists.txt), and so do the release's
  file names (Makefile).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CTLFLASH_VERSION_H_
#define CTLFLASH_VERSION_H_

#ifndef CTLFLASH_VERSION
  #error "CTLFLASH_VERSION is not defined: build through CtlFlash.dsc with scripts/build-efi.sh, or through CMake"
#endif

#define CTLFLASH_VERSION_TEXT_(Version)  #Version
#define CTLFLASH_VERSION_TEXT__(Version) CTLFLASH_VERSION_TEXT_ (Version)

///
/// The version as an ASCII string literal, "1.1" for instance.
///
#define CTLFLASH_VERSION_STRING  CTLFLASH_VERSION_TEXT__ (CTLFLASH_VERSION)

#endif
