/** @file
  Reads a loaded firmware image in place: the signature check, the support
  lookup and the component scan.

  Every number is read little-endian, byte by byte, through BYTE_VIEW, whose
  reads fail rather than run past the end. The view of the whole image is
  taken from what CheckImageSignature recorded, so the lookup and the scan
  stay inside the loaded bytes even when the lengths they are handed were
  computed from a malformed support count.

  Malformed images:
  - A file too short to hold the support count, or whose support table runs
    past the end of the file (also when 8 x N + 4 wraps in 32 bits), is
    refused by the support lookup.
  - The scan accepts only whole components. A header or a component that
    would extend past the loaded bytes means the file was cut short: the
    whole image is refused (no component), so a cut-off image is never
    partly flashed.
  - A header of the image's family, with a known type, whose size field is
    smaller than a header (0 included) is a hole in the image: its
    component cannot be flashed, and flashing the others around it would
    leave part of a firmware set. The whole image is refused, as for a
    cut-off file.
  - The scan does not stop when the component table is full: it goes on to
    the end of the area, so that a component beyond the last entry, or a
    cut or malformed header after it, refuses the whole image too. Flashing
    the first MAX_IMAGE_COMPONENTS and reporting success would leave part of
    a firmware set as well.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ImageFormat.h"

CONST UINT8      *mSupportTable;
UINT32           mSupportTableSize;
CONST UINT8      *mComponentArea;
IMAGE_COMPONENT  mComponentTable[MAX_IMAGE_COMPONENTS];
UINT32           mComponentCount;

//
// The image that the last successful signature check recorded: the support
// lookup and the scan never look outside these bytes.
//
STATIC CONST UINT8  *mImageStart;
STATIC UINT32       mImageLength;

namespace {
///
/// A read-only window on loaded bytes: offset + length reads that fail
/// rather than run past the end.
///
class BYTE_VIEW {
public:
  BYTE_VIEW (CONST UINT8 *Base, UINTN Length) : mBase (Base), mLength (Length) {}

  UINTN
  Length () const
  {
    return mLength;
  }

  /// TRUE when Size bytes from Offset lie inside the view.
  BOOLEAN
  Contains (UINTN Offset, UINTN Size) const
  {
    return (Offset <= mLength) && (Size <= mLength - Offset);
  }

  CONST UINT8 *
  At (UINTN Offset) const
  {
    return mBase + Offset;
  }

  BOOLEAN
  ReadUint16 (UINTN Offset, UINT16 *Value) const
  {
    if (!Contains (Offset, sizeof (UINT16))) {
      return FALSE;
    }

    *Value = static_cast<UINT16> (mBase[Offset] | (mBase[Offset + 1] << 8));
    return TRUE;
  }

  BOOLEAN
  ReadUint32 (UINTN Offset, UINT32 *Value) const
  {
    if (!Contains (Offset, sizeof (UINT32))) {
      return FALSE;
    }

    *Value = Uint32At (Offset);
    return TRUE;
  }

  /// Unchecked read for loops that have checked the bounds themselves.
  UINT32
  Uint32At (UINTN Offset) const
  {
    return static_cast<UINT32> (mBase[Offset]) |
           (static_cast<UINT32> (mBase[Offset + 1]) << 8) |
           (static_cast<UINT32> (mBase[Offset + 2]) << 16) |
           (static_cast<UINT32> (mBase[Offset + 3]) << 24);
  }

private:
  CONST UINT8  *mBase;
  UINTN        mLength;
};

///
/// A 4096-bit set of hashes of the family codes. Most filler words miss it
/// with one multiply and one bit test, so the scan does not compare every
/// word with all 18 codes.
///
struct FAMILY_FILTER {
  UINT64    Bits[64];
};

constexpr UINT32
FamilyHash (
  UINT32  Word
  )
{
  return (Word * 0x9E3779B1u) >> 20;
}

constexpr FAMILY_FILTER
BuildFamilyFilter (
  VOID
  )
{
  FAMILY_FILTER  Filter {};

  for (UINTN Index = 0; Index < MAKER_FAMILY_CODE_COUNT; Index++) {
    UINT32  Hash = FamilyHash (IMAGE_FAMILY_CODES[Index]);

    Filter.Bits[Hash >> 6] |= 1ull << (Hash & 63);
  }

  return Filter;
}

constexpr FAMILY_FILTER  mFamilyFilter = BuildFamilyFilter ();

///
/// No family has been fixed yet. No family code is 0 (they are made of
/// letters and digits), so 0 never matches a word of the image as a family.
///
constexpr UINT32  NO_FAMILY = 0;

static_assert (IMAGE_FAMILY_CODES[0] != NO_FAMILY, "family codes are never 0");

BOOLEAN
IsFamilyCode (
  UINT32  Word
  )
{
  UINT32  Hash = FamilyHash (Word);

  if (((mFamilyFilter.Bits[Hash >> 6] >> (Hash & 63)) & 1) == 0) {
    return FALSE;
  }

  for (UINTN Index = 0; Index < MAKER_FAMILY_CODE_COUNT; Index++) {
    if (Word == IMAGE_FAMILY_CODES[Index]) {
      return TRUE;
    }
  }

  return FALSE;
}

BOOLEAN
IsComponentType (
  UINT32  Word
  )
{
  for (UINTN Index = 0; Index < COMPONENT_TYPE_COUNT; Index++) {
    if (Word == COMPONENT_TYPE_CODES[Index]) {
      return TRUE;
    }
  }

  return FALSE;
}

/**
  The first position from Position on, in steps of 4 bytes, whose word may
  start a header: any family code while none is fixed, otherwise the fixed
  family's code. Returns a position at which fewer than 4 bytes remain when
  there is none.
**/
UINTN
FindFamilyWord (
  CONST BYTE_VIEW  &Area,
  UINTN            Position,
  UINT32           Family
  )
{
  UINTN  Limit = Area.Length ();

  if (Family == NO_FAMILY) {
    while ((Position < Limit) && (Limit - Position >= 4)) {
      if (IsFamilyCode (Area.Uint32At (Position))) {
        return Position;
      }

      Position += 4;
    }
  } else {
    while ((Position < Limit) && (Limit - Position >= 4)) {
      if (Area.Uint32At (Position) == Family) {
        return Position;
      }

      Position += 4;
    }
  }

  return Position;
}

