/** @file
  Tests of the supported-controller table lookup, of 32-bit register access
  through PCI I/O (which BAR and offset each mode produces, which service an
  access space selects, what a failed read gives) and of the frame-address
  encodings.

  Register accesses are checked against a small recording PCI I/O instance:
  the requests themselves are what matters here.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>

#include "HostTest.h"

#include "CtlFlash.h"

namespace {

enum class CALL_KIND {
  MEM_READ,
  MEM_WRITE,
  IO_READ,
  IO_WRITE
};

struct PCI_CALL {
  CALL_KIND                    Kind;
  EFI_PCI_IO_PROTOCOL_WIDTH    Width;
  UINT8                        BarIndex;
  UINT64                       Offset;
  UINTN                        Count;
  UINT32                       Value;    ///< written, or handed back by a read
};

///
/// Records every register call; reads answer ReadValue, or leave the
/// caller's buffer alone and fail when ReadFails is set.
///
struct RECORDING_PCI_IO {
  EFI_PCI_IO_PROTOCOL      Protocol;    // first: This points here
  std::vector<PCI_CALL>    Calls;
  UINT32                   ReadValue;
  BOOLEAN                  ReadFails;

  RECORDING_PCI_IO (
    )
  {
    std::memset (&Protocol, 0, sizeof (Protocol));
    Protocol.Mem.Read  = MemRead;
    Protocol.Mem.Write = MemWrite;
    Protocol.Io.Read   = IoRead;
    Protocol.Io.Write  = IoWrite;
    ReadValue          = 0;
    ReadFails          = FALSE;
  }

  static EFI_STATUS
  Record (
    EFI_PCI_IO_PROTOCOL        *This,
    CALL_KIND                  Kind,
    EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    UINT8                      BarIndex,
    UINT64                     Offset,
    UINTN                      Count,
    VOID                       *Buffer
    )
  {
    RECORDING_PCI_IO  *Self  = reinterpret_cast<RECORDING_PCI_IO *> (This);
    BOOLEAN           IsRead = (Kind == CALL_KIND::MEM_READ) || (Kind == CALL_KIND::IO_READ);
    UINT32            Value  = 0;

    if (IsRead) {
      if (Self->ReadFails) {
        Self->Calls.push_back ({ Kind, Width, BarIndex, Offset, Count, 0 });
        return EFI_DEVICE_ERROR;
      }

      std::memcpy (Buffer, &Self->ReadValue, sizeof (UINT32));
      Value = Self->ReadValue;
    } else {
      std::memcpy (&Value, Buffer, sizeof (UINT32));
    }

    Self->Calls.push_back ({ Kind, Width, BarIndex, Offset, Count, Value });
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI
  MemRead (
    EFI_PCI_IO_PROTOCOL        *This,
    EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    UINT8                      BarIndex,
    UINT64                     Offset,
    UINTN                      Count,
    VOID                       *Buffer
    )
  {
    return Record (This, CALL_KIND::MEM_READ, Width, BarIndex, Offset, Count, Buffer);
  }

  static EFI_STATUS EFIAPI
  MemWrite (
    EFI_PCI_IO_PROTOCOL        *This,
    EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    UINT8                      BarIndex,
    UINT64                     Offset,
    UINTN                      Count,
    VOID                       *Buffer
    )
  {
    return Record (This, CALL_KIND::MEM_WRITE, Width, BarIndex, Offset, Count, Buffer);
  }

  static EFI_STATUS EFIAPI
  IoRead (
    EFI_PCI_IO_PROTOCOL        *This,
    EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    UINT8                      BarIndex,
    UINT64                     Offset,
    UINTN                      Count,
    VOID                       *Buffer
    )
  {
    return Record (This, CALL_KIND::IO_READ, Width, BarIndex, Offset, Count, Buffer);
  }

  static EFI_STATUS EFIAPI
  IoWrite (
    EFI_PCI_IO_PROTOCOL        *This,
    EFI_PCI_IO_PROTOCOL_WIDTH  Width,
    UINT8                      BarIndex,
    UINT64                     Offset,
    UINTN                      Count,
    VOID                       *Buffer
    )
  {
    return Record (This, CALL_KIND::IO_WRITE, Width, BarIndex, Offset, Count, Buffer);
  }
};

///
/// A register at a fixed offset, reached as Mode says: lets the cases below
/// try any offset in either mode.
///
constexpr CONTROLLER_REGISTER
RegisterAt (
  UINT32         Offset,
  REGISTER_MODE  Mode
  )
{
  return { REGISTER_OFFSET::FIXED, Mode, Offset };
}

class REGISTERS : public HOST_TEST {
protected:
  RECORDING_PCI_IO      mPciIo;
  CONTROLLER_CONTEXT    mContext;

  ///
  /// A context as discovery fills it for a row, with the given base.
  ///
  VOID
  UseRow (
    UINT16  DeviceId,
    UINT32  RegisterBase
    )
  {
    CONST SUPPORTED_CONTROLLER  *Row = FindSupportedController (DeviceId);

    ASSERT_NE (nullptr, Row);
    std::memset (&mContext, 0, sizeof (mContext));
    std::memcpy (&mContext.Model, Row, sizeof (mContext.Model));
    mContext.PciIo        = &mPciIo.Protocol;
    mContext.RegisterBase = RegisterBase;
    mContext.PciBarIndex  = static_cast<UINT8> (Row->BarIndex);   // no 64-bit BAR in front
  }
};

} // namespace

//
// Supported-controller table
//

TEST_F (REGISTERS, EveryModelIsFoundInItsOwnRowAndOthersAreNot) {
  for (UINTN Index = 0; Index < SUPPORTED_CONTROLLER_COUNT; Index++) {
    EXPECT_EQ (&mSupportedControllers[Index], FindSupportedController (mSupportedControllers[Index].DeviceId))
      << "row " << Index + 1 << " (device IDs must be distinct)";
  }

  for (UINT16 Unknown : { UINT16 (0x0000), UINT16 (0x0A10), UINT16 (0x0D42), UINT16 (0xFFFF), UINT16 (MAKER_VENDOR_ID) }) {
    EXPECT_EQ (nullptr, FindSupportedController (Unknown)) << std::hex << Unknown;
  }
}

//
// Register access
//

namespace {

struct ACCESS_CASE {
  CONST char    *Name;
  UINT16        DeviceId;
  UINT32        RegisterBase;
  BOOLEAN       WindowAbove4G;
  BOOLEAN       Write;
  UINT32        Offset;
  UINT32        Mode;
  CALL_KIND     Kind;
  UINT8         BarIndex;        ///< expected
  UINT64        PassedOffset;    ///< expected
};

CONST ACCESS_CASE  mAccessCases[] = {
  { "I/O, BAR-relative read",            MAKER_DEVICE_ID_MODEL_1,  0x0000C000, FALSE, FALSE, 0xB0, 0, CALL_KIND::IO_READ,   2,    0xB0               },
  { "I/O, BAR-relative write",           MAKER_DEVICE_ID_MODEL_4,  0x0000C000, FALSE, TRUE,  0x2C, 0, CALL_KIND::IO_WRITE,  0,    0x2C               },
  { "I/O, base-relative write",          MAKER_DEVICE_ID_MODEL_1,  0x0000C000, FALSE, TRUE,  0xC4, 1, CALL_KIND::IO_WRITE,  0xFF, 0xC0C4             },
  { "memory, BAR-relative read",         MAKER_DEVICE_ID_MODEL_11, 0xC0000000, FALSE, FALSE, 0xB0, 0, CALL_KIND::MEM_READ,  1,    0xB0               },
  { "memory, base-relative write",       MAKER_DEVICE_ID_MODEL_11, 0xC0000000, FALSE, TRUE,  0xC0, 1, CALL_KIND::MEM_WRITE, 0xFF, 0xC00000C0         },
  { "base-relative wraps at 32 bits",    MAKER_DEVICE_ID_MODEL_11, 0xFFFFFF00, FALSE, TRUE,  0x200, 1, CALL_KIND::MEM_WRITE, 0xFF, 0x100             },
  { "base-relative read wraps too",      MAKER_DEVICE_ID_MODEL_11, 0xFFFFFFF0, FALSE, FALSE, 0xB0, 1, CALL_KIND::MEM_READ,  0xFF, 0xA0               },
  { "window above 4 GiB: BAR-relative",  MAKER_DEVICE_ID_MODEL_11, 0x00000000, TRUE,  TRUE,  0x20, 1, CALL_KIND::MEM_WRITE, 1,    0x20               },
  { "window above 4 GiB, mode 0",        MAKER_DEVICE_ID_MODEL_11, 0x00000000, TRUE,  FALSE, 0xB0, 0, CALL_KIND::MEM_READ,  1,    0xB0               },
};

} // namespace

TEST_F (REGISTERS, EachModeAndSpaceMakesTheRightPciIoRequest) {
  for (CONST ACCESS_CASE &Case : mAccessCases) {
    SCOPED_TRACE (Case.Name);
    UseRow (Case.DeviceId, Case.RegisterBase);
    mContext.WindowAbove4G = Case.WindowAbove4G;
    mPciIo.Calls.clear ();
    mPciIo.ReadValue = 0x12345678;

    REGISTER_MODE  Mode = static_cast<REGISTER_MODE> (Case.Mode);

    if (Case.Write) {
      WriteControllerRegister (&mContext, RegisterAt (Case.Offset, Mode), 0xCAFEF00D);
    } else {
      EXPECT_EQ (0x12345678u, ReadControllerRegister (&mContext, RegisterAt (Case.Offset, Mode)));
    }

    ASSERT_EQ (1u, mPciIo.Calls.size ());
    EXPECT_EQ (Case.Kind, mPciIo.Calls[0].Kind);
    EXPECT_EQ (EfiPciIoWidthUint32, mPciIo.Calls[0].Width);
    EXPECT_EQ (1u, mPciIo.Calls[0].Count);
    EXPECT_EQ (Case.BarIndex, mPciIo.Calls[0].BarIndex);
    EXPECT_EQ (Case.PassedOffset, mPciIo.Calls[0].Offset);
    if (Case.Write) {
      EXPECT_EQ (0xCAFEF00Du, mPciIo.Calls[0].Value);
    }
  }
}

TEST_F (REGISTERS, BarRelativeAccessesNameTheBarByItsPciIoIndex) {
  // Row 1's window sits in slot 2 behind a 64-bit BAR: PCI I/O knows it as BAR 1.
  UseRow (MAKER_DEVICE_ID_MODEL_1, 0xE000);
  mContext.PciBarIndex = 1;

  ReadControllerRegister (&mContext, STATUS_REGISTER);
  WriteControllerRegister (&mContext, QUEUE_PORT_HIGH, 7);
  mContext.WindowAbove4G = TRUE;
  WriteControllerRegister (&mContext, DOORBELL_REGISTER, 1);

  ASSERT_EQ (3u, mPciIo.Calls.size ());
  EXPECT_EQ (1u, mPciIo.Calls[0].BarIndex);
  EXPECT_EQ (0xB0u, mPciIo.Calls[0].Offset);
  EXPECT_EQ (EFI_PCI_IO_PASS_THROUGH_BAR, mPciIo.Calls[1].BarIndex) << "base-relative accesses keep the slot's base";
  EXPECT_EQ (0xE0C4u, mPciIo.Calls[1].Offset);
  EXPECT_EQ (1u, mPciIo.Calls[2].BarIndex);
  EXPECT_EQ (0x20u, mPciIo.Calls[2].Offset);
}

namespace {

struct NAMED_REGISTER_CASE {
  CONST char             *Name;
  CONTROLLER_REGISTER    Register;
  UINT8                  BarIndex;        ///< expected
  UINT64                 PassedOffset;    ///< expected
};

//
// A row whose register columns all differ, so that a register taking its
// offset from the wrong column, or reached in the wrong mode, shows.
//
CONST NAMED_REGISTER_CASE  mNamedRegisterCases[] = {
  { "status: its column, BAR-relative",     STATUS_REGISTER,    2,    0x40   },
  { "doorbell: its column, base-relative",  DOORBELL_REGISTER,  0xFF, 0xE044 },
  { "queue port high: base-relative",       QUEUE_PORT_HIGH,    0xFF, 0xE048 },
  { "queue port low: base-relative",        QUEUE_PORT_LOW,     0xFF, 0xE04C },
  { "handshake: 0x2C on every model",       HANDSHAKE_REGISTER, 2,    0x2C   },
};

} // namespace

TEST_F (REGISTERS, EachNamedRegisterTakesItsOffsetAndModeFromItsDefinition) {
  for (CONST NAMED_REGISTER_CASE &Case : mNamedRegisterCases) {
    SCOPED_TRACE (Case.Name);
    UseRow (MAKER_DEVICE_ID_MODEL_1, 0xE000);
    mContext.Model.StatusRegister   = 0x40;
    mContext.Model.DoorbellRegister = 0x44;
    mContext.Model.QueuePortHigh    = 0x48;
    mContext.Model.QueuePortLow     = 0x4C;
    mPciIo.Calls.clear ();

    WriteControllerRegister (&mContext, Case.Register, 1);
    ReadControllerRegister (&mContext, Case.Register);

    ASSERT_EQ (2u, mPciIo.Calls.size ());
    for (CONST PCI_CALL &Call : mPciIo.Calls) {
      EXPECT_EQ (Case.BarIndex, Call.BarIndex);
      EXPECT_EQ (Case.PassedOffset, Call.Offset);
    }
  }
}

TEST_F (REGISTERS, AnUnknownAccessSpaceMakesNoCallAndReadsZero) {
  for (UINT32 Space : { 2u, 3u, 0xFFFFFFFFu }) {
    UseRow (MAKER_DEVICE_ID_MODEL_1, 0xC000);
    mContext.Model.AccessSpace = Space;
    mPciIo.ReadValue           = 0x12345678;

    EXPECT_EQ (0u, ReadControllerRegister (&mContext, STATUS_REGISTER));
    EXPECT_EQ (0u, ReadControllerRegister (&mContext, RegisterAt (0xB0, REGISTER_MODE::REG_BASE_RELATIVE)));
    WriteControllerRegister (&mContext, DOORBELL_REGISTER, 1);
    WriteControllerRegister (&mContext, HANDSHAKE_REGISTER, 1);
    EXPECT_TRUE (mPciIo.Calls.empty ()) << "access space " << Space;
  }
}

TEST_F (REGISTERS, AFailedReadGivesZero) {
  UseRow (MAKER_DEVICE_ID_MODEL_11, 0xC0000000);
  mPciIo.ReadFails = TRUE;

  EXPECT_EQ (0u, ReadControllerRegister (&mContext, STATUS_REGISTER));
  EXPECT_EQ (1u, mPciIo.Calls.size ());
}

//
// Frame-address encoding
//

namespace {

struct ENCODING_CASE {
  UINT32    Encoding;
  UINT32    Operand;
  UINT64    Address;
  UINT64    Expected;
};

CONST ENCODING_CASE  mEncodingCases[] = {
  { ENCODE_OR,          2,          0x0000000123456700ull,  0x0000000123456702ull },   // bit 1 and nothing else
  { ENCODE_OR,          1,          0xFFFFFFFF00000100ull,  0xFFFFFFFF00000101ull },
  { ENCODE_OR,          0xFFFFFFFF, 0x1234567800000000ull,  0x12345678FFFFFFFFull },   // only the low half gains bits
  { ENCODE_AND,         0xFFFFFFFF, 0xFFFFFFFF12345600ull,  0x0000000012345600ull },   // the high half is always cleared
  { ENCODE_AND,         0x0000FF00, 0x0000000012345678ull,  0x0000000000005600ull },
  { ENCODE_SHIFT_LEFT,  3,          0x0000000012345600ull,  0x0000000091A2B000ull },
  { ENCODE_SHIFT_LEFT,  64,         0x0000000012345600ull,  0x0000000012345600ull },   // count mod 64
  { ENCODE_SHIFT_LEFT,  67,         0x0000000012345600ull,  0x0000000091A2B000ull },
  { ENCODE_SHIFT_LEFT,  63,         0x0000000000000003ull,  0x8000000000000000ull },
  { ENCODE_SHIFT_RIGHT, 4,          0x8000000012345600ull,  0x0800000001234560ull },   // zeros come in
  { ENCODE_SHIFT_RIGHT, 128,        0x8000000012345600ull,  0x8000000012345600ull },
  { ENCODE_SHIFT_RIGHT, 0xFFFFFFFF, 0x8000000000000000ull,  0x0000000000000001ull },   // 2^32-1 mod 64 = 63
  { 4,                  2,          0x0000000012345600ull,  0                      },
  { 0xFFFFFFFF,         2,          0x0000000012345600ull,  0                      },
};

} // namespace

TEST_F (REGISTERS, FrameAddressEncodings) {
  for (CONST ENCODING_CASE &Case : mEncodingCases) {
    UseRow (MAKER_DEVICE_ID_MODEL_8, 0xC000);
    mContext.Model.AddressEncoding = Case.Encoding;
    mContext.Model.EncodingOperand = Case.Operand;

    EXPECT_EQ (Case.Expected, EncodeFrameAddress (&mContext, Case.Address))
      << std::hex << "encoding " << Case.Encoding << ", operand " << Case.Operand << ", address " << Case.Address;
  }
}

TEST_F (REGISTERS, AFrameAddressIsPostedOnlyWhenItsEncodingCarriesItWhole) {
  struct CASE {
    UINT32     Encoding;
    UINT32     Operand;
    UINT64     Address;
    BOOLEAN    Encodes;
  };
  const CASE  Cases[] = {
    { ENCODE_OR,          2,          0x0000000840000000ull, TRUE  },   // the tag falls on zero bits, above 4 GiB too
    { ENCODE_OR,          1,          0x0000000040000100ull, TRUE  },
    { ENCODE_OR,          2,          0x0000000040000002ull, FALSE },   // the tag would hide an address bit
    { ENCODE_AND,         0xFFFFFFFF, 0x0000000040000000ull, TRUE  },
    { ENCODE_AND,         0xFFFFFFFF, 0x0000000840000000ull, FALSE },   // the high half would be lost
    { ENCODE_SHIFT_LEFT,  3,          0x0000000840000000ull, TRUE  },
    { ENCODE_SHIFT_LEFT,  8,          0xFF00000000000000ull, FALSE },   // top bits shifted out
    { ENCODE_SHIFT_RIGHT, 8,          0x0000000840000000ull, TRUE  },
    { ENCODE_SHIFT_RIGHT, 12,         0x0000000840000100ull, FALSE },   // low bits shifted out
    { 4,                  2,          0x0000000040000000ull, FALSE },   // unknown encoding
  };

  for (const CASE &Case : Cases) {
    UseRow (MAKER_DEVICE_ID_MODEL_8, 0xC000);
    mContext.Model.AddressEncoding = Case.Encoding;
    mContext.Model.EncodingOperand = Case.Operand;

    EXPECT_EQ (Case.Encodes, FrameAddressEncodes (&mContext, Case.Address))
      << std::hex << "encoding " << Case.Encoding << ", operand " << Case.Operand << ", address " << Case.Address;
  }
}
