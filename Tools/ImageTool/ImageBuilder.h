/** @file
  Assembles firmware image files for the host: signature, support table and
  a component area of components, filler and raw bytes, in the order they
  are added. Tests build their fixtures with it; ctlimage build is its
  command-line face.

  A component is written as a header of IMAGE_HEADER_SIZE bytes followed by
  its payload. The header carries the family code at offset 0, the type code
  at offset 16 and the size (header included) at offset 24; every other
  header byte is 0 unless HeaderTail fills the bytes from offset 28 on.

  Host code: standard C++17, exceptions for misuse (std::invalid_argument).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef IMAGE_TOOL_IMAGE_BUILDER_H_
#define IMAGE_TOOL_IMAGE_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ImageTool {

constexpr std::size_t  IMAGE_SIGNATURE_BYTES    = 39;
constexpr std::size_t  IMAGE_SUPPORT_TABLE_AT   = 43;
constexpr std::size_t  IMAGE_HEADER_SIZE        = 1084;
constexpr std::size_t  IMAGE_HEADER_FAMILY_AT   = 0;
constexpr std::size_t  IMAGE_HEADER_TYPE_AT     = 16;
constexpr std::size_t  IMAGE_HEADER_SIZE_AT     = 24;
constexpr std::size_t  IMAGE_HEADER_TAIL_AT     = 28;

///
/// The four PCI IDs of a controller the image may be written into.
///
struct SUPPORT_ID {
  std::uint16_t    VendorId;
  std::uint16_t    DeviceId;
  std::uint16_t    SubsystemVendorId;
  std::uint16_t    SubsystemId;
};

///
/// One component to write.
///
struct COMPONENT_SOURCE {
  std::string                     Family;      ///< four characters
  std::string                     Type;        ///< four characters
  std::vector<std::uint8_t>       Payload;     ///< bytes after the header
  ///
  /// The size field to write; by default the real size, header included.
  /// Set it to build images whose size field lies.
  ///
  std::optional<std::uint32_t>    SizeField;
  ///
  /// Bytes for the header from offset 28 on (at most 1056); the rest of the
  /// header stays 0.
  ///
  std::vector<std::uint8_t>       HeaderTail;
};

///
/// What the builder put where, in file offsets.
///
struct IMAGE_LAYOUT {
  std::size_t                 ComponentArea;       ///< first byte after the support table
  std::vector<std::size_t>    ComponentOffsets;    ///< header start of each component, in order
};

class IMAGE_BUILDER {
public:
  /// Add a support entry (searched in the order added).
  IMAGE_BUILDER &
  Support (
    const SUPPORT_ID  &Id
    );

  /// Write Count as the support count instead of the number of entries
  /// added (for images whose table runs past the end of the file).
  IMAGE_BUILDER &
  SupportCountField (
    std::uint32_t  Count
    );

  /// Add Bytes bytes of filler of one value to the component area.
  IMAGE_BUILDER &
  Filler (
    std::size_t   Bytes,
    std::uint8_t  Value = 0
    );

  /// Add raw bytes to the component area.
  IMAGE_BUILDER &
  Raw (
    const std::vector<std::uint8_t>  &Bytes
    );

  /// Add a component.
  IMAGE_BUILDER &
  Component (
    const COMPONENT_SOURCE  &Source
    );

  /// Add a component whose payload is PayloadBytes bytes counting up from
  /// Seed (so that every component's bytes are told apart).
  IMAGE_BUILDER &
  Component (
    const std::string  &Family,
    const std::string  &Type,
    std::size_t        PayloadBytes,
    std::uint8_t       Seed = 0
    );

  /// Leave the signature out (the file then starts with the support count).
  IMAGE_BUILDER &
  WithoutSignature (
    );

  /// The whole file.
  std::vector<std::uint8_t>
  Build (
    IMAGE_LAYOUT  *Layout = nullptr
    ) const;

private:
  struct PIECE {
    std::vector<std::uint8_t>    Bytes;
    bool                         IsComponent;
  };

  std::vector<SUPPORT_ID>        mSupport;
  std::optional<std::uint32_t>   mSupportCountField;
  std::vector<PIECE>             mPieces;
  bool                           mSignature = true;
};

/**
  @return The 39 signature bytes, NUL included.
**/
std::vector<std::uint8_t>
ImageSignature (
  );

/**
  @return The header of one component: family, type and size field as
          given, HeaderTail from offset 28, zeros elsewhere.
**/
std::vector<std::uint8_t>
ComponentHeader (
  const std::string                &Family,
  const std::string                &Type,
  std::uint32_t                    SizeField,
  const std::vector<std::uint8_t>  &HeaderTail = {}
  );

/**
  @return The family codes the application knows, in its search order.
**/
std::vector<std::string>
KnownFamilies (
  );

/**
  @return The component type codes the application knows, in its order.
**/
std::vector<std::string>
KnownTypes (
  );

/**
  Store a 16- or 32-bit number little-endian at Offset, growing nothing:
  the bytes must exist.
**/
void
PutLe16 (
  std::vector<std::uint8_t>  &Bytes,
  std::size_t                Offset,
  std::uint16_t              Value
  );

void
PutLe32 (
  std::vector<std::uint8_t>  &Bytes,
  std::size_t                Offset,
  std::uint32_t              Value
  );

} // namespace ImageTool

#endif