/// Forget the recorded image: no support table, no component area.
VOID
ForgetImage (
  VOID
  )
{
  mImageStart       = NULL;
  mImageLength      = 0;
  mSupportTable     = NULL;
  mSupportTableSize = 0;
  mComponentArea    = NULL;
}
} // namespace

BOOLEAN
CheckImageSignature (
  IN CONST VOID  *Buffer,
  IN UINT32      Length
  )
{
  CONST UINT8  *Bytes;
  UINT32       Count;
  UINTN        AreaOffset;

  ForgetImage ();

  if ((Buffer == NULL) || (Length <= IMAGE_SIGNATURE_SIZE)) {
    return FALSE;
  }

  Bytes = static_cast<CONST UINT8 *> (Buffer);
  for (UINTN Index = 0; Index < IMAGE_SIGNATURE_SIZE; Index++) {
    if (Bytes[Index] != static_cast<UINT8> (IMAGE_SIGNATURE[Index])) {
      return FALSE;
    }
  }

  BYTE_VIEW  Image (Bytes, Length);

  //
  // A file of 40 to 42 bytes has no whole support count: it is taken as 0
  // here and the support lookup refuses the image.
  //
  Count = 0;
  Image.ReadUint32 (IMAGE_SUPPORT_COUNT_OFFSET, &Count);

  mImageStart       = Bytes;
  mImageLength      = Length;
  mSupportTable     = Bytes + IMAGE_SUPPORT_COUNT_OFFSET;
  mSupportTableSize = 8 * Count + 4;

  //
  // The area begins where the table says, but never beyond the end of the
  // loaded bytes (a wrapped or oversized table would otherwise place it
  // outside the buffer).
  //
  AreaOffset = IMAGE_SUPPORT_COUNT_OFFSET + static_cast<UINTN> (mSupportTableSize);
  if (AreaOffset > Length) {
    AreaOffset = Length;
  }

  mComponentArea = Bytes + AreaOffset;
  return TRUE;
}

