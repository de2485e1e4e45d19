/** @file
  The image builder. The signature and the family and type codes come from
  the application's own header, so the tool cannot drift from it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ImageBuilder.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "Image/ImageFormat.h"

namespace ImageTool {

static_assert (IMAGE_SIGNATURE_BYTES == IMAGE_SIGNATURE_SIZE, "signature size");
static_assert (IMAGE_SUPPORT_TABLE_AT == IMAGE_SUPPORT_TABLE_OFFSET, "support table offset");
static_assert (IMAGE_HEADER_SIZE == COMPONENT_HEADER_SIZE, "header size");
static_assert (IMAGE_HEADER_FAMILY_AT == COMPONENT_FAMILY_OFFSET, "family offset");
static_assert (IMAGE_HEADER_TYPE_AT == COMPONENT_TYPE_OFFSET, "type offset");
static_assert (IMAGE_HEADER_SIZE_AT == COMPONENT_SIZE_OFFSET, "size offset");

namespace {

std::string
CodeText (
  std::uint32_t  Code
  )
{
  std::string  Text;

  for (int Shift = 0; Shift < 32; Shift += 8) {
    Text.push_back (static_cast<char> ((Code >> Shift) & 0xFF));
  }

  return Text;
}

void
PutCode (
  std::vector<std::uint8_t>  &Bytes,
  std::size_t                Offset,
  const std::string          &Code,
  const char                 *What
  )
{
  if (Code.size () != 4) {
    throw std::invalid_argument (std::string (What) + " code \"" + Code + "\" is not four characters");
  }

  for (std::size_t Index = 0; Index < 4; Index++) {
    Bytes.at (Offset + Index) = static_cast<std::uint8_t> (Code[Index]);
  }
}

} // namespace

void
PutLe16 (
  std::vector<std::uint8_t>  &Bytes,
  std::size_t                Offset,
  std::uint16_t              Value
  )
{
  Bytes.at (Offset)     = static_cast<std::uint8_t> (Value);
  Bytes.at (Offset + 1) = static_cast<std::uint8_t> (Value >> 8);
}

void
PutLe32 (
  std::vector<std::uint8_t>  &Bytes,
  std::size_t                Offset,
  std::uint32_t              Value
  )
{
  for (std::size_t Index = 0; Index < 4; Index++) {
    Bytes.at (Offset + Index) = static_cast<std::uint8_t> (Value >> (8 * Index));
  }
}

std::vector<std::uint8_t>
ImageSignature (
  )
{
  return std::vector<std::uint8_t> (IMAGE_SIGNATURE, IMAGE_SIGNATURE + IMAGE_SIGNATURE_SIZE);
}

std::vector<std::uint8_t>
ComponentHeader (
  const std::string                &Family,
  const std::string                &Type,
  std::uint32_t                    SizeField,
  const std::vector<std::uint8_t>  &HeaderTail
  )
{
  std::vector<std::uint8_t>  Header (IMAGE_HEADER_SIZE, 0);

  if (HeaderTail.size () > IMAGE_HEADER_SIZE - IMAGE_HEADER_TAIL_AT) {
    throw std::invalid_argument ("header tail longer than the header");
  }

  PutCode (Header, IMAGE_HEADER_FAMILY_AT, Family, "family");
  PutCode (Header, IMAGE_HEADER_TYPE_AT, Type, "type");
  PutLe32 (Header, IMAGE_HEADER_SIZE_AT, SizeField);
  std::copy (HeaderTail.begin (), HeaderTail.end (), Header.begin () + IMAGE_HEADER_TAIL_AT);
  return Header;
}

std::vector<std::string>
KnownFamilies (
  )
{
  std::vector<std::string>  Families;

  for (std::uint32_t Code : IMAGE_FAMILY_CODES) {
    Families.push_back (CodeText (Code));
  }

  return Families;
}

std::vector<std::string>
KnownTypes (
  )
{
  std::vector<std::string>  Types;

  for (std::uint32_t Code : COMPONENT_TYPE_CODES) {
    Types.push_back (CodeText (Code));
  }

  return Types;
}

IMAGE_BUILDER &
IMAGE_BUILDER::Support (
  const SUPPORT_ID  &Id
  )
{
  mSupport.push_back (Id);
  return *this;
}

IMAGE_BUILDER &
IMAGE_BUILDER::SupportCountField (
  std::uint32_t  Count
  )
{
  mSupportCountField = Count;
  return *this;
}

IMAGE_BUILDER &
IMAGE_BUILDER::Filler (
  std::size_t   Bytes,
  std::uint8_t  Value
  )
{
  mPieces.push_back (PIECE { std::vector<std::uint8_t> (Bytes, Value), false });
  return *this;
}

IMAGE_BUILDER &
IMAGE_BUILDER::Raw (
  const std::vector<std::uint8_t>  &Bytes
  )
{
  mPieces.push_back (PIECE { Bytes, false });
  return *this;
}

IMAGE_BUILDER &
IMAGE_BUILDER::Component (
  const COMPONENT_SOURCE  &Source
  )
{
  std::size_t  Size = IMAGE_HEADER_SIZE + Source.Payload.size ();

  if (!Source.SizeField.has_value () && (Size > UINT32_MAX)) {
    throw std::invalid_argument ("component larger than a 32-bit size field holds");
  }

  std::uint32_t              SizeField = Source.SizeField.value_or (static_cast<std::uint32_t> (Size));
  std::vector<std::uint8_t>  Bytes     = ComponentHeader (Source.Family, Source.Type, SizeField, Source.HeaderTail);

  Bytes.insert (Bytes.end (), Source.Payload.begin (), Source.Payload.end ());
  mPieces.push_back (PIECE { std::move (Bytes), true });
  return *this;
}

IMAGE_BUILDER &
IMAGE_BUILDER::Component (
  const std::string  &Family,
  const std::string  &Type,
  std::size_t        PayloadBytes,
  std::uint8_t       Seed
  )
{
  COMPONENT_SOURCE  Source { Family, Type, std::vector<std::uint8_t> (PayloadBytes), std::nullopt, {} };

  for (std::size_t Index = 0; Index < PayloadBytes; Index++) {
    Source.Payload[Index] = static_cast<std::uint8_t> (Seed + Index);
  }

  return Component (Source);
}

IMAGE_BUILDER &
IMAGE_BUILDER::WithoutSignature (
  )
{
  mSignature = false;
  return *this;
}

std::vector<std::uint8_t>
IMAGE_BUILDER::Build (
  IMAGE_LAYOUT  *Layout
  ) const
{
  std::vector<std::uint8_t>  File;

  if (mSignature) {
    File = ImageSignature ();
  }

  std::size_t  CountAt = File.size ();

  File.resize (CountAt + 4 + 8 * mSupport.size ());
  PutLe32 (File, CountAt, mSupportCountField.value_or (static_cast<std::uint32_t> (mSupport.size ())));
  for (std::size_t Index = 0; Index < mSupport.size (); Index++) {
    std::size_t  At = CountAt + 4 + 8 * Index;

    PutLe16 (File, At, mSupport[Index].VendorId);
    PutLe16 (File, At + 2, mSupport[Index].DeviceId);
    PutLe16 (File, At + 4, mSupport[Index].SubsystemVendorId);
    PutLe16 (File, At + 6, mSupport[Index].SubsystemId);
  }

  if (Layout != nullptr) {
    Layout->ComponentArea = File.size ();
    Layout->ComponentOffsets.clear ();
  }

  for (const PIECE &Piece : mPieces) {
    if (Piece.IsComponent && (Layout != nullptr)) {
      Layout->ComponentOffsets.push_back (File.size ());
    }

    File.insert (File.end (), Piece.Bytes.begin (), Piece.Bytes.end ());
  }

  return File;
}

} // namespace ImageTool
