/** @file
  The firmware image file: its signature, the table of controllers it may be
  written into and the component area, split into components.

  File layout (every number little-endian and unaligned):

  | Offset      | Size     | Field                                       |
  |-------------|----------|---------------------------------------------|
  | 0           | 39       | IMAGE_SIGNATURE, its NUL included           |
  | 39          | 4        | support count N                             |
  | 43          | 8 x N    | IMAGE_SUPPORT_ENTRY, searched in file order |
  | 43 + 8 x N  | the rest | component area                              |

  A component is a COMPONENT_HEADER_SIZE-byte header followed by its
  payload; its size field counts the header too. Filler of any value may
  stand before and between components; headers are looked for in steps of 4
  bytes.

  Module state, valid only while the update driver holds the image buffer:

  | State             | Set by              | Read by                         |
  |-------------------|---------------------|---------------------------------|
  | mSupportTable     | CheckImageSignature | IsControllerSupported           |
  | mSupportTableSize | CheckImageSignature | UpdateFirmware (area length)    |
  | mComponentArea    | CheckImageSignature | UpdateFirmware -> the scan      |
  | mComponentTable   | ScanImageComponents | UpdateFirmware, FlashComponent  |
  | mComponentCount   | ScanImageComponents | UpdateFirmware                  |

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef IMAGE_FORMAT_H_
#define IMAGE_FORMAT_H_

#include "../CtlFlash.h"

#define IMAGE_SIGNATURE_SIZE        39
#define IMAGE_SUPPORT_COUNT_OFFSET  39
#define IMAGE_SUPPORT_TABLE_OFFSET  43

///
/// Where the fields that the application reads sit inside a component
/// header. The other header bytes belong to the controller firmware.
///
#define COMPONENT_FAMILY_OFFSET  0
#define COMPONENT_TYPE_OFFSET    16
#define COMPONENT_SIZE_OFFSET    24

#define COMPONENT_TYPE_COUNT  12

///
/// The first 39 bytes of every image file; the NUL is compared too.
///
inline constexpr CHAR8  IMAGE_SIGNATURE[] = "ORN#E60B7AA62A27429d821637AE4BE2FBE3FW";

static_assert (sizeof (IMAGE_SIGNATURE) == IMAGE_SIGNATURE_SIZE, "IMAGE_SIGNATURE is 38 characters and a NUL");

#pragma pack(push, 1)

///
/// One controller that the image may be written into, in the order of the
/// controller's IDs. Documents the layout; the scan reads the bytes through
/// a bounds-checked view rather than through this record.
///
struct IMAGE_SUPPORT_ENTRY {
  UINT16    VendorId;
  UINT16    DeviceId;
  UINT16    SubsystemVendorId;
  UINT16    SubsystemId;
};

#pragma pack(pop)

static_assert (sizeof (IMAGE_SUPPORT_ENTRY) == 8, "IMAGE_SUPPORT_ENTRY is 8 bytes");
static_assert (OFFSET_OF (IMAGE_SUPPORT_ENTRY, VendorId) == 0, "IMAGE_SUPPORT_ENTRY.VendorId");
static_assert (OFFSET_OF (IMAGE_SUPPORT_ENTRY, DeviceId) == 2, "IMAGE_SUPPORT_ENTRY.DeviceId");
static_assert (OFFSET_OF (IMAGE_SUPPORT_ENTRY, SubsystemVendorId) == 4, "IMAGE_SUPPORT_ENTRY.SubsystemVendorId");
static_assert (OFFSET_OF (IMAGE_SUPPORT_ENTRY, SubsystemId) == 6, "IMAGE_SUPPORT_ENTRY.SubsystemId");

/**
  The 32-bit word that four characters make when read little-endian from
  the file: family and type codes are compared as such words.

  @param[in] Text   Characters.
  @param[in] Index  Position of the first of the four.
**/
constexpr UINT32
ImageCode (
  IN CONST CHAR8  *Text,
  IN UINTN        Index = 0
  )
{
  return static_cast<UINT32> (static_cast<UINT8> (Text[Index])) |
         (static_cast<UINT32> (static_cast<UINT8> (Text[Index + 1])) << 8) |
         (static_cast<UINT32> (static_cast<UINT8> (Text[Index + 2])) << 16) |
         (static_cast<UINT32> (static_cast<UINT8> (Text[Index + 3])) << 24);
}

static_assert (sizeof (MAKER_FAMILY_CODES) == 4 * MAKER_FAMILY_CODE_COUNT + 1, "four characters per family code");

