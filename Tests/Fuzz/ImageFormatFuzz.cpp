/** @file
  libFuzzer target of the image format code: every input is a loaded image
  file. It goes through the signature check, the support lookup and the
  component scan exactly as the update driver calls them, and then the
  results are checked: nothing accepted may lie outside the file's bytes,
  and nothing behind the last accepted component may be a component or a
  cut header of the image's family (only whole images are accepted).

  The buffer is the file plus one 0 byte, as LoadWholeFile gives it; that
  extra byte is poisoned, so reading it is reported like any read past the
  end.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

//
// Before any EDK II header: those make every later declaration hidden.
//
#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Image/ImageFormat.h"

namespace {

[[noreturn]] VOID
Violation (
  CONST char  *What
  )
{
  std::fprintf (stderr, "image format invariant broken: %s\n", What);
  std::abort ();
}

UINT32
Le32 (
  CONST UINT8  *Bytes
  )
{
  return static_cast<UINT32> (Bytes[0]) | (static_cast<UINT32> (Bytes[1]) << 8) |
         (static_cast<UINT32> (Bytes[2]) << 16) | (static_cast<UINT32> (Bytes[3]) << 24);
}

} // namespace

//
// libFuzzer's entry point, called once per input; libFuzzer ships no header
// that declares it.
//
extern "C" int
LLVMFuzzerTestOneInput (
  const std::uint8_t  *Data,
  std::size_t         Size
  );

extern "C" int
LLVMFuzzerTestOneInput (
  const std::uint8_t  *Data,
  std::size_t         Size
  )
{
  if (Size >= 0x7FFFFFFF) {
    return 0;   // the application loads no file this large
  }

  UINT32  Length = static_cast<UINT32> (Size);
  UINT8   *Buffer = new UINT8[Size + 1];

  std::memcpy (Buffer, Data, Size);
  Buffer[Size] = 0;
  ASAN_POISON_MEMORY_REGION (Buffer + Size, 1);

  BOOLEAN  Signature = CheckImageSignature (Buffer, Length);

  //
  // Ask for the first listed controller (so that the TRUE path is taken
  // when the table is sound) and for one that no sane image lists.
  //
  UINT16  Listed[4]  = { 0, 0, 0, 0 };
  UINT16  Nobody[4]  = { 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF };

  if (Size >= IMAGE_SUPPORT_TABLE_OFFSET + 8) {
    for (UINTN Field = 0; Field < 4; Field++) {
      Listed[Field] = static_cast<UINT16> (Data[IMAGE_SUPPORT_TABLE_OFFSET + 2 * Field] |
                                           (Data[IMAGE_SUPPORT_TABLE_OFFSET + 2 * Field + 1] << 8));
    }
  }

  BOOLEAN  Supported = IsControllerSupported (Listed);

  IsControllerSupported (Nobody);

  if (!Signature && Supported) {
    Violation ("a controller is supported by a file without the signature");
  }

  if (Supported) {
    UINT64  Count = Le32 (Buffer + IMAGE_SUPPORT_COUNT_OFFSET);

    if (IMAGE_SUPPORT_TABLE_OFFSET + 8 * Count > Size) {
      Violation ("a support table past the end of the file was accepted");
    }
  }

  //
  // The driver scans only supported images; the scan is run on every
  // signed one here, with the length the driver would compute.
  //
  if (Signature) {
    UINT32  Found = ScanImageComponents (mComponentArea, Length - mSupportTableSize - IMAGE_SIGNATURE_SIZE);

    if ((Found != mComponentCount) || (Found > MAX_IMAGE_COMPONENTS)) {
      Violation ("component count");
    }

    UINT32  Family = 0;

    for (UINT32 Index = 0; Index < Found; Index++) {
      CONST IMAGE_COMPONENT  &Component = mComponentTable[Index];
      UINT32                 ComponentSize = Le32 (Component.Header + COMPONENT_SIZE_OFFSET);
      UINTN                  Offset;

      if ((Component.Start < mComponentArea) || (Component.Start >= Buffer + Size)) {
        Violation ("component outside the component area");
      }

      Offset = static_cast<UINTN> (Component.Start - Buffer);
      if ((ComponentSize < COMPONENT_HEADER_SIZE) || (ComponentSize > Size - Offset)) {
        Violation ("component runs past the end of the file, or is smaller than its header");
      }

      if (std::memcmp (Component.Header, Component.Start, COMPONENT_HEADER_SIZE) != 0) {
        Violation ("header copy differs from the file");
      }

      if ((Index > 0) && (Component.Start < mComponentTable[Index - 1].Start +
                          Le32 (mComponentTable[Index - 1].Header + COMPONENT_SIZE_OFFSET)))
      {
        Violation ("components overlap or are out of order");
      }

      UINT32  ThisFamily = Le32 (Component.Header + COMPONENT_FAMILY_OFFSET);

      if ((Index > 0) && (ThisFamily != Family)) {
        Violation ("components of two families");
      }

      Family = ThisFamily;
    }

    //
    // Only whole images are accepted: behind the last component, nothing
    // on the scan's 4-byte grid may be a header of the image's family that
    // is cut short or that would make a component of its own (a 65th one,
    // say). Headers of an unknown type are skipped whole, as the scan
    // skips them.
    //
    if (Found > 0) {
      CONST IMAGE_COMPONENT  &Last = mComponentTable[Found - 1];
      UINTN                  End   = static_cast<UINTN> (Last.Start - Buffer) + Le32 (Last.Header + COMPONENT_SIZE_OFFSET);

      for (UINTN At = End; At + 4 <= Size; ) {
        if (Le32 (Buffer + At) != Family) {
          At += 4;
          continue;
        }

        if (Size - At < COMPONENT_HEADER_SIZE) {
          Violation ("a header cut short behind the last component was accepted");
        }

        UINT32  Type = Le32 (Buffer + At + COMPONENT_TYPE_OFFSET);

        for (UINT32 Code : COMPONENT_TYPE_CODES) {
          if (Type == Code) {
            Violation ("a component behind the last one counted was left out");
          }
        }

        At += COMPONENT_HEADER_SIZE;
      }
    }
  }

  ASAN_UNPOISON_MEMORY_REGION (Buffer + Size, 1);
  delete[] Buffer;
  return 0;
}
