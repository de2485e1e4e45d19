/** @file
  Byte helpers shared by the model's sources. The model links no library, so
  it copies, clears and compares memory itself; the UEFI builds compile it
  with -fno-tree-loop-distribute-patterns so that these loops stay loops and
  do not turn into calls of a memcpy that the firmware does not have.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_INTERNAL_H_
#define SIM_INTERNAL_H_

#include "SimController.h"
#include "SimDma.h"

inline VOID
SimCopyBytes (
  OUT VOID        *Destination,
  IN  CONST VOID  *Source,
  IN  UINTN       Length
  )
{
  UINT8        *To   = static_cast<UINT8 *> (Destination);
  CONST UINT8  *From = static_cast<CONST UINT8 *> (Source);

  for (UINTN Index = 0; Index < Length; Index++) {
    To[Index] = From[Index];
  }
}

inline VOID
SimZeroBytes (
  OUT VOID   *Destination,
  IN  UINTN  Length
  )
{
  UINT8  *To = static_cast<UINT8 *> (Destination);

  for (UINTN Index = 0; Index < Length; Index++) {
    To[Index] = 0;
  }
}

inline UINT32
SimGet32 (
  IN CONST UINT8  *Bytes
  )
{
  return static_cast<UINT32> (Bytes[0])
         | (static_cast<UINT32> (Bytes[1]) << 8)
         | (static_cast<UINT32> (Bytes[2]) << 16)
         | (static_cast<UINT32> (Bytes[3]) << 24);
}

inline VOID
SimPut16 (
  OUT UINT8   *Bytes,
  IN  UINT16  Value
  )
{
  Bytes[0] = static_cast<UINT8> (Value);
  Bytes[1] = static_cast<UINT8> (Value >> 8);
}

inline VOID
SimPut32 (
  OUT UINT8   *Bytes,
  IN  UINT32  Value
  )
{
  for (UINTN Index = 0; Index < 4; Index++) {
    Bytes[Index] = static_cast<UINT8> (Value >> (8 * Index));
  }
}

///
/// Length of a string that is NUL-terminated within Limit bytes; Limit when
/// it is not.
///
inline UINTN
SimStringLength (
  IN CONST CHAR8  *String,
  IN UINTN        Limit
  )
{
  UINTN  Length = 0;

  while ((Length < Limit) && (String[Length] != '\0')) {
    Length++;
  }

  return Length;
}

#endif