///
/// The maker's chip and board family codes, in the order the scan tries
/// them.
///
inline constexpr UINT32  IMAGE_FAMILY_CODES[MAKER_FAMILY_CODE_COUNT] = {
  ImageCode (MAKER_FAMILY_CODES, 0),  ImageCode (MAKER_FAMILY_CODES, 4),
  ImageCode (MAKER_FAMILY_CODES, 8),  ImageCode (MAKER_FAMILY_CODES, 12),
  ImageCode (MAKER_FAMILY_CODES, 16), ImageCode (MAKER_FAMILY_CODES, 20),
  ImageCode (MAKER_FAMILY_CODES, 24), ImageCode (MAKER_FAMILY_CODES, 28),
  ImageCode (MAKER_FAMILY_CODES, 32), ImageCode (MAKER_FAMILY_CODES, 36),
  ImageCode (MAKER_FAMILY_CODES, 40), ImageCode (MAKER_FAMILY_CODES, 44),
  ImageCode (MAKER_FAMILY_CODES, 48), ImageCode (MAKER_FAMILY_CODES, 52),
  ImageCode (MAKER_FAMILY_CODES, 56), ImageCode (MAKER_FAMILY_CODES, 60),
  ImageCode (MAKER_FAMILY_CODES, 64), ImageCode (MAKER_FAMILY_CODES, 68),
};

///
/// The component type codes, in the order they are searched. The type code
/// is also the component's label on the console.
///
inline constexpr UINT32  COMPONENT_TYPE_CODES[COMPONENT_TYPE_COUNT] = {
  ImageCode ("APP "), ImageCode ("CTLR"), ImageCode ("BCON"), ImageCode ("BIOS"),
  ImageCode ("HIIM"), ImageCode ("PCLI"), ImageCode ("BOOT"), ImageCode ("NVDT"),
  ImageCode ("BTBL"), ImageCode ("BQMI"), ImageCode ("TMMC"), ImageCode ("TMMB"),
};

/**
  TRUE when every family code is four upper-case letters or digits and no
  two are equal; checked when the application is built.
**/
constexpr BOOLEAN
FamilyCodesAreWellFormed (
  VOID
  )
{
  for (UINTN Index = 0; Index < 4 * MAKER_FAMILY_CODE_COUNT; Index++) {
    CHAR8  Character = MAKER_FAMILY_CODES[Index];

    if (!(((Character >= 'A') && (Character <= 'Z')) || ((Character >= '0') && (Character <= '9')))) {
      return FALSE;
    }
  }

  for (UINTN First = 0; First < MAKER_FAMILY_CODE_COUNT; First++) {
    for (UINTN Second = First + 1; Second < MAKER_FAMILY_CODE_COUNT; Second++) {
      if (IMAGE_FAMILY_CODES[First] == IMAGE_FAMILY_CODES[Second]) {
        return FALSE;
      }
    }
  }

  return TRUE;
}

static_assert (FamilyCodesAreWellFormed (), "18 distinct family codes of upper-case letters and digits");

///
/// Location of the support count (file offset 39) in the loaded image; NULL
/// while no image has passed the signature check.
///
extern CONST UINT8  *mSupportTable;

///
/// 4 + 8 x N, in 32-bit arithmetic: the bytes from the support count to the
/// component area of a well-formed image.
///
extern UINT32  mSupportTableSize;

///
/// Start of the component area in the loaded image. Never beyond the end of
/// the loaded bytes, even when the support table claims to be longer.
///
extern CONST UINT8  *mComponentArea;

/**
  Check the signature at the head of a loaded image and, when it matches,
  record where the support table and the component area lie.

  The image's extent (Buffer, Length) is recorded with it: the support
  lookup and the component scan never read outside it, whatever lengths
  they are handed later. A failed check forgets any image recorded before,
  so that the support lookup answers FALSE.

  @param[in] Buffer  The loaded file bytes.
  @param[in] Length  The file length in bytes.

  @retval TRUE   The file is longer than 39 bytes and starts with
                 IMAGE_SIGNATURE.
  @retval FALSE  Otherwise.
**/
BOOLEAN
CheckImageSignature (
  IN CONST VOID  *Buffer,
  IN UINT32      Length
  );

/**
  Look a controller up in the recorded image's support table.

  @param[in] Ids  Four IDs: PCI vendor, device, subsystem vendor, subsystem.

  @retval TRUE   An entry equals all four IDs.
  @retval FALSE  No image is recorded, the table is empty, no entry equals
                 all four, or the table runs past the end of the file (such
                 an image is refused as a whole).
**/
BOOLEAN
IsControllerSupported (
  IN CONST UINT16  *Ids
  );

/**
  Split the component area of the recorded image into components and fill
  mComponentTable and mComponentCount.

  The area is clipped to the image that CheckImageSignature recorded; with
  no image recorded, or an Area outside it, nothing is scanned. Only whole
  images are accepted: a header or a component that would run past the end
  of the loaded bytes means the file is cut short, and a header of a known
  type whose size field is below the header size is a hole in the image;
  either refuses the whole image (the result is 0), so every accepted
  component lies wholly inside the buffer and an image is never partly
  flashed. For the same reason an image with more components than the
  table holds is refused, and the headers after the last entry are checked
  like the others.

  @param[in] Area    Start of the component area (mComponentArea).
  @param[in] Length  Length of the area in bytes.

  @return The number of components accepted, 0 to MAX_IMAGE_COMPONENTS.
**/
UINT32
ScanImageComponents (
  IN CONST UINT8  *Area,
  IN UINT32       Length
  );

#endif