BOOLEAN
IsControllerSupported (
  IN CONST UINT16  *Ids
  )
{
  UINT32  Count;

  if ((mSupportTable == NULL) || (mImageStart == NULL) || (Ids == NULL)) {
    return FALSE;
  }

  BYTE_VIEW  Image (mImageStart, mImageLength);

  if (!Image.ReadUint32 (IMAGE_SUPPORT_COUNT_OFFSET, &Count) || (Count == 0)) {
    return FALSE;
  }

  //
  // A table that runs past the end of the file refuses the whole image,
  // also when 8 x N + 4 wraps in 32 bits: the extent is checked in 64 bits.
  //
  if (!Image.Contains (IMAGE_SUPPORT_TABLE_OFFSET, sizeof (IMAGE_SUPPORT_ENTRY) * static_cast<UINTN> (Count))) {
    return FALSE;
  }

  for (UINTN Entry = 0; Entry < Count; Entry++) {
    UINTN    Offset = IMAGE_SUPPORT_TABLE_OFFSET + Entry * sizeof (IMAGE_SUPPORT_ENTRY);
    BOOLEAN  Equal  = TRUE;

    for (UINTN Field = 0; Field < 4; Field++) {
      UINT16  Value;

      if (!Image.ReadUint16 (Offset + 2 * Field, &Value) || (Value != Ids[Field])) {
        Equal = FALSE;
        break;
      }
    }

    if (Equal) {
      return TRUE;
    }
  }

  return FALSE;
}

UINT32
ScanImageComponents (
  IN CONST UINT8  *Area,
  IN UINT32       Length
  )
{
  UINTN   AreaStart;
  UINTN   ImageStart;
  UINTN   Available;
  UINTN   Position;
  UINT32  Family;
  UINT32  Count;

  gBS->SetMem (mComponentTable, sizeof (mComponentTable), 0);
  mComponentCount = 0;

  if ((mImageStart == NULL) || (Area == NULL)) {
    return 0;
  }

  //
  // Clip the area to the recorded image: the length handed in may have
  // wrapped (it is computed from the support count), and an area outside
  // the image is not scanned at all.
  //
  AreaStart  = reinterpret_cast<UINTN> (Area);
  ImageStart = reinterpret_cast<UINTN> (mImageStart);
  if ((AreaStart < ImageStart) || (AreaStart - ImageStart > mImageLength)) {
    return 0;
  }

  Available = mImageLength - (AreaStart - ImageStart);
  BYTE_VIEW  View (Area, (Length < Available) ? Length : Available);

  Family   = NO_FAMILY;
  Count    = 0;
  Position = 0;
  while (Position < View.Length ()) {
    UINTN   Current;
    UINT32  Type;
    UINT32  Size;

    Current = FindFamilyWord (View, Position, Family);

    //
    // No family code before the end (at most a final word of fewer than 4
    // bytes is left): the scan is done.
    //
    if (!View.Contains (Current, sizeof (UINT32))) {
      break;
    }

    //
    // A component header cut off by the end of the file means the file
    // itself is cut short: the whole image is refused rather than flashing
    // the components in front of it and leaving the set incomplete.
    //
    if (!View.Contains (Current, COMPONENT_HEADER_SIZE)) {
      Count = 0;
      break;
    }

    Type = View.Uint32At (Current + COMPONENT_TYPE_OFFSET);
    Size = View.Uint32At (Current + COMPONENT_SIZE_OFFSET);

    //
    // An unknown type is not a component: resume behind the whole header.
    // The family stays unfixed.
    //
    if (!IsComponentType (Type)) {
      Position = Current + COMPONENT_HEADER_SIZE;
      continue;
    }

    //
    // A component too small to hold its own header cannot be flashed: the
    // whole image is refused rather than flashing the rest around the hole.
    //
    if (Size < COMPONENT_HEADER_SIZE) {
      Count = 0;
      break;
    }

    //
    // A component that would extend past the loaded bytes is never
    // accepted, so nothing outside the buffer is ever sent to a controller;
    // and as for a cut-off header, the whole image is refused.
    //
    if (!View.Contains (Current, Size)) {
      Count = 0;
      break;
    }

    //
    // One component more than the table holds: the image cannot be flashed
    // whole, so none of it is.
    //
    if (Count == MAX_IMAGE_COMPONENTS) {
      Count = 0;
      break;
    }

    gBS->CopyMem (mComponentTable[Count].Header, const_cast<UINT8 *> (View.At (Current)), COMPONENT_HEADER_SIZE);
    mComponentTable[Count].Start = View.At (Current);
    Count++;

    if (Family == NO_FAMILY) {
      Family = View.Uint32At (Current + COMPONENT_FAMILY_OFFSET);
    }

    Position = Current + Size;
  }

  if (Count == 0) {
    gBS->SetMem (mComponentTable, sizeof (mComponentTable), 0);
  }

  mComponentCount = Count;
  return Count;
}
