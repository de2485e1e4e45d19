/** @file
  The part of an EDK II AutoGen.h that EDK II's own library sources need when
  they are compiled for the host (BasePrintLib, BaseLib, BaseMemoryLib):
  the values of the PCDs they read, as the MdePkg declaration defaults them
  or CtlFlashLibs.dsc.inc sets them.
  Force-included into those sources only.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_AUTO_GEN_H_
#define HOST_AUTO_GEN_H_

#include <Base.h>
#include <Library/PcdLib.h>

#define _PCD_VALUE_PcdMaximumUnicodeStringLength       1000000U
#define _PCD_GET_MODE_32_PcdMaximumUnicodeStringLength  _PCD_VALUE_PcdMaximumUnicodeStringLength
#define _PCD_VALUE_PcdMaximumAsciiStringLength         1000000U
#define _PCD_GET_MODE_32_PcdMaximumAsciiStringLength    _PCD_VALUE_PcdMaximumAsciiStringLength
#define _PCD_VALUE_PcdMaximumLinkedListLength          1000000U
#define _PCD_GET_MODE_32_PcdMaximumLinkedListLength     _PCD_VALUE_PcdMaximumLinkedListLength
#define _PCD_VALUE_PcdVerifyNodeInList                 0
#define _PCD_GET_MODE_BOOL_PcdVerifyNodeInList          _PCD_VALUE_PcdVerifyNodeInList
#define _PCD_VALUE_PcdUefiLibMaxPrintBufferSize        1024U   // as CtlFlashLibs.dsc.inc sets it
#define _PCD_GET_MODE_32_PcdUefiLibMaxPrintBufferSize   _PCD_VALUE_PcdUefiLibMaxPrintBufferSize

#endif
