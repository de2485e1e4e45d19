/** @file
  Tests of the image format code: the signature check, the support lookup
  and the component scan, on images built with the image tool's builder and
  loaded the way the application loads them (file + one 0 byte).

  The loaded buffer is exactly file + 1 bytes of heap; under AddressSanitizer
  the extra 0 byte is poisoned as well, so a read of anything but the file's
  own bytes fails the test.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

//
// Before any EDK II header: those make every later declaration hidden.
//
#if defined (__SANITIZE_ADDRESS__)
  #include <sanitizer/asan_interface.h>
#else
  #define ASAN_POISON_MEMORY_REGION(Address, Size)    ((void)(Address), (void)(Size))
  #define ASAN_UNPOISON_MEMORY_REGION(Address, Size)  ((void)(Address), (void)(Size))
#endif

#include "HostTest.h"

#include <cstring>
#include <memory>

#include "ImageBuilder.h"
#include "Image/ImageFormat.h"

namespace {

using ImageTool::COMPONENT_SOURCE;
using ImageTool::IMAGE_BUILDER;
using ImageTool::IMAGE_LAYOUT;
using ImageTool::SUPPORT_ID;

CONST SUPPORT_ID  CONTROLLER_A = { 0x1F3A, 0x0A11, 0x1F3A, 0x0101 };
CONST SUPPORT_ID  CONTROLLER_B = { 0x1F3A, 0x0C31, 0x1028, 0x1F2B };
CONST SUPPORT_ID  CONTROLLER_C = { 0x1F3A, 0x0D41, 0x15D9, 0x0808 };

///
/// A file loaded as LoadWholeFile loads it: a buffer one byte longer than
/// the file, the last byte 0.
///
class LOADED_IMAGE {
public:
  explicit LOADED_IMAGE (
    const std::vector<UINT8>  &File
    ) : mLength (File.size ()), mBuffer (new UINT8[File.size () + 1])
  {
    std::copy (File.begin (), File.end (), mBuffer.get ());
    mBuffer[mLength] = 0;
    ASAN_POISON_MEMORY_REGION (mBuffer.get () + mLength, 1);
  }

  ~LOADED_IMAGE (
    )
  {
    ASAN_UNPOISON_MEMORY_REGION (mBuffer.get () + mLength, 1);
  }

  LOADED_IMAGE (const LOADED_IMAGE &)            = delete;
  LOADED_IMAGE &operator= (const LOADED_IMAGE &) = delete;

  UINT8 *
  Data (
    ) const
  {
    return mBuffer.get ();
  }

  UINT32
  Length (
    ) const
  {
    return static_cast<UINT32> (mLength);
  }

  /// Offset of a pointer into the buffer.
  UINTN
  OffsetOf (
    CONST UINT8  *Pointer
    ) const
  {
    return static_cast<UINTN> (Pointer - mBuffer.get ());
  }

private:
  UINTN                       mLength;
  std::unique_ptr<UINT8 []>   mBuffer;
};

BOOLEAN
Supported (
  const SUPPORT_ID  &Id
  )
{
  UINT16  Ids[4] = { Id.VendorId, Id.DeviceId, Id.SubsystemVendorId, Id.SubsystemId };

  return IsControllerSupported (Ids);
}

class ImageFormat : public HOST_TEST {
protected:
  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    CheckImageSignature (NULL, 0);      // forget any image of an earlier test
    std::memset (mComponentTable, 0, sizeof (mComponentTable));
    mComponentCount = 0;
  }

  ///
  /// The update driver's calls: signature check, then the scan of the
  /// component area with the length it computes. Also checks that every
  /// accepted component lies wholly inside the loaded file.
  ///
  static UINT32
  Scan (
    const LOADED_IMAGE  &Image
    )
  {
    CheckImageSignature (Image.Data (), Image.Length ());

    UINT32  Count = ScanImageComponents (mComponentArea, Image.Length () - mSupportTableSize - 39);

    EXPECT_EQ (Count, mComponentCount);
    CheckComponentsInside (Image);
    return Count;
  }

  static VOID
  CheckComponentsInside (
    const LOADED_IMAGE  &Image
    )
  {
    for (UINT32 Index = 0; Index < mComponentCount; Index++) {
      CONST IMAGE_COMPONENT  &Component = mComponentTable[Index];
      UINT32                 Size;

      std::memcpy (&Size, Component.Header + COMPONENT_SIZE_OFFSET, sizeof (Size));
      ASSERT_GE (Component.Start, Image.Data ());
      EXPECT_GE (Size, static_cast<UINT32> (COMPONENT_HEADER_SIZE));
      EXPECT_LE (Image.OffsetOf (Component.Start) + Size, Image.Length ()) << "component " << Index << " runs past the file";
      EXPECT_EQ (std::memcmp (Component.Header, Component.Start, COMPONENT_HEADER_SIZE), 0);
    }
  }

  /// File offsets of the accepted components.
  static std::vector<UINTN>
  Offsets (
    const LOADED_IMAGE  &Image
    )
  {
    std::vector<UINTN>  Result;

    for (UINT32 Index = 0; Index < mComponentCount; Index++) {
      Result.push_back (Image.OffsetOf (mComponentTable[Index].Start));
    }

    return Result;
  }

  static std::string
  TypeOf (
    UINT32  Index
    )
  {
    return std::string (reinterpret_cast<CONST char *> (mComponentTable[Index].Header + COMPONENT_TYPE_OFFSET), 4);
  }
};

//
// ---------------------------------------------------------------------------
// Signature
// ---------------------------------------------------------------------------
//

TEST_F (ImageFormat, SignatureNeedsAllThirtyNineBytesAndMore) {
  std::vector<UINT8>  Signature = ImageTool::ImageSignature ();
  std::vector<UINT8>  Longer    = Signature;

  Longer.resize (60, 0);

  struct {
    CONST char          *Name;
    std::vector<UINT8>  File;
    INT32               Corrupt;     ///< offset of a byte to change; -1: none
    BOOLEAN             Expected;
  } CONST  Cases[] = {
    { "exactly the 39 signature bytes",   Signature, -1, FALSE },
    { "signature and one byte",           std::vector<UINT8> (Longer.begin (), Longer.begin () + 40), -1, TRUE },
    { "60 bytes",                         Longer,    -1, TRUE  },
    { "first byte wrong",                 Longer,     0, FALSE },
    { "a middle byte wrong",              Longer,    20, FALSE },
    { "last character wrong",             Longer,    37, FALSE },
    { "NUL at offset 38 not NUL",         Longer,    38, FALSE },
    { "38 bytes",                         std::vector<UINT8> (Signature.begin (), Signature.begin () + 38), -1, FALSE },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    std::vector<UINT8>  File = Case.File;

    if (Case.Corrupt >= 0) {
      File[Case.Corrupt] ^= 0x20;
    }

    LOADED_IMAGE  Image (File);

    EXPECT_EQ (CheckImageSignature (Image.Data (), Image.Length ()), Case.Expected);
    EXPECT_EQ (mSupportTable, Case.Expected ? Image.Data () + 39 : nullptr);
  }

  EXPECT_FALSE (CheckImageSignature (NULL, 100));
}

TEST_F (ImageFormat, SignatureRecordsTheTableAndTheArea) {
  LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Support (CONTROLLER_B).Component ("TQ10", "APP ", 16).Build ());

  ASSERT_TRUE (CheckImageSignature (Image.Data (), Image.Length ()));
  EXPECT_EQ (mSupportTable, Image.Data () + 39);
  EXPECT_EQ (mSupportTableSize, 4u + 2 * 8);
  EXPECT_EQ (mComponentArea, Image.Data () + 43 + 2 * 8);
}

TEST_F (ImageFormat, WrongSignatureSupportsNoController) {
  std::vector<UINT8>  File = IMAGE_BUILDER ().Support (CONTROLLER_A).Component ("TQ10", "APP ", 16).Build ();

  //
  // A good image first, so that a stale table would be found.
  //
  LOADED_IMAGE  Good (File);

  ASSERT_TRUE (CheckImageSignature (Good.Data (), Good.Length ()));
  ASSERT_TRUE (Supported (CONTROLLER_A));

  File[5] = '?';

  LOADED_IMAGE  Bad (File);

  EXPECT_FALSE (CheckImageSignature (Bad.Data (), Bad.Length ()));
  EXPECT_FALSE (Supported (CONTROLLER_A));
  EXPECT_EQ (ScanImageComponents (Bad.Data () + 43 + 8, Bad.Length () - 43 - 8), 0u);
}

//
// ---------------------------------------------------------------------------
// Support lookup
// ---------------------------------------------------------------------------
//

TEST_F (ImageFormat, SupportNeedsAllFourIdsOfOneEntry) {
  LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Support (CONTROLLER_B).Support (CONTROLLER_C)
                         .Component ("TQ10", "APP ", 16).Build ());

  ASSERT_TRUE (CheckImageSignature (Image.Data (), Image.Length ()));

  struct {
    CONST char    *Name;
    SUPPORT_ID    Id;
    BOOLEAN       Expected;
  } CONST  Cases[] = {
    { "first entry",             CONTROLLER_A,                         TRUE  },
    { "last entry",              CONTROLLER_C,                         TRUE  },
    { "vendor differs",          { 0x1F3B, 0x0C31, 0x1028, 0x1F2B },   FALSE },
    { "device differs",          { 0x1F3A, 0x0C32, 0x1028, 0x1F2B },   FALSE },
    { "subsystem vendor differs", { 0x1F3A, 0x0C31, 0x1029, 0x1F2B },  FALSE },
    { "subsystem differs",       { 0x1F3A, 0x0C31, 0x1028, 0x1F2C },   FALSE },
    { "fields of two entries",   { 0x1F3A, 0x0A11, 0x1028, 0x1F2B },   FALSE },
    { "all ones",                { 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF },   FALSE },
    { "byte-swapped",            { 0x3A1F, 0x110A, 0x3A1F, 0x0101 },   FALSE },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    EXPECT_EQ (Supported (Case.Id), Case.Expected);
  }
}

TEST_F (ImageFormat, EmptySupportTableSupportsNothing) {
  LOADED_IMAGE  Image (IMAGE_BUILDER ().Component ("TQ10", "APP ", 16).Build ());

  ASSERT_TRUE (CheckImageSignature (Image.Data (), Image.Length ()));
  EXPECT_EQ (mSupportTableSize, 4u);
  EXPECT_EQ (mComponentArea, Image.Data () + 43);
  EXPECT_FALSE (Supported (CONTROLLER_A));
  EXPECT_FALSE (Supported ({ 0, 0, 0, 0 }));
}

TEST_F (ImageFormat, NoImageRecordedSupportsNothing) {
  EXPECT_FALSE (Supported (CONTROLLER_A));
  EXPECT_FALSE (Supported ({ 0, 0, 0, 0 }));
}

TEST_F (ImageFormat, SupportTablePastTheEndRefusesTheImage) {
  struct {
    CONST char    *Name;
    UINT32        CountField;
    UINT32        TableSize;      ///< mSupportTableSize: 8 x N + 4 in 32 bits
  } CONST  Cases[] = {
    { "one entry too many",                  3,           28 },
    { "far too many",                        0x10000,     0x80004 },
    { "8 x N + 4 wraps to 4",                0x20000000,  4 },
    { "8 x N + 4 wraps to 20",               0x20000002,  20 },
    { "all ones",                            0xFFFFFFFF,  0xFFFFFFFC },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    //
    // Two real entries, no component area: the table claims more.
    //
    LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Support (CONTROLLER_B)
                           .SupportCountField (Case.CountField).Build ());

    ASSERT_TRUE (CheckImageSignature (Image.Data (), Image.Length ()));
    EXPECT_EQ (mSupportTableSize, Case.TableSize);
    EXPECT_FALSE (Supported (CONTROLLER_A));
    EXPECT_GE (mComponentArea, Image.Data ());
    EXPECT_LE (Image.OffsetOf (mComponentArea), Image.Length ()) << "component area outside the loaded bytes";
  }
}

TEST_F (ImageFormat, FileTooShortForTheCountSupportsNothing) {
  for (UINTN Length : { 40u, 41u, 42u }) {
    SCOPED_TRACE (Length);

    std::vector<UINT8>  File = ImageTool::ImageSignature ();

    File.resize (Length, 0);

    LOADED_IMAGE  Image (File);

    EXPECT_TRUE (CheckImageSignature (Image.Data (), Image.Length ()));
    EXPECT_FALSE (Supported ({ 0, 0, 0, 0 }));
    EXPECT_EQ (ScanImageComponents (mComponentArea, Image.Length () - mSupportTableSize - 39), 0u);
  }
}

//
// ---------------------------------------------------------------------------
// Component scan: well-formed images
// ---------------------------------------------------------------------------
//

TEST_F (ImageFormat, BackToBackComponentsAreFoundAtTheirSizes) {
  IMAGE_LAYOUT   Layout;
  COMPONENT_SOURCE  App { "TQ21", "APP ", std::vector<UINT8> (70000 - 1084, 0x5A), std::nullopt, { 1, 2, 3 } };
  LOADED_IMAGE   Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Component (App).Component ("TQ21", "BIOS", 501)
                          .Component ("TQ21", "TMMB", 0).Build (&Layout));

  ASSERT_EQ (Scan (Image), 3u);
  EXPECT_EQ (Offsets (Image), std::vector<UINTN> (Layout.ComponentOffsets.begin (), Layout.ComponentOffsets.end ()));
  EXPECT_EQ (Image.OffsetOf (mComponentTable[1].Start), Layout.ComponentArea + 70000);
  EXPECT_EQ (TypeOf (0), "APP ");
  EXPECT_EQ (TypeOf (1), "BIOS");
  EXPECT_EQ (TypeOf (2), "TMMB");
  EXPECT_EQ (mComponentTable[0].Header[28], 1);     // the header is copied whole
  EXPECT_EQ (mComponentTable[0].Header[30], 3);
}

TEST_F (ImageFormat, EveryTypeCodeIsAccepted) {
  IMAGE_BUILDER  Builder;

  for (const std::string &Type : ImageTool::KnownTypes ()) {
    Builder.Component ("TQ62", Type, 4);
  }

  LOADED_IMAGE  Image (Builder.Build ());

  ASSERT_EQ (Scan (Image), static_cast<UINT32> (COMPONENT_TYPE_COUNT));
  for (UINT32 Index = 0; Index < COMPONENT_TYPE_COUNT; Index++) {
    EXPECT_EQ (TypeOf (Index), ImageTool::KnownTypes ()[Index]);
  }
}

TEST_F (ImageFormat, EmptyAreaYieldsNothingAndClearsTheTable) {
  LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Build ());

  std::memset (mComponentTable, 0xA5, sizeof (mComponentTable));
  mComponentCount = 7;

  EXPECT_EQ (Scan (Image), 0u);
  EXPECT_EQ (mComponentCount, 0u);
  for (const IMAGE_COMPONENT &Entry : mComponentTable) {
    EXPECT_EQ (Entry.Start, nullptr);
    EXPECT_EQ (Entry.Header[0], 0);
    EXPECT_EQ (Entry.Header[COMPONENT_HEADER_SIZE - 1], 0);
  }
}

TEST_F (ImageFormat, FillerIsPassedOverOnlyOnTheFourByteGrid) {
  struct {
    UINTN     Before;      ///< filler before the first component
    UINTN     Between;     ///< filler between the two components
    UINT32    Expected;
  } CONST  Cases[] = {
    { 0,  0,  2 },
    { 4,  4,  2 },
    { 8,  12, 2 },
    { 64, 4096, 2 },
    { 1,  0,  0 },    // both headers off the grid
    { 2,  0,  0 },
    { 3,  0,  0 },
    { 0,  1,  1 },    // only the second one is off the grid
    { 0,  2,  1 },
    { 0,  3,  1 },
    { 0,  5,  1 },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (testing::Message () << Case.Before << " then " << Case.Between << " filler bytes");

    //
    // Filler of family-code characters must not confuse the scan either.
    //
    IMAGE_LAYOUT  Layout;
    LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Filler (Case.Before, 'T').Component ("TQ10", "APP ", 100)
                           .Filler (Case.Between, 'Q').Component ("TQ10", "BIOS", 100).Build (&Layout));

    ASSERT_EQ (Scan (Image), Case.Expected);
    if (Case.Expected == 2) {
      EXPECT_EQ (Offsets (Image), std::vector<UINTN> (Layout.ComponentOffsets.begin (), Layout.ComponentOffsets.end ()));
    } else if (Case.Expected == 1) {
      EXPECT_EQ (Offsets (Image), std::vector<UINTN> ({ Layout.ComponentOffsets[0] }));
    }
  }
}

TEST_F (ImageFormat, UnknownTypeSkipsTheWholeHeaderAndFixesNoFamily) {
  //
  // A TQ11 header of unknown type; a TQ20 component that starts 4 bytes
  // into it is not found, one that starts right behind it is, and fixes
  // the family TQ20.
  //
  std::vector<UINT8>  Unknown = ImageTool::ComponentHeader ("TQ11", "XXXX", 5000);
  std::vector<UINT8>  Hidden  = ImageTool::ComponentHeader ("TQ20", "APP ", 1084);

  std::copy (Hidden.begin (), Hidden.begin () + 100, Unknown.begin () + 4 * 20);
  ImageTool::PutLe32 (Unknown, 4 * 20 + COMPONENT_SIZE_OFFSET, 1084);
  ImageTool::PutLe32 (Unknown, 4 * 20 + COMPONENT_TYPE_OFFSET, ImageCode ("APP "));

  IMAGE_LAYOUT  Layout;
  LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Raw (Unknown).Component ("TQ20", "BIOS", 8)
                         .Component ("TQ11", "APP ", 8).Build (&Layout));

  ASSERT_EQ (Scan (Image), 1u);
  EXPECT_EQ (Image.OffsetOf (mComponentTable[0].Start), Layout.ComponentArea + 1084);
  EXPECT_EQ (TypeOf (0), "BIOS");
}

TEST_F (ImageFormat, SecondFamilyIsFiller) {
  IMAGE_LAYOUT  Layout;
  LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Component ("TQ30", "APP ", 100)
                         .Component ("TQ31", "BIOS", 100).Component ("TQ30", "BOOT", 100).Build (&Layout));

  ASSERT_EQ (Scan (Image), 2u);
  EXPECT_EQ (Offsets (Image), std::vector<UINTN> ({ Layout.ComponentOffsets[0], Layout.ComponentOffsets[2] }));
  EXPECT_EQ (TypeOf (1), "BOOT");
}

TEST_F (ImageFormat, WhatFollowsTheSixtyFourthComponentDecidesTheImage) {
  //
  // A full table is no reason to stop looking: what stands after the 64th
  // component must be accounted for like anything before it.
  //
  std::vector<UINT8>  CutHeader = ImageTool::ComponentHeader ("TQ40", "BOOT", 2000);

  CutHeader.resize (600);

  struct {
    CONST char            *Name;
    std::vector<UINT8>    Tail;       ///< bytes after the 64th component
    UINT32                Expected;
  } CONST  Cases[] = {
    { "nothing",                       {},                                                     64 },
    { "filler",                        std::vector<UINT8> (40, 0x11),                          64 },
    { "a header of an unknown type",   ImageTool::ComponentHeader ("TQ40", "ZZZZ", 1084),      64 },
    { "a header of another family",    ImageTool::ComponentHeader ("TQ41", "CTLR", 1084),      64 },
    { "a 65th component",              ImageTool::ComponentHeader ("TQ40", "CTLR", 1084),      0  },
    { "a 65th header cut short",       CutHeader,                                              0  },
    { "a 65th component cut short",    ImageTool::ComponentHeader ("TQ40", "CTLR", 1085),      0  },
    { "a 65th header smaller than itself", ImageTool::ComponentHeader ("TQ40", "CTLR", 16),    0  },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    IMAGE_LAYOUT   Layout;
    IMAGE_BUILDER  Builder;

    Builder.Support (CONTROLLER_A);
    for (UINT32 Index = 0; Index < 64; Index++) {
      Builder.Component ("TQ40", "CTLR", Index, static_cast<UINT8> (Index));
      Builder.Filler (4 * (Index % 3));
    }

    Builder.Raw (Case.Tail);

    LOADED_IMAGE  Image (Builder.Build (&Layout));

    ASSERT_EQ (Scan (Image), Case.Expected);
    if (Case.Expected == 64) {
      EXPECT_EQ (Offsets (Image), std::vector<UINTN> (Layout.ComponentOffsets.begin (), Layout.ComponentOffsets.begin () + 64));
    } else {
      EXPECT_EQ (mComponentTable[0].Start, nullptr) << "a refused image leaves no entry behind";
    }
  }
}

TEST_F (ImageFormat, ComponentEndingExactlyAtTheEndOfTheFileIsAccepted) {
  LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Filler (8).Component ("TQ52", "NVDT", 3).Build ());

  ASSERT_EQ (Scan (Image), 1u);
  EXPECT_EQ (Image.OffsetOf (mComponentTable[0].Start) + 1084 + 3, Image.Length ());
}

//
// ---------------------------------------------------------------------------
// Component scan: malformed images never lead outside the loaded bytes
// ---------------------------------------------------------------------------
//

TEST_F (ImageFormat, TruncatedHeaderOrComponentRefusesTheImage) {
  struct {
    CONST char    *Name;
    UINTN         Cut;            ///< bytes cut off the end of the file
    UINT32        Expected;       ///< components accepted
  } CONST  Cases[] = {
    { "whole image",                                  0,           2 },
    { "last component one byte short",                1,           0 },
    { "last component cut inside its payload",        50,          0 },
    { "last header one byte short",                   100 + 1,     0 },
    { "only the last family code left",               100 + 1080,  0 },
    //
    // Two bytes of a family code cannot be told from filler.
    //
    { "last family code cut in half",                 100 + 1082,  1 },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    std::vector<UINT8>  File = IMAGE_BUILDER ().Support (CONTROLLER_A).Component ("TQ50", "APP ", 200)
                                 .Component ("TQ50", "BIOS", 100).Build ();

    File.resize (File.size () - Case.Cut);

    LOADED_IMAGE  Image (File);

    EXPECT_EQ (Scan (Image), Case.Expected);
  }
}

TEST_F (ImageFormat, SizeSmallerThanAHeaderRefusesTheImage) {
  //
  // A hole in the image, wherever it stands: first, between two good
  // components, or last. The components around it are not accepted either.
  //
  for (UINT32 Size : { 0u, 4u, 1083u }) {
    for (UINTN Place = 0; Place < 3; Place++) {
      SCOPED_TRACE ("size " + std::to_string (Size) + ", place " + std::to_string (Place));
      IMAGE_BUILDER  Builder;

      Builder.Support (CONTROLLER_A);
      for (UINTN Index = 0; Index < 3; Index++) {
        if (Index == Place) {
          Builder.Component (COMPONENT_SOURCE { "TQ60", "CTLR", {}, Size, {} });
        } else {
          Builder.Component ("TQ60", "APP ", 40);
        }
      }

      LOADED_IMAGE  Image (Builder.Build ());

      EXPECT_EQ (Scan (Image), 0u);
      EXPECT_EQ (mComponentTable[0].Start, nullptr);
    }
  }

  //
  // A small size under an unknown type is no component header at all: it
  // is skipped whole, as any unknown type is.
  //
  IMAGE_LAYOUT  Layout;
  LOADED_IMAGE  Unknown (IMAGE_BUILDER ().Support (CONTROLLER_A)
                           .Raw (ImageTool::ComponentHeader ("TQ60", "ZZZZ", 0))
                           .Component ("TQ60", "BIOS", 40).Build (&Layout));

  ASSERT_EQ (Scan (Unknown), 1u);
  EXPECT_EQ (TypeOf (0), "BIOS");

  LOADED_IMAGE  HeaderOnly (IMAGE_BUILDER ().Support (CONTROLLER_A).Component ("TQ60", "APP ", 0).Build ());

  EXPECT_EQ (Scan (HeaderOnly), 1u);
}

TEST_F (ImageFormat, OversizedSizeFieldRefusesTheImage) {
  for (UINT32 Size : { 1085u, 0x7FFFFFFFu, 0xFFFFFFFFu }) {
    SCOPED_TRACE (Size);

    LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Component ("TQ12", "BOOT", 16)
                           .Component (COMPONENT_SOURCE { "TQ12", "APP ", {}, Size, {} }).Build ());

    EXPECT_EQ (Scan (Image), 0u);
    EXPECT_EQ (mComponentTable[0].Start, nullptr);
  }
}

TEST_F (ImageFormat, ScanLengthIsClippedToTheLoadedBytes) {
  //
  // The update driver computes the area length from the support count; a
  // count that wraps or overshoots hands the scan a length far beyond the
  // file. The scan clips it.
  //
  std::vector<UINT8>  File = IMAGE_BUILDER ().Support (CONTROLLER_A).Component ("TQ22", "APP ", 64)
                               .Component ("TQ22", "BIOS", 64).Build ();
  LOADED_IMAGE        Image (File);

  ASSERT_TRUE (CheckImageSignature (Image.Data (), Image.Length ()));
  for (UINT32 Length : { Image.Length (), Image.Length () + 1, 0xFFFFFFF0u, 0xFFFFFFFFu }) {
    SCOPED_TRACE (Length);
    EXPECT_EQ (ScanImageComponents (mComponentArea, Length), 2u);
    CheckComponentsInside (Image);
  }

  //
  // Wrapped support counts: the driver never scans such an image (the
  // support lookup refuses it), but the scan stays inside all the same.
  //
  for (UINT32 Count : { 0x20000000u, 0x20000001u, 0xFFFFFFFFu }) {
    SCOPED_TRACE (Count);

    std::vector<UINT8>  Wrapped = File;

    ImageTool::PutLe32 (Wrapped, 39, Count);

    LOADED_IMAGE  WrappedImage (Wrapped);

    Scan (WrappedImage);
  }
}

TEST_F (ImageFormat, AreaOutsideTheRecordedImageIsNotScanned) {
  LOADED_IMAGE  Image (IMAGE_BUILDER ().Support (CONTROLLER_A).Component ("TQ22", "APP ", 64).Build ());
  LOADED_IMAGE  Other (IMAGE_BUILDER ().Support (CONTROLLER_A).Component ("TQ22", "APP ", 64).Build ());

  //
  // No image recorded yet.
  //
  EXPECT_EQ (ScanImageComponents (Image.Data () + 51, 2000), 0u);

  ASSERT_TRUE (CheckImageSignature (Image.Data (), Image.Length ()));
  EXPECT_EQ (ScanImageComponents (Other.Data () + 51, Other.Length () - 51), 0u);
  EXPECT_EQ (ScanImageComponents (Image.Data () + Image.Length (), 100), 0u);
  EXPECT_EQ (ScanImageComponents (NULL, 100), 0u);
  EXPECT_EQ (ScanImageComponents (Image.Data () + 51, Image.Length () - 51), 1u);
}

} // namespace
