/** @file
  Tests of the controller model: configuration space, the register window
  and its stray accesses, the status script, the handshake, frame decoding
  and checks, the command set with its data movement, the flash order rule,
  fault injection with delays, read-back counting and the journal.

  Frames are built and posted here the way the application builds them, so
  that a fault in the model shows up as a wrong answer to a correct host.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SimController.h"

namespace {

UINT64  mTestNow;

VOID *
TestAllocate (
  UINTN  Size
  )
{
  return std::malloc (Size);
}

VOID
TestFree (
  VOID  *Buffer
  )
{
  std::free (Buffer);
}

UINT64
TestNow (
  VOID
  )
{
  return mTestNow;
}

//
// What GetBarAttributes hands out comes from malloc here too: the tests
// release it with std::free. No lock, no pages for AllocateBuffer, nothing
// saved across power cuts.
//
constexpr SIM_ENV  mTestEnv = {
  TestAllocate, TestFree, TestNow, nullptr, nullptr, TestAllocate, nullptr, nullptr, nullptr
};

///
/// 256-byte-aligned host memory for one frame.
///
class HOST_FRAME {
public:
  HOST_FRAME () : mBytes (static_cast<UINT8 *> (std::aligned_alloc (FRAME_ALIGNMENT, FRAME_ALIGNMENT)))
  {
    std::memset (mBytes, 0, FRAME_ALIGNMENT);
  }

  ~HOST_FRAME ()
  {
    std::free (mBytes);
  }

  HOST_FRAME (const HOST_FRAME &)            = delete;
  HOST_FRAME &operator= (const HOST_FRAME &) = delete;

  COMMAND_FRAME *
  Frame (
    )
  {
    return reinterpret_cast<COMMAND_FRAME *> (mBytes);
  }

  UINT64
  Address (
    ) const
  {
    return reinterpret_cast<UINTN> (mBytes);
  }

  UINT8
  Status (
    ) const
  {
    return *reinterpret_cast<volatile UINT8 *> (mBytes + 2);
  }

private:
  UINT8  *mBytes;
};

///
/// A host buffer with guard bytes after it, to prove that nothing is
/// written beyond the length the frame gives.
///
class GUARDED_BUFFER {
public:
  explicit GUARDED_BUFFER (size_t Length, UINT8 Fill = 0xCC) : mLength (Length), mBytes (Length + GUARD, GUARD_BYTE)
  {
    std::memset (mBytes.data (), Fill, Length);
  }

  UINT8 *
  Data (
    )
  {
    return mBytes.data ();
  }

  bool
  GuardIntact (
    ) const
  {
    for (size_t Index = mLength; Index < mBytes.size (); Index++) {
      if (mBytes[Index] != GUARD_BYTE) {
        return false;
      }
    }

    return true;
  }

private:
  static constexpr size_t  GUARD      = 32;
  static constexpr UINT8   GUARD_BYTE = 0xA5;
  size_t                   mLength;
  std::vector<UINT8>       mBytes;
};

UINT32
Get32 (
  const UINT8  *Bytes
  )
{
  UINT32  Value;

  std::memcpy (&Value, Bytes, sizeof (Value));
  return Value;
}

VOID
Put32 (
  UINT8   *Bytes,
  UINT32  Value
  )
{
  std::memcpy (Bytes, &Value, sizeof (Value));
}

VOID
FillFrame (
  OUT COMMAND_FRAME  *Frame,
  IN  UINT32         Opcode,
  IN  UINT16         Direction,
  IN  UINT32         Mailbox0,
  IN  VOID           *Buffer,
  IN  UINT32         Length
  )
{
  UINT64  Address = reinterpret_cast<UINTN> (Buffer);

  std::memset (Frame, 0, sizeof (*Frame));
  Frame->Command            = FRAME_COMMAND;
  Frame->Status             = FRAME_STATUS_PENDING;
  Frame->SgeCount           = 1;
  Frame->Context            = static_cast<UINT32> (Address);
  Frame->Flags              = FrameFlags (Direction);
  Frame->DataTransferLength = Length;
  Frame->Opcode             = Opcode;
  Frame->Mailbox[0]         = Mailbox0;
  Frame->Sge[0].AddressLow  = static_cast<UINT32> (Address);
  Frame->Sge[0].AddressHigh = static_cast<UINT32> (Address >> 32);
  Frame->Sge[0].Length      = Length;
}

class SIM_CONTROLLER_TEST : public ::testing::Test {
protected:
  void
  SetUp (
    ) override
  {
    mTestNow = 0;
  }

  void
  TearDown (
    ) override
  {
    for (SIM_CONTROLLER *Sim : mSims) {
      SimDestroy (Sim);
    }
  }

  static SIM_CONFIG
  Config (
    UINT16  DeviceId = MAKER_DEVICE_ID_MODEL_1
    )
  {
    SIM_CONFIG  Result;

    SimConfigInit (&Result, DeviceId, 0);
    return Result;
  }

  SIM_CONTROLLER *
  Create (
    const SIM_CONFIG  &Configuration
    )
  {
    SIM_CONTROLLER  *Sim = SimCreate (&mTestEnv, &Configuration);

    EXPECT_NE (Sim, nullptr) << SimCheckConfig (&Configuration);
    if (Sim != nullptr) {
      mSims.push_back (Sim);
    }

    return Sim;
  }

  static const SUPPORTED_CONTROLLER *
  Row (
    SIM_CONTROLLER  *Sim
    )
  {
    return SimRowForDevice (SimGetConfig (Sim)->DeviceId);
  }

  ///
  /// Absolute address of the register window, as the pass-through BAR
  /// wants it.
  ///
  static UINT64
  WindowBase (
    SIM_CONTROLLER  *Sim
    )
  {
    return SimGetConfig (Sim)->Bars[Row (Sim)->BarIndex].Address;
  }

  static bool
  IsIo (
    SIM_CONTROLLER  *Sim
    )
  {
    return Row (Sim)->AccessSpace == ACCESS_SPACE_IO;
  }

  static EFI_STATUS
  Write (
    SIM_CONTROLLER  *Sim,
    UINT8           BarIndex,
    UINT64          Offset,
    UINT32          Value
    )
  {
    EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);

    return IsIo (Sim) ? PciIo->Io.Write (PciIo, EfiPciIoWidthUint32, BarIndex, Offset, 1, &Value)
                      : PciIo->Mem.Write (PciIo, EfiPciIoWidthUint32, BarIndex, Offset, 1, &Value);
  }

  static UINT32
  Read (
    SIM_CONTROLLER  *Sim,
    UINT8           BarIndex,
    UINT64          Offset,
    EFI_STATUS      *Status = nullptr
    )
  {
    EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);
    UINT32               Value  = 0x12345678;
    EFI_STATUS           Result = IsIo (Sim) ? PciIo->Io.Read (PciIo, EfiPciIoWidthUint32, BarIndex, Offset, 1, &Value)
                                             : PciIo->Mem.Read (PciIo, EfiPciIoWidthUint32, BarIndex, Offset, 1, &Value);

    if (Status != nullptr) {
      *Status = Result;
    }

    return Value;
  }

  ///
  /// Register read through the window's own BAR.
  ///
  static UINT32
  ReadRegister (
    SIM_CONTROLLER  *Sim,
    UINT32          Register
    )
  {
    return Read (Sim, static_cast<UINT8> (Row (Sim)->BarIndex), Register);
  }

  static VOID
  WriteRegister (
    SIM_CONTROLLER  *Sim,
    UINT32          Register,
    UINT32          Value
    )
  {
    Write (Sim, static_cast<UINT8> (Row (Sim)->BarIndex), Register, Value);
  }

  ///
  /// Post a frame address the way the application does: encoded with the
  /// row's tag, high half first, both through the pass-through BAR.
  ///
  static VOID
  PostEncoded (
    SIM_CONTROLLER  *Sim,
    UINT64          Encoded
    )
  {
    Write (Sim, EFI_PCI_IO_PASS_THROUGH_BAR, WindowBase (Sim) + Row (Sim)->QueuePortHigh, static_cast<UINT32> (Encoded >> 32));
    Write (Sim, EFI_PCI_IO_PASS_THROUGH_BAR, WindowBase (Sim) + Row (Sim)->QueuePortLow, static_cast<UINT32> (Encoded));
  }

  static VOID
  Post (
    SIM_CONTROLLER  *Sim,
    HOST_FRAME      &Frame
    )
  {
    PostEncoded (Sim, Frame.Address () | Row (Sim)->EncodingOperand);
  }

  ///
  /// Build, post and return the immediate answer of one request.
  ///
  static UINT8
  Issue (
    SIM_CONTROLLER  *Sim,
    UINT32          Opcode,
    UINT16          Direction,
    UINT32          Mailbox0,
    VOID            *Buffer,
    UINT32          Length
    )
  {
    HOST_FRAME  Frame;

    FillFrame (Frame.Frame (), Opcode, Direction, Mailbox0, Buffer, Length);
    Post (Sim, Frame);
    return Frame.Status ();
  }

  static const SIM_FRAME_RECORD *
  LastFrame (
    SIM_CONTROLLER  *Sim
    )
  {
    return SimGetFrame (Sim, SimFrameCount (Sim) - 1);
  }

  std::vector<SIM_CONTROLLER *>  mSims;
};

//
// ---------------------------------------------------------------------------
// Configuration space
// ---------------------------------------------------------------------------
//

TEST_F (SIM_CONTROLLER_TEST, ConfigurationHeaderCarriesIdsAndEveryBarKind) {
  SIM_CONFIG  Configuration = Config (MAKER_DEVICE_ID_MODEL_11);

  Configuration.SubsystemVendorId = 0x1234;
  Configuration.SubsystemId       = 0x5678;
  Configuration.RevisionId        = 3;
  Configuration.Bars[0]           = { SIM_BAR_KIND::IO, 0xE000 };
  Configuration.Bars[1]           = { SIM_BAR_KIND::MEM64, 0x812345670ull };
  Configuration.Bars[2]           = { SIM_BAR_KIND::NONE, 0 };
  Configuration.Bars[3]           = { SIM_BAR_KIND::MEM32, 0xFE000000u };
  SIM_CONTROLLER       *Sim   = Create (Configuration);
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);
  PCI_TYPE00           Header;

  ASSERT_EQ (PciIo->Pci.Read (PciIo, EfiPciIoWidthUint8, 0, sizeof (Header), &Header), EFI_SUCCESS);
  EXPECT_EQ (Header.Hdr.VendorId, MAKER_VENDOR_ID);
  EXPECT_EQ (Header.Hdr.DeviceId, MAKER_DEVICE_ID_MODEL_11);
  EXPECT_EQ (Header.Hdr.RevisionID, 3);
  EXPECT_EQ (Header.Device.SubsystemVendorID, 0x1234);
  EXPECT_EQ (Header.Device.SubsystemID, 0x5678);
  EXPECT_EQ (Header.Device.Bar[0], 0xE001u);                     // I/O: bit 0 set
  EXPECT_EQ (Header.Device.Bar[1], 0x12345674u);                 // 64-bit memory: type bits 2-1 = 10b
  EXPECT_EQ (Header.Device.Bar[2], 0x8u);                        // its upper half
  EXPECT_EQ (Header.Device.Bar[3], 0xFE000000u);
  EXPECT_EQ (Header.Device.Bar[4], 0u);
  EXPECT_EQ (Header.Device.Bar[5], 0u);
  EXPECT_EQ (Header.Hdr.ClassCode[2], PCI_CLASS_MASS_STORAGE);
}

TEST_F (SIM_CONTROLLER_TEST, ConfigurationReadsHonourWidthOffsetAndBounds) {
  struct CASE {
    EFI_PCI_IO_PROTOCOL_WIDTH    Width;
    UINT32                       Offset;
    UINTN                        Count;
    EFI_STATUS                   Expected;
  };
  const CASE  Cases[] = {
    { EfiPciIoWidthUint16,     0x02,  1,  EFI_SUCCESS           },
    { EfiPciIoWidthUint32,     0x00,  64, EFI_SUCCESS           },   // all 256 bytes
    { EfiPciIoWidthUint32,     0x04,  64, EFI_UNSUPPORTED       },   // one dword past the end
    { EfiPciIoWidthUint8,      0xFF,  1,  EFI_SUCCESS           },
    { EfiPciIoWidthUint8,      0x100, 1,  EFI_UNSUPPORTED       },
    { EfiPciIoWidthUint32,     0x02,  1,  EFI_UNSUPPORTED       },   // misaligned
    { EfiPciIoWidthUint8,      0,     (UINTN)-1, EFI_UNSUPPORTED },  // count that would wrap
    { EfiPciIoWidthFifoUint8,  0,     1,  EFI_INVALID_PARAMETER },
  };
  SIM_CONTROLLER       *Sim   = Create (Config ());
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);

  for (const CASE &Case : Cases) {
    UINT8  Buffer[SIM_CONFIG_SPACE_SIZE + 8];

    std::memset (Buffer, 0xEE, sizeof (Buffer));
    EXPECT_EQ (PciIo->Pci.Read (PciIo, Case.Width, Case.Offset, Case.Count, Buffer), Case.Expected)
      << "width " << Case.Width << " offset " << Case.Offset << " count " << Case.Count;
    if (Case.Expected != EFI_SUCCESS) {
      EXPECT_EQ (Buffer[0], 0xEE) << "a refused read must not write";
    }
  }

  UINT16  DeviceId = 0;

  PciIo->Pci.Read (PciIo, EfiPciIoWidthUint16, 0x02, 1, &DeviceId);
  EXPECT_EQ (DeviceId, MAKER_DEVICE_ID_MODEL_1);
  EXPECT_EQ (PciIo->Pci.Read (PciIo, EfiPciIoWidthUint8, 0, 1, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F (SIM_CONTROLLER_TEST, ConfigurationReadFailureIsInjectedAndJournaled) {
  SIM_CONFIG  Configuration = Config ();

  Configuration.PciReadFails = TRUE;
  SIM_CONTROLLER       *Sim   = Create (Configuration);
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);
  UINT8                Header[64];

  std::memset (Header, 0xEE, sizeof (Header));
  EXPECT_EQ (PciIo->Pci.Read (PciIo, EfiPciIoWidthUint8, 0, sizeof (Header), Header), EFI_DEVICE_ERROR);
  EXPECT_EQ (Header[0], 0xEE);
  ASSERT_EQ (SimAccessCount (Sim), 1u);
  EXPECT_EQ (SimGetAccess (Sim, 0)->Kind, SIM_ACCESS_KIND::PCI_READ);
  EXPECT_EQ (SimGetAccess (Sim, 0)->Status, EFI_DEVICE_ERROR);
}

//
// ---------------------------------------------------------------------------
// Register window
// ---------------------------------------------------------------------------
//

TEST_F (SIM_CONTROLLER_TEST, IoWindowIsReachedThroughItsBarOrItsAbsoluteAddressOnly) {
  struct CASE {
    const char    *What;
    bool          Memory;
    UINT8         BarIndex;
    UINT64        Offset;
    bool          Hit;
    EFI_STATUS    Status;
    UINT32        Value;
  };
  // Model 1: I/O window in BAR 2 at 0xC000, status register 0xB0 reads 0xB0000000.
  const CASE  Cases[] = {
    { "own BAR",                false, 2,    0xB0,   true,  EFI_SUCCESS,     0xB0000000u },
    { "pass-through",           false, 0xFF, 0xC0B0, true,  EFI_SUCCESS,     0xB0000000u },
    { "pass-through, no base",  false, 0xFF, 0xB0,   false, EFI_SUCCESS,     0xFFFFFFFFu },
    { "pass-through, past end", false, 0xFF, 0xC100, false, EFI_SUCCESS,     0xFFFFFFFFu },
    { "other BAR",              false, 0,    0xB0,   false, EFI_UNSUPPORTED, 0x12345678u },
    { "last dword",             false, 2,    0xFC,   true,  EFI_SUCCESS,     0u          },
    { "beyond window",          false, 2,    0xFD,   false, EFI_UNSUPPORTED, 0x12345678u },
    { "memory space",           true,  2,    0xB0,   false, EFI_UNSUPPORTED, 0x12345678u },
  };
  SIM_CONTROLLER       *Sim   = Create (Config ());
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);

  ASSERT_EQ (WindowBase (Sim), 0xC000u);
  for (const CASE &Case : Cases) {
    UINT32      Value  = 0x12345678;
    EFI_STATUS  Status = Case.Memory ? PciIo->Mem.Read (PciIo, EfiPciIoWidthUint32, Case.BarIndex, Case.Offset, 1, &Value)
                                     : PciIo->Io.Read (PciIo, EfiPciIoWidthUint32, Case.BarIndex, Case.Offset, 1, &Value);
    const SIM_ACCESS_RECORD  *Record = SimGetAccess (Sim, SimAccessCount (Sim) - 1);

    EXPECT_EQ (Status, Case.Status) << Case.What;
    EXPECT_EQ (Value, Case.Value) << Case.What;
    EXPECT_EQ (Record->Hit, Case.Hit) << Case.What;
    EXPECT_EQ (Record->BarIndex, Case.BarIndex) << Case.What;
    EXPECT_EQ (Record->Offset, Case.Offset) << Case.What;
  }

  EXPECT_EQ (SimGetCounters (Sim)->StrayAccesses, 5u);
}

TEST_F (SIM_CONTROLLER_TEST, WindowAbove4GiBIgnoresTheTruncatedAddress) {
  SIM_CONFIG  Configuration = Config (MAKER_DEVICE_ID_MODEL_11);

  Configuration.Bars[1] = { SIM_BAR_KIND::MEM64, 0x4FE000000ull };
  SIM_CONTROLLER  *Sim = Create (Configuration);
  HOST_FRAME      Frame;
  UINT64          Encoded;

  FillFrame (Frame.Frame (), OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0);
  Encoded = Frame.Address () | 2;

  //
  // The queue ports written at the low 32 bits of the window address reach
  // nothing: no frame is posted, the status byte stays pending.
  //
  Write (Sim, 0xFF, 0xFE000000u + 0xC4, static_cast<UINT32> (Encoded >> 32));
  Write (Sim, 0xFF, 0xFE000000u + 0xC0, static_cast<UINT32> (Encoded));
  EXPECT_EQ (SimFrameCount (Sim), 0u);
  EXPECT_EQ (Frame.Status (), FRAME_STATUS_PENDING);
  EXPECT_EQ (SimGetCounters (Sim)->StrayAccesses, 2u);
  EXPECT_FALSE (SimGetAccess (Sim, 1)->Hit);

  //
  // Through the BAR, or at the full 64-bit address, the window answers.
  //
  Write (Sim, 1, 0xC4, static_cast<UINT32> (Encoded >> 32));
  Write (Sim, 1, 0xC0, static_cast<UINT32> (Encoded));
  EXPECT_EQ (Frame.Status (), SIM_STATUS_SUCCESS);
  EXPECT_EQ (Read (Sim, 0xFF, 0x4FE0000B0ull), 0xB0000000u);
}

TEST_F (SIM_CONTROLLER_TEST, BarsAreNumberedAndDescribedAsThePciBusDriverDoes) {
  //
  // Slots 0-1: a 64-bit memory BAR (index 0); slot 2: row 1's I/O window
  // (index 1); slot 3: a 32-bit memory BAR (index 2); slots 4-5 unused
  // (indices 3 and 4); there is no index 5.
  //
  SIM_CONFIG  Configuration = Config (MAKER_DEVICE_ID_MODEL_1);

  std::memset (Configuration.Bars, 0, sizeof (Configuration.Bars));
  Configuration.Bars[0] = { SIM_BAR_KIND::MEM64, 0x4FE000000ull };
  Configuration.Bars[2] = { SIM_BAR_KIND::IO, 0xE000 };
  Configuration.Bars[3] = { SIM_BAR_KIND::MEM32, 0xC0100000 };
  // The root bridge translates memory addresses: the descriptors give host
  // addresses (bus less the offset) and the offset; I/O is not translated.
  Configuration.MemoryTranslation = 0x80000000;
  SIM_CONTROLLER       *Sim   = Create (Configuration);
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);

  struct {
    UINT8         Index;
    EFI_STATUS    Status;
    UINT8         ResType;
    UINT8         Granularity;
    UINT64        Base;
    UINT64        Translation;
    UINT64        Length;
  } CONST  Cases[] = {
    { 0, EFI_SUCCESS,     ACPI_ADDRESS_SPACE_TYPE_MEM, 64, 0x47E000000ull, 0x80000000, 0x1000 },
    { 1, EFI_SUCCESS,     ACPI_ADDRESS_SPACE_TYPE_IO,  0,  0xE000,         0,          SIM_DEFAULT_WINDOW_SIZE },
    { 2, EFI_SUCCESS,     ACPI_ADDRESS_SPACE_TYPE_MEM, 32, 0x40100000,     0x80000000, 0x1000 },
    { 3, EFI_UNSUPPORTED, 0, 0, 0, 0, 0 },
    { 4, EFI_UNSUPPORTED, 0, 0, 0, 0, 0 },
    { 5, EFI_UNSUPPORTED, 0, 0, 0, 0, 0 },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (static_cast<int> (Case.Index));
    VOID  *Resources = nullptr;

    ASSERT_EQ (PciIo->GetBarAttributes (PciIo, Case.Index, nullptr, &Resources), Case.Status);
    if (Case.Status != EFI_SUCCESS) {
      EXPECT_EQ (Resources, nullptr);
      continue;
    }

    auto  *Descriptor = static_cast<EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR *> (Resources);
    auto  *End        = reinterpret_cast<EFI_ACPI_END_TAG_DESCRIPTOR *> (Descriptor + 1);

    // The records are packed: compare copies, not references into them.
    EXPECT_EQ (UINT8 (Descriptor->Desc), ACPI_ADDRESS_SPACE_DESCRIPTOR);
    EXPECT_EQ (UINT16 (Descriptor->Len), sizeof (EFI_ACPI_ADDRESS_SPACE_DESCRIPTOR) - 3);
    EXPECT_EQ (UINT8 (Descriptor->ResType), Case.ResType);
    EXPECT_EQ (UINT64 (Descriptor->AddrSpaceGranularity), Case.Granularity);
    EXPECT_EQ (UINT64 (Descriptor->AddrRangeMin), Case.Base);
    EXPECT_EQ (UINT64 (Descriptor->AddrTranslationOffset), Case.Translation);
    EXPECT_EQ (UINT64 (Descriptor->AddrLen), Case.Length);
    EXPECT_EQ (UINT8 (End->Desc), ACPI_END_TAG_DESCRIPTOR);
    std::free (Resources);
  }

  // BAR-relative, the window is BAR 1; slot number 2 is the 32-bit BAR.
  EFI_STATUS  Status;

  EXPECT_EQ (Read (Sim, 1, 0xB0, &Status), 0xB0000000u);
  EXPECT_EQ (Status, EFI_SUCCESS);
  Read (Sim, 2, 0xB0, &Status);
  EXPECT_EQ (Status, EFI_UNSUPPORTED);
  EXPECT_EQ (SimGetCounters (Sim)->StrayAccesses, 1u);

  UINT64  Supports = 1;

  EXPECT_EQ (PciIo->GetBarAttributes (PciIo, 1, &Supports, nullptr), EFI_SUCCESS);
  EXPECT_EQ (Supports, 0u);
  EXPECT_EQ (PciIo->GetBarAttributes (PciIo, 1, nullptr, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ (SimGetCounters (Sim)->BarAttributeCalls, 7u);
  EXPECT_EQ (SimAccessCount (Sim), 2u) << "the two reads; GetBarAttributes is counted, not journaled";

  //
  // Firmware that does not implement the member, and an environment without
  // memory for the caller.
  //
  Configuration.BarAttributesUnsupported = TRUE;
  SIM_CONTROLLER  *Silent   = Create (Configuration);
  VOID            *Resources = nullptr;

  for (UINT8 Index = 0; Index < 6; Index++) {
    EXPECT_EQ (SimGetPciIo (Silent)->GetBarAttributes (SimGetPciIo (Silent), Index, nullptr, &Resources), EFI_UNSUPPORTED);
  }

  SIM_ENV  NoCallerMemory = mTestEnv;

  NoCallerMemory.AllocateForCaller = nullptr;
  Configuration.BarAttributesUnsupported = FALSE;
  SIM_CONTROLLER  *Bare = SimCreate (&NoCallerMemory, &Configuration);

  ASSERT_NE (Bare, nullptr);
  EXPECT_EQ (SimGetPciIo (Bare)->GetBarAttributes (SimGetPciIo (Bare), 1, nullptr, &Resources), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ (Resources, nullptr);
  SimDestroy (Bare);
}

TEST_F (SIM_CONTROLLER_TEST, GetLocationAnswersTheConfiguredPlace) {
  SIM_CONFIG  Configuration;

  SimConfigInit (&Configuration, MAKER_DEVICE_ID_MODEL_2, 4);
  SIM_CONTROLLER  *Default = Create (Configuration);

  Configuration.Location = { 2, 0x81, 31, 7 };
  SIM_CONTROLLER  *Placed = Create (Configuration);

  struct {
    SIM_CONTROLLER    *Sim;
    UINTN             Expected[4];
  } CONST  Cases[] = {
    { Default, { 0, 7, 0, 0 } },       // bus 3 + index 4
    { Placed,  { 2, 0x81, 31, 7 } },
  };

  for (const auto &Case : Cases) {
    EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Case.Sim);
    UINTN                Got[4] = { 9, 9, 9, 9 };

    ASSERT_EQ (PciIo->GetLocation (PciIo, &Got[0], &Got[1], &Got[2], &Got[3]), EFI_SUCCESS);
    EXPECT_EQ (0, std::memcmp (Got, Case.Expected, sizeof (Got)));
  }

  EXPECT_EQ (SimGetCounters (Placed)->LocationCalls, 1u);
  Configuration.Location.Device = 32;
  EXPECT_NE (SimCheckConfig (&Configuration), nullptr);
}

TEST_F (SIM_CONTROLLER_TEST, AccessesOfOtherShapesAreRefusedAndTouchNothing) {
  SIM_CONFIG  Configuration = Config ();

  Configuration.StatusStepCount = 2;
  Configuration.StatusSteps[0]  = { 0x10000000u, 1, -1 };
  Configuration.StatusSteps[1]  = { 0xB0000000u, 0, -1 };
  SIM_CONTROLLER       *Sim   = Create (Configuration);
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);
  UINT64               Wide   = 0;
  UINT32               Narrow = 0;

  EXPECT_EQ (PciIo->Io.Read (PciIo, EfiPciIoWidthUint8, 2, 0xB0, 1, &Narrow), EFI_INVALID_PARAMETER);
  EXPECT_EQ (PciIo->Io.Read (PciIo, EfiPciIoWidthUint64, 2, 0xB0, 1, &Wide), EFI_INVALID_PARAMETER);
  EXPECT_EQ (PciIo->Io.Read (PciIo, EfiPciIoWidthUint32, 2, 0xB0, 2, &Wide), EFI_INVALID_PARAMETER);
  EXPECT_EQ (PciIo->Io.Read (PciIo, EfiPciIoWidthFifoUint32, 2, 0xB0, 1, &Narrow), EFI_INVALID_PARAMETER);
  EXPECT_EQ (PciIo->Io.Write (PciIo, EfiPciIoWidthUint32, 2, 0xB0, 1, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ (SimGetCounters (Sim)->RejectedAccesses, 5u);
  EXPECT_EQ (SimGetCounters (Sim)->StatusReads, 0u);
  EXPECT_TRUE (SimGetAccess (Sim, 0)->Rejected);
  EXPECT_EQ (ReadRegister (Sim, 0xB0), 0x10000000u) << "the script must not have moved";
}

TEST_F (SIM_CONTROLLER_TEST, UnservedProtocolMembersAnswerUnsupportedAndAreJournaled) {
  SIM_CONTROLLER       *Sim   = Create (Config ());
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);
  UINT64               Result;
  UINT32               Value  = 0;

  EXPECT_EQ (PciIo->PollMem (PciIo, EfiPciIoWidthUint32, 0, 0, 0, 0, 0, &Result), EFI_UNSUPPORTED);
  EXPECT_EQ (PciIo->Pci.Write (PciIo, EfiPciIoWidthUint32, 4, 1, &Value), EFI_UNSUPPORTED);
  EXPECT_EQ (PciIo->Flush (PciIo), EFI_UNSUPPORTED);
  EXPECT_EQ (SimGetCounters (Sim)->OtherCalls, 3u);
  EXPECT_EQ (SimGetAccess (Sim, 0)->Kind, SIM_ACCESS_KIND::OTHER);
  EXPECT_EQ (SimGetAccess (Sim, 1)->Kind, SIM_ACCESS_KIND::PCI_WRITE);
  EXPECT_EQ (SimFromPciIo (PciIo), Sim);

  EFI_PCI_IO_PROTOCOL  Foreign;

  std::memset (&Foreign, 0, sizeof (Foreign));
  EXPECT_EQ (SimFromPciIo (&Foreign), nullptr);
}

//
// ---------------------------------------------------------------------------
// Status script, doorbell, handshake
// ---------------------------------------------------------------------------
//

TEST_F (SIM_CONTROLLER_TEST, StatusScriptCountsReadsJumpsOnDoorbellAndKeepsItsLastStep) {
  SIM_CONFIG  Configuration = Config ();

  Configuration.StatusStepCount = 4;
  Configuration.StatusSteps[0]  = { 0x00000001u, 2, -1 };
  Configuration.StatusSteps[1]  = { 0x60000000u, 0, 3 };    // stays until the doorbell
  Configuration.StatusSteps[2]  = { 0xF0000000u, 0, -1 };   // skipped by the doorbell
  Configuration.StatusSteps[3]  = { 0xB0000000u, 1, -1 };
  SIM_CONTROLLER  *Sim = Create (Configuration);

  EXPECT_EQ (ReadRegister (Sim, 0xB0), 0x00000001u);
  EXPECT_EQ (ReadRegister (Sim, 0xB0), 0x00000001u);
  EXPECT_EQ (ReadRegister (Sim, 0xB0), 0x60000000u);
  EXPECT_EQ (ReadRegister (Sim, 0xB0), 0x60000000u);
  WriteRegister (Sim, 0x20, 2);      // not a ring
  EXPECT_EQ (ReadRegister (Sim, 0xB0), 0x60000000u);
  Write (Sim, 0xFF, WindowBase (Sim) + 0x20, 1);
  EXPECT_EQ (SimStatusStep (Sim), 3u);
  for (int Poll = 0; Poll < 3; Poll++) {
    EXPECT_EQ (ReadRegister (Sim, 0xB0), 0xB0000000u);
  }

  EXPECT_EQ (SimGetCounters (Sim)->DoorbellRings, 1u);
}

TEST_F (SIM_CONTROLLER_TEST, HandshakeClearsAfterTheConfiguredWrites) {
  struct CASE {
    UINT32    Writes;
    UINT32    ReadsZeroAfter;    // writes after which 0 is read; ~0u: never
  };
  const CASE  Cases[] = {
    { 0,                   0    },
    { 1,                   1    },
    { 3,                   3    },
    { SIM_HANDSHAKE_NEVER, ~0u  },
  };

  for (const CASE &Case : Cases) {
    SIM_CONFIG  Configuration = Config (MAKER_DEVICE_ID_MODEL_8);

    Configuration.HandshakeWrites = Case.Writes;
    SIM_CONTROLLER  *Sim = Create (Configuration);

    for (UINT32 Written = 1; Written <= 5; Written++) {
      WriteRegister (Sim, HANDSHAKE_REGISTER.FixedOffset, HANDSHAKE_PATTERN);
      UINT32  Expected = (Written >= Case.ReadsZeroAfter) ? 0 : HANDSHAKE_PATTERN;

      EXPECT_EQ (ReadRegister (Sim, HANDSHAKE_REGISTER.FixedOffset), Expected) << "setting " << Case.Writes << ", write " << Written;
    }

    EXPECT_EQ (SimGetCounters (Sim)->HandshakeWrites, 5u);
  }
}

//
// ---------------------------------------------------------------------------
// Frame decoding and checks
// ---------------------------------------------------------------------------
//

TEST_F (SIM_CONTROLLER_TEST, FrameAddressNeedsTheRowsTagAndAlignment) {
  struct CASE {
    UINT16    DeviceId;
    UINT64    Tag;          // ORed into the frame address
    UINT64    Shift;        // added to the frame address
    bool      Accepted;
  };
  const CASE  Cases[] = {
    { MAKER_DEVICE_ID_MODEL_1, 1, 0,    true  },
    { MAKER_DEVICE_ID_MODEL_1, 0, 0,    false },   // tag missing
    { MAKER_DEVICE_ID_MODEL_1, 2, 0,    false },   // another row's tag
    { MAKER_DEVICE_ID_MODEL_1, 3, 0,    false },   // tag plus an extra bit
    { MAKER_DEVICE_ID_MODEL_8, 2, 0,    true  },
    { MAKER_DEVICE_ID_MODEL_8, 1, 0,    false },
    { MAKER_DEVICE_ID_MODEL_8, 2, 0x40, false },   // not 256-byte aligned
  };

  for (const CASE &Case : Cases) {
    SIM_CONTROLLER  *Sim = Create (Config (Case.DeviceId));
    HOST_FRAME      Frame;

    FillFrame (Frame.Frame (), OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0);
    PostEncoded (Sim, (Frame.Address () + Case.Shift) | Case.Tag);
    ASSERT_EQ (SimFrameCount (Sim), 1u);
    const SIM_FRAME_RECORD  *Record = SimGetFrame (Sim, 0);

    EXPECT_TRUE (Record->HighWritten);
    if (Case.Accepted) {
      EXPECT_EQ (Record->Check, SIM_FRAME_CHECK::OK);
      EXPECT_EQ (Record->Address, Frame.Address ());
      EXPECT_EQ (Frame.Status (), SIM_STATUS_SUCCESS);
    } else {
      EXPECT_EQ (Record->Check, SIM_FRAME_CHECK::BAD_ADDRESS) << "tag " << Case.Tag << " shift " << Case.Shift;
      EXPECT_EQ (Frame.Status (), FRAME_STATUS_PENDING);
      EXPECT_FALSE (Record->Answered);
    }
  }
}

TEST_F (SIM_CONTROLLER_TEST, LowWriteWithoutFreshHighWriteIsMarked) {
  SIM_CONTROLLER  *Sim = Create (Config ());
  HOST_FRAME      Frame;
  UINT64          Encoded;

  FillFrame (Frame.Frame (), OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0);
  Encoded = Frame.Address () | 1;
  PostEncoded (Sim, Encoded);
  Frame.Frame ()->Status = FRAME_STATUS_PENDING;
  WriteRegister (Sim, 0xC0, static_cast<UINT32> (Encoded));     // low half again, high half kept
  ASSERT_EQ (SimFrameCount (Sim), 2u);
  EXPECT_TRUE (SimGetFrame (Sim, 0)->HighWritten);
  EXPECT_FALSE (SimGetFrame (Sim, 1)->HighWritten);
  EXPECT_EQ (SimGetFrame (Sim, 1)->Address, Frame.Address ());
}

TEST_F (SIM_CONTROLLER_TEST, MalformedFramesAreAnsweredWithBadFrame) {
  struct CASE {
    const char                             *What;
    std::function<void (COMMAND_FRAME *)>  Spoil;
    SIM_FRAME_CHECK                        Expected;
  };
  UINT8       Buffer[BBU_RESPONSE_SIZE];
  const CASE  Cases[] = {
    { "command 4",          [] (COMMAND_FRAME *F) { F->Command = 4; },                   SIM_FRAME_CHECK::BAD_COMMAND     },
    { "status not preset",  [] (COMMAND_FRAME *F) { F->Status = 0; },                    SIM_FRAME_CHECK::BAD_STATUS      },
    { "byte 1",             [] (COMMAND_FRAME *F) { F->Reserved1 = 1; },                 SIM_FRAME_CHECK::BAD_RESERVED    },
    { "byte 6",             [] (COMMAND_FRAME *F) { F->Reserved3[3] = 1; },              SIM_FRAME_CHECK::BAD_RESERVED    },
    { "bytes 12-15",        [] (COMMAND_FRAME *F) { F->Reserved12 = 1; },                SIM_FRAME_CHECK::BAD_RESERVED    },
    { "timeout",            [] (COMMAND_FRAME *F) { F->Timeout = 1; },                   SIM_FRAME_CHECK::BAD_RESERVED    },
    { "flag bit 0 clear",   [] (COMMAND_FRAME *F) { F->Flags &= ~1; },                   SIM_FRAME_CHECK::BAD_FLAGS       },
    { "direction 3",        [] (COMMAND_FRAME *F) { F->Flags = FrameFlags (3); },         SIM_FRAME_CHECK::BAD_FLAGS       },
    { "flag bit 2",         [] (COMMAND_FRAME *F) { F->Flags |= 0x4; },                  SIM_FRAME_CHECK::BAD_FLAGS       },
    { "3 entries",          [] (COMMAND_FRAME *F) { F->SgeCount = 3; },                  SIM_FRAME_CHECK::BAD_SGE_COUNT   },
    { "entry 1 not empty",  [] (COMMAND_FRAME *F) { F->Sge[1].Length = 4; },             SIM_FRAME_CHECK::BAD_UNUSED_SGE  },
    { "0 entries, entry 0", [] (COMMAND_FRAME *F) { F->SgeCount = 0; },                  SIM_FRAME_CHECK::BAD_UNUSED_SGE  },
    { "null buffer",        [] (COMMAND_FRAME *F) { F->Sge[0].AddressLow = 0; F->Sge[0].AddressHigh = 0; F->Context = 0; }, SIM_FRAME_CHECK::BAD_SGE_ADDRESS },
    { "context",            [] (COMMAND_FRAME *F) { F->Context ^= 0x100; },              SIM_FRAME_CHECK::BAD_CONTEXT     },
    { "length",             [] (COMMAND_FRAME *F) { F->DataTransferLength += 1; },       SIM_FRAME_CHECK::BAD_LENGTH      },
  };
  SIM_CONTROLLER  *Sim = Create (Config ());

  for (const CASE &Case : Cases) {
    HOST_FRAME  Frame;

    std::memset (Buffer, 0xCC, sizeof (Buffer));
    FillFrame (Frame.Frame (), OP_BBU_STATUS, DIRECTION_FROM_CONTROLLER, 0, Buffer, sizeof (Buffer));
    Case.Spoil (Frame.Frame ());
    Post (Sim, Frame);
    EXPECT_EQ (LastFrame (Sim)->Check, Case.Expected) << Case.What;
    EXPECT_EQ (Frame.Status (), SIM_STATUS_BAD_FRAME) << Case.What;
    EXPECT_EQ (Buffer[0], 0xCC) << Case.What << ": a malformed frame must move no data";
  }

  EXPECT_EQ (SimOpcodeCount (Sim, OP_BBU_STATUS), 0u) << "malformed frames do not count as occurrences";
}

TEST_F (SIM_CONTROLLER_TEST, RequestsOutsideTheCommandSetsRulesAreRefused) {
  struct CASE {
    const char    *What;
    UINT32        Opcode;
    UINT16        Direction;
    UINT32        Mailbox0;
    UINT32        Length;
    UINT8         Expected;
  };
  const CASE  Cases[] = {
    { "unknown opcode",           0x01020000u,          DIRECTION_NONE,            0, 0,    SIM_STATUS_UNKNOWN_OPCODE },
    { "info, wrong direction",    OP_CTRL_INFO,         DIRECTION_TO_CONTROLLER,   0, 2048, SIM_STATUS_BAD_REQUEST    },
    { "info, short buffer",       OP_CTRL_INFO,         DIRECTION_FROM_CONTROLLER, 0, 2047, SIM_STATUS_BAD_REQUEST    },
    { "info, mailbox 0 set",      OP_CTRL_INFO,         DIRECTION_FROM_CONTROLLER, 1, 2048, SIM_STATUS_BAD_REQUEST    },
    { "list, long buffer",        OP_LD_LIST,           DIRECTION_FROM_CONTROLLER, 0, sizeof (LD_LIST) + 1, SIM_STATUS_BAD_REQUEST    },
    { "set with direction 1",     OP_LD_SET_PROPERTIES, DIRECTION_TO_CONTROLLER,   0, 32,   SIM_STATUS_BAD_REQUEST    },
    { "open with a buffer",       OP_FLASH_OPEN,        DIRECTION_NONE,            0, 4,    SIM_STATUS_BAD_REQUEST    },
    { "download, direction 2",    OP_FLASH_DOWNLOAD,    DIRECTION_FROM_CONTROLLER, 0, 16,   SIM_STATUS_BAD_REQUEST    },
    { "download, empty piece",    OP_FLASH_DOWNLOAD,    DIRECTION_TO_CONTROLLER,   0, 0,    SIM_STATUS_BAD_REQUEST    },
    { "download, piece too long", OP_FLASH_DOWNLOAD,    DIRECTION_TO_CONTROLLER,   0, 0x8001, SIM_STATUS_BAD_REQUEST  },
    { "commit, mailbox 0 set",    OP_FLASH_COMMIT,      DIRECTION_NONE,            5, 0,    SIM_STATUS_BAD_REQUEST    },
  };
  SIM_CONTROLLER      *Sim = Create (Config ());
  std::vector<UINT8>  Buffer (0x8001, 0xCC);

  for (const CASE &Case : Cases) {
    EXPECT_EQ (Issue (Sim, Case.Opcode, Case.Direction, Case.Mailbox0, (Case.Length > 0) ? Buffer.data () : nullptr, Case.Length), Case.Expected)
      << Case.What;
  }

  HOST_FRAME  Frame;

  FillFrame (Frame.Frame (), OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0);
  Frame.Frame ()->Mailbox[2] = 1;
  Post (Sim, Frame);
  EXPECT_EQ (Frame.Status (), SIM_STATUS_BAD_REQUEST) << "mailbox words 1 and 2 must be 0";
  EXPECT_EQ (Buffer[0], 0xCC);
}

//
// ---------------------------------------------------------------------------
// Command set
// ---------------------------------------------------------------------------
//

TEST_F (SIM_CONTROLLER_TEST, ControllerInformationPlacesTheProductName) {
  SIM_CONFIG  Configuration = Config ();

  std::strcpy (Configuration.ProductName, "RAID 9000-8i");
  SIM_CONTROLLER  *Sim = Create (Configuration);
  GUARDED_BUFFER  Response (CTRL_INFO_RESPONSE_SIZE);

  ASSERT_EQ (Issue (Sim, OP_CTRL_INFO, DIRECTION_FROM_CONTROLLER, 0, Response.Data (), CTRL_INFO_RESPONSE_SIZE), 0);
  EXPECT_STREQ (reinterpret_cast<char *> (Response.Data () + CTRL_INFO_PRODUCT_NAME), "RAID 9000-8i");
  EXPECT_EQ (Response.Data ()[CTRL_INFO_PRODUCT_NAME - 1], 0);
  EXPECT_EQ (Response.Data ()[CTRL_INFO_RESPONSE_SIZE - 1], 0);
  EXPECT_TRUE (Response.GuardIntact ());
}

TEST_F (SIM_CONTROLLER_TEST, UnterminatedProductNameFillsTheRecordToItsEnd) {
  SIM_CONFIG  Configuration = Config ();

  std::strcpy (Configuration.ProductName, "ABC");
  Configuration.ProductNameUnterminated = TRUE;
  SIM_CONTROLLER  *Sim = Create (Configuration);
  GUARDED_BUFFER  Response (CTRL_INFO_RESPONSE_SIZE);

  ASSERT_EQ (Issue (Sim, OP_CTRL_INFO, DIRECTION_FROM_CONTROLLER, 0, Response.Data (), CTRL_INFO_RESPONSE_SIZE), 0);
  for (UINTN Index = CTRL_INFO_PRODUCT_NAME; Index < CTRL_INFO_RESPONSE_SIZE; Index++) {
    ASSERT_NE (Response.Data ()[Index], 0) << "byte " << Index;
  }

  EXPECT_EQ (Response.Data ()[CTRL_INFO_RESPONSE_SIZE - 1], 'B');    // byte 703 of the name: 703 % 3 = 1
  EXPECT_TRUE (Response.GuardIntact ());
}

TEST_F (SIM_CONTROLLER_TEST, BatteryResponsesCarryTypeVariantAndName) {
  SIM_CONFIG  Configuration = Config ();

  Configuration.BbuType        = 5;
  Configuration.BbuTypeVariant = 1;
  std::memset (Configuration.BbuName, 'N', sizeof (BBU_INFO_RESPONSE::Name));    // 38 characters: no NUL
  SIM_CONTROLLER  *Sim = Create (Configuration);
  GUARDED_BUFFER  Status (BBU_RESPONSE_SIZE);
  GUARDED_BUFFER  Info (BBU_RESPONSE_SIZE);
  GUARDED_BUFFER  Other (BBU_RESPONSE_SIZE);

  ASSERT_EQ (Issue (Sim, OP_BBU_STATUS, DIRECTION_FROM_CONTROLLER, 0, Status.Data (), BBU_RESPONSE_SIZE), 0);
  ASSERT_EQ (Issue (Sim, OP_BBU_INFO, DIRECTION_FROM_CONTROLLER, 0, Info.Data (), BBU_RESPONSE_SIZE), 0);
  ASSERT_EQ (Issue (Sim, OP_BBU_0507, DIRECTION_FROM_CONTROLLER, 0, Other.Data (), BBU_RESPONSE_SIZE), 0);
  EXPECT_EQ (Status.Data ()[0], 5);
  EXPECT_EQ (Status.Data ()[1], 1);
  EXPECT_EQ (Status.Data ()[2], 0);
  EXPECT_EQ (Info.Data ()[BBU_INFO_NAME_OFFSET - 1], 0);
  EXPECT_EQ (std::string (reinterpret_cast<char *> (Info.Data () + OFFSET_OF (BBU_INFO_RESPONSE, Name)), sizeof (BBU_INFO_RESPONSE::Name)), std::string (38, 'N'));
  EXPECT_NE (Other.Data ()[0], 0xCC);
  EXPECT_TRUE (Status.GuardIntact () && Info.GuardIntact () && Other.GuardIntact ());
}

TEST_F (SIM_CONTROLLER_TEST, DriveListAnswersDrivesInConfiguredOrder) {
  SIM_CONFIG  Configuration = Config ();
  UINT32      Refs[]        = { 0x00000005u, 0x00010002u, 0x00000049u };

  for (UINT32 Ref : Refs) {
    Configuration.Drives[Configuration.DriveCount++] = { Ref, Ref, 0x01, 0, 0 };
  }

  SIM_CONTROLLER  *Sim = Create (Configuration);
  GUARDED_BUFFER  List (sizeof (LD_LIST));

  ASSERT_EQ (Issue (Sim, OP_LD_LIST, DIRECTION_FROM_CONTROLLER, 0, List.Data (), sizeof (LD_LIST)), 0);
  EXPECT_EQ (Get32 (List.Data ()), 3u);
  for (UINTN Index = 0; Index < 3; Index++) {
    EXPECT_EQ (Get32 (List.Data () + 8 + 16 * Index), Refs[Index]);
  }

  EXPECT_EQ (Get32 (List.Data () + 8 + 16 * 3), 0u);
  EXPECT_TRUE (List.GuardIntact ());

  //
  // A count beyond the entries, to exercise the host's guards.
  //
  Configuration.OverrideListCount = TRUE;
  Configuration.ListCount         = 300;
  SIM_CONTROLLER  *Lying = Create (Configuration);

  ASSERT_EQ (Issue (Lying, OP_LD_LIST, DIRECTION_FROM_CONTROLLER, 0, List.Data (), sizeof (LD_LIST)), 0);
  EXPECT_EQ (Get32 (List.Data ()), 300u);
  EXPECT_TRUE (List.GuardIntact ());
}

TEST_F (SIM_CONTROLLER_TEST, PropertiesAreReadByTargetIdAndWrittenByWholeRef) {
  SIM_CONFIG  Configuration = Config ();

  Configuration.Drives[0]  = { 0x00010005u, 0x00000005u, 0x11, 0, 0 };
  Configuration.DriveCount = 1;
  SIM_CONTROLLER  *Sim = Create (Configuration);
  GUARDED_BUFFER  Record (sizeof (LD_PROPERTIES));

  ASSERT_EQ (Issue (Sim, OP_LD_GET_PROPERTIES, DIRECTION_FROM_CONTROLLER, 5, Record.Data (), 32), 0);
  EXPECT_EQ (Get32 (Record.Data ()), 0x00000005u) << "the Ref the controller returns";
  EXPECT_EQ (Record.Data ()[OFFSET_OF (LD_PROPERTIES, CachePolicy)], 0x11);
  EXPECT_TRUE (Record.GuardIntact ());
  EXPECT_EQ (Issue (Sim, OP_LD_GET_PROPERTIES, DIRECTION_FROM_CONTROLLER, 0x00010005u, Record.Data (), 32), SIM_STATUS_NO_DRIVE)
    << "get takes the target id alone";

  //
  // Set: the whole Ref finds the drive; the record's bytes become its
  // properties.
  //
  UINT8  Sent[sizeof (LD_PROPERTIES)];

  std::memcpy (Sent, Record.Data (), sizeof (Sent));
  Put32 (Sent, 0x00010005u);
  Sent[OFFSET_OF (LD_PROPERTIES, CachePolicy)] = 0x00;
  EXPECT_EQ (Issue (Sim, OP_LD_SET_PROPERTIES, DIRECTION_FROM_CONTROLLER, 5, Sent, 32), SIM_STATUS_NO_DRIVE)
    << "set takes the whole Ref";
  ASSERT_EQ (Issue (Sim, OP_LD_SET_PROPERTIES, DIRECTION_FROM_CONTROLLER, 0x00010005u, Sent, 32), 0);
  EXPECT_EQ (SimDriveCachePolicy (SimFindDrive (Sim, 5)), 0x00);
  EXPECT_EQ (std::memcmp (SimGetDrive (Sim, 0)->Properties, Sent, 32), 0);

  ASSERT_EQ (SimSetRecordCount (Sim), 2u);
  EXPECT_EQ (SimGetSetRecord (Sim, 0)->Status, SIM_STATUS_NO_DRIVE);
  EXPECT_EQ (SimGetSetRecord (Sim, 1)->Mailbox0, 0x00010005u);
  EXPECT_EQ (SimGetSetRecord (Sim, 1)->Status, 0);
  EXPECT_EQ (std::memcmp (SimGetSetRecord (Sim, 1)->Data, Sent, 32), 0);
}

TEST_F (SIM_CONTROLLER_TEST, PerDriveFailuresLeaveTheDriveUnchanged) {
  SIM_CONFIG  Configuration = Config ();

  Configuration.Drives[0]  = { 1, 1, 0x01, 0x0C, 0 };
  Configuration.Drives[1]  = { 2, 2, 0x01, 0, 0x2D };
  Configuration.DriveCount = 2;
  SIM_CONTROLLER  *Sim = Create (Configuration);
  GUARDED_BUFFER  Record (sizeof (LD_PROPERTIES));
  UINT8           Sent[sizeof (LD_PROPERTIES)] = { 2 };

  EXPECT_EQ (Issue (Sim, OP_LD_GET_PROPERTIES, DIRECTION_FROM_CONTROLLER, 1, Record.Data (), 32), 0x0C);
  EXPECT_EQ (Record.Data ()[0], 0xCC) << "a failed get moves no data";
  EXPECT_EQ (Issue (Sim, OP_LD_GET_PROPERTIES, DIRECTION_FROM_CONTROLLER, 2, Record.Data (), 32), 0);
  EXPECT_EQ (Issue (Sim, OP_LD_SET_PROPERTIES, DIRECTION_FROM_CONTROLLER, 2, Sent, 32), 0x2D);
  EXPECT_EQ (SimDriveCachePolicy (SimFindDrive (Sim, 2)), 0x01);
  EXPECT_EQ (SimGetSetRecord (Sim, 0)->Status, 0x2D);
}

//
// ---------------------------------------------------------------------------
// Flash
// ---------------------------------------------------------------------------
//

TEST_F (SIM_CONTROLLER_TEST, ComponentDownloadedInOrderIsCommittedByteForByte) {
  SIM_CONTROLLER      *Sim = Create (Config ());
  std::vector<UINT8>  Image (70000);

  for (size_t Index = 0; Index < Image.size (); Index++) {
    Image[Index] = static_cast<UINT8> (Index * 7 + 3);
  }

  ASSERT_EQ (Issue (Sim, OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0), 0);
  ASSERT_EQ (Issue (Sim, OP_FLASH_OPEN, DIRECTION_NONE, 70000, nullptr, 0), 0);
  for (UINT32 Offset = 0; Offset < 70000; Offset += 0x8000) {
    UINT32  Piece = (70000 - Offset < 0x8000) ? 70000 - Offset : 0x8000;

    ASSERT_EQ (Issue (Sim, OP_FLASH_DOWNLOAD, DIRECTION_TO_CONTROLLER, Offset, &Image[Offset], Piece), 0);
  }

  ASSERT_EQ (Issue (Sim, OP_FLASH_COMMIT, DIRECTION_NONE, 0, nullptr, 0), 0);
  ASSERT_EQ (SimCommitCount (Sim), 1u);
  const SIM_COMMIT  *Commit = SimGetCommit (Sim, 0);

  EXPECT_EQ (Commit->Size, 70000u);
  EXPECT_EQ (std::memcmp (Commit->Data, Image.data (), Image.size ()), 0);
  EXPECT_EQ (Commit->Crc32, SimCrc32 (Image.data (), Image.size ()));
  EXPECT_FALSE (SimFlashState (Sim, nullptr, nullptr));

  //
  // Each piece's host address is in the journal: straight from the image.
  //
  EXPECT_EQ (SimGetFrame (Sim, 2)->SgeAddress[0], reinterpret_cast<UINTN> (&Image[0]));
  EXPECT_EQ (SimGetFrame (Sim, 4)->SgeAddress[0], reinterpret_cast<UINTN> (&Image[65536]));
  EXPECT_EQ (SimGetFrame (Sim, 4)->SgeLength[0], 70000u - 65536u);
}

TEST_F (SIM_CONTROLLER_TEST, FlashSequenceErrorsAreRefused) {
  struct STEP {
    UINT32    Opcode;
    UINT32    Mailbox0;
    UINT32    Length;
    UINT8     Expected;
  };
  struct CASE {
    const char           *What;
    std::vector<STEP>    Steps;
  };
  const UINT8  S = SIM_STATUS_FLASH_SEQUENCE;
  const CASE   Cases[] = {
    { "download before open",  { { OP_FLASH_DOWNLOAD, 0, 16, S } } },
    { "commit before open",    { { OP_FLASH_COMMIT, 0, 0, S } } },
    { "open while open",       { { OP_FLASH_OPEN, 64, 0, 0 }, { OP_FLASH_OPEN, 64, 0, S } } },
    { "close ends the open",   { { OP_FLASH_OPEN, 64, 0, 0 }, { OP_FLASH_CLOSE, 0, 0, 0 }, { OP_FLASH_DOWNLOAD, 0, 16, S }, { OP_FLASH_OPEN, 64, 0, 0 } } },
    { "piece out of order",    { { OP_FLASH_OPEN, 64, 0, 0 }, { OP_FLASH_DOWNLOAD, 16, 16, S }, { OP_FLASH_DOWNLOAD, 0, 16, 0 } } },
    { "piece repeated",        { { OP_FLASH_OPEN, 64, 0, 0 }, { OP_FLASH_DOWNLOAD, 0, 16, 0 }, { OP_FLASH_DOWNLOAD, 0, 16, S } } },
    { "overrun",               { { OP_FLASH_OPEN, 20, 0, 0 }, { OP_FLASH_DOWNLOAD, 0, 16, 0 }, { OP_FLASH_DOWNLOAD, 16, 16, S } } },
    { "short commit",          { { OP_FLASH_OPEN, 64, 0, 0 }, { OP_FLASH_DOWNLOAD, 0, 16, 0 }, { OP_FLASH_COMMIT, 0, 0, S } } },
    { "empty component",       { { OP_FLASH_OPEN, 0, 0, 0 }, { OP_FLASH_COMMIT, 0, 0, 0 } } },
    { "component too large",   { { OP_FLASH_OPEN, SIM_MAX_COMPONENT_SIZE + 1, 0, SIM_STATUS_NO_RESOURCES } } },
  };
  UINT8  Data[64] = { 0 };

  for (const CASE &Case : Cases) {
    SIM_CONTROLLER  *Sim  = Create (Config ());
    size_t          Index = 0;

    for (const STEP &Step : Case.Steps) {
      UINT16  Direction = (Step.Opcode == OP_FLASH_DOWNLOAD) ? DIRECTION_TO_CONTROLLER : DIRECTION_NONE;

      EXPECT_EQ (Issue (Sim, Step.Opcode, Direction, Step.Mailbox0, (Step.Length > 0) ? Data : nullptr, Step.Length), Step.Expected)
        << Case.What << ", step " << Index;
      Index++;
    }
  }
}

//
// ---------------------------------------------------------------------------
// Faults and time
// ---------------------------------------------------------------------------
//

TEST_F (SIM_CONTROLLER_TEST, FaultOnTheThirdDownloadAnswersItsStatusAndExecutesNothing) {
  SIM_CONFIG  Configuration = Config ();

  Configuration.Faults[0]  = { OP_FLASH_DOWNLOAD, 3, FALSE, TRUE, 7, 0 };
  Configuration.FaultCount = 1;
  SIM_CONTROLLER  *Sim = Create (Configuration);
  UINT8           Data[16] = { 0 };
  UINT32          Received = 0;

  ASSERT_EQ (Issue (Sim, OP_FLASH_OPEN, DIRECTION_NONE, 64, nullptr, 0), 0);
  EXPECT_EQ (Issue (Sim, OP_FLASH_DOWNLOAD, DIRECTION_TO_CONTROLLER, 0, Data, 16), 0);
  EXPECT_EQ (Issue (Sim, OP_FLASH_DOWNLOAD, DIRECTION_TO_CONTROLLER, 16, Data, 16), 0);
  EXPECT_EQ (Issue (Sim, OP_FLASH_DOWNLOAD, DIRECTION_TO_CONTROLLER, 32, Data, 16), 7);
  SimFlashState (Sim, nullptr, &Received);
  EXPECT_EQ (Received, 32u);
  EXPECT_EQ (Issue (Sim, OP_FLASH_DOWNLOAD, DIRECTION_TO_CONTROLLER, 32, Data, 16), 0) << "the fourth is not faulted";
  EXPECT_EQ (LastFrame (Sim)->Occurrence, 4u);
}

TEST_F (SIM_CONTROLLER_TEST, FaultActionsAndDelaysCombine) {
  struct CASE {
    const char    *What;
    SIM_FAULT     Faults[2];
    UINT32        FaultCount;
    UINT8         Immediate;     // status byte right after the post
    UINT64        DueUs;         // when the answer comes (0: at once)
    UINT8         Final;         // status byte after all time has passed
  };
  const CASE  Cases[] = {
    { "no fault",          { }, 0, 0, 0, 0 },
    { "0x59",              { { OP_CTRL_INFO, 0, FALSE, TRUE, 0x59, 0 } }, 1, 0x59, 0, 0x59 },
    { "never answers",     { { OP_CTRL_INFO, 0, TRUE, FALSE, 0, 0 } }, 1, 0xFF, 0, 0xFF },
    { "other occurrence",  { { OP_CTRL_INFO, 2, FALSE, TRUE, 9, 0 } }, 1, 0, 0, 0 },
    { "other opcode",      { { OP_BBU_INFO, 0, FALSE, TRUE, 9, 0 } }, 1, 0, 0, 0 },
    { "delay",             { { OP_CTRL_INFO, 0, FALSE, FALSE, 0, 5000 } }, 1, 0xFF, 5000, 0 },
    { "delayed status",    { { OP_CTRL_INFO, 0, FALSE, FALSE, 0, 5000 }, { OP_CTRL_INFO, 1, FALSE, TRUE, 3, 0 } }, 2, 0xFF, 5000, 3 },
    { "no answer wins",    { { OP_CTRL_INFO, 0, FALSE, TRUE, 3, 100 }, { OP_CTRL_INFO, 1, TRUE, FALSE, 0, 0 } }, 2, 0xFF, 0, 0xFF },
    { "longest delay",     { { OP_CTRL_INFO, 0, FALSE, FALSE, 0, 100 }, { OP_CTRL_INFO, 1, FALSE, FALSE, 0, 900 } }, 2, 0xFF, 900, 0 },
  };

  for (const CASE &Case : Cases) {
    SIM_CONFIG  Configuration = Config ();

    std::strcpy (Configuration.ProductName, "Delayed");
    Configuration.FaultCount = Case.FaultCount;
    for (UINT32 Index = 0; Index < Case.FaultCount; Index++) {
      Configuration.Faults[Index] = Case.Faults[Index];
    }

    mTestNow = 1000;
    SIM_CONTROLLER  *Sim = Create (Configuration);
    HOST_FRAME      Frame;
    GUARDED_BUFFER  Response (CTRL_INFO_RESPONSE_SIZE, 0x00);

    FillFrame (Frame.Frame (), OP_CTRL_INFO, DIRECTION_FROM_CONTROLLER, 0, Response.Data (), CTRL_INFO_RESPONSE_SIZE);
    Post (Sim, Frame);
    EXPECT_EQ (Frame.Status (), Case.Immediate) << Case.What;
    if (Case.DueUs != 0) {
      EXPECT_EQ (SimPendingCount (Sim), 1u) << Case.What;
      EXPECT_EQ (Response.Data ()[CTRL_INFO_PRODUCT_NAME], 0) << Case.What << ": data moves with the answer";
      SimAdvanceTime (Sim, 1000 + Case.DueUs - 1);
      EXPECT_EQ (Frame.Status (), 0xFF) << Case.What << ": not before it is due";
    }

    SimAdvanceTime (Sim, 1000 + Case.DueUs);
    SimAdvanceTime (Sim, 10000000);
    EXPECT_EQ (Frame.Status (), Case.Final) << Case.What;
    EXPECT_EQ (SimPendingCount (Sim), 0u) << Case.What;
    EXPECT_EQ (LastFrame (Sim)->Answered, Case.Final != 0xFF) << Case.What;
    if (Case.Final == 0) {
      EXPECT_STREQ (reinterpret_cast<char *> (Response.Data () + CTRL_INFO_PRODUCT_NAME), "Delayed") << Case.What;
      EXPECT_EQ (LastFrame (Sim)->AnsweredUs, 1000 + Case.DueUs) << Case.What;
    }
  }
}

TEST_F (SIM_CONTROLLER_TEST, DelayedAnswersComeInDueOrder) {
  SIM_CONFIG  Configuration = Config ();

  Configuration.Faults[0]  = { OP_FLASH_CLOSE, 1, FALSE, FALSE, 0, 300 };
  Configuration.Faults[1]  = { OP_FLASH_CLOSE, 2, FALSE, FALSE, 0, 100 };
  Configuration.FaultCount = 2;
  SIM_CONTROLLER  *Sim = Create (Configuration);
  HOST_FRAME      First;
  HOST_FRAME      Second;

  FillFrame (First.Frame (), OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0);
  FillFrame (Second.Frame (), OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0);
  Post (Sim, First);
  Post (Sim, Second);
  SimAdvanceTime (Sim, 150);
  EXPECT_EQ (First.Status (), 0xFF);
  EXPECT_EQ (Second.Status (), 0);
  SimAdvanceTime (Sim, 100);     // time never goes back
  SimAdvanceTime (Sim, 300);
  EXPECT_EQ (First.Status (), 0);
  EXPECT_EQ (SimGetFrame (Sim, 0)->AnsweredUs, 300u);
}

TEST_F (SIM_CONTROLLER_TEST, ReadBacksAfterEachQueuePortWriteAreCounted) {
  SIM_CONTROLLER  *Sim = Create (Config (MAKER_DEVICE_ID_MODEL_8));
  HOST_FRAME      Frame;
  UINT64          Encoded;

  FillFrame (Frame.Frame (), OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0);
  Encoded = Frame.Address () | 2;
  ReadRegister (Sim, 0xB0);                                          // not a read-back
  Write (Sim, 0xFF, WindowBase (Sim) + 0xC4, static_cast<UINT32> (Encoded >> 32));
  ReadRegister (Sim, 0xB0);
  Write (Sim, 0xFF, WindowBase (Sim) + 0xC0, static_cast<UINT32> (Encoded));
  ReadRegister (Sim, 0xB0);
  ReadRegister (Sim, 0xB0);
  ReadRegister (Sim, HANDSHAKE_REGISTER.FixedOffset);                       // ends the read-backs
  ReadRegister (Sim, 0xB0);

  ASSERT_EQ (SimFrameCount (Sim), 1u);
  EXPECT_EQ (SimGetFrame (Sim, 0)->StatusReadsAfterHigh, 1u);
  EXPECT_EQ (SimGetFrame (Sim, 0)->StatusReadsAfterLow, 2u);
  EXPECT_EQ (SimGetCounters (Sim)->FlushReadbacks, 3u);
  EXPECT_EQ (SimGetCounters (Sim)->StatusReads, 5u);
}

//
// ---------------------------------------------------------------------------
// Journal
// ---------------------------------------------------------------------------
//

TEST_F (SIM_CONTROLLER_TEST, FullJournalCountsOverflowAndKeepsWorking) {
  SIM_CONTROLLER  *Sim = Create (Config ());

  for (UINT32 Index = 0; Index < SIM_MAX_ACCESS_RECORDS + 10; Index++) {
    ReadRegister (Sim, 0);
  }

  EXPECT_EQ (SimAccessCount (Sim), static_cast<UINT32> (SIM_MAX_ACCESS_RECORDS));
  EXPECT_EQ (SimGetCounters (Sim)->AccessOverflow, 10u);
  EXPECT_EQ (SimGetAccess (Sim, SIM_MAX_ACCESS_RECORDS), nullptr);

  for (UINT32 Index = 0; Index < SIM_MAX_FRAME_RECORDS; Index++) {
    ASSERT_EQ (Issue (Sim, OP_FLASH_CLOSE, DIRECTION_NONE, 0, nullptr, 0), 0);
  }

  EXPECT_EQ (Issue (Sim, OP_FLASH_OPEN, DIRECTION_NONE, 8, nullptr, 0), 0) << "frames beyond the journal still run";
  EXPECT_TRUE (SimFlashState (Sim, nullptr, nullptr));
  EXPECT_EQ (SimGetCounters (Sim)->FrameOverflow, 1u);

  SimClearJournal (Sim);
  EXPECT_EQ (SimAccessCount (Sim), 0u);
  EXPECT_EQ (SimFrameCount (Sim), 0u);
  EXPECT_EQ (SimGetCounters (Sim)->AccessOverflow, 0u);
  EXPECT_TRUE (SimFlashState (Sim, nullptr, nullptr)) << "the firmware state stays";
}

TEST_F (SIM_CONTROLLER_TEST, JournaledFrameHoldsTheRawBytesAsFetched) {
  SIM_CONTROLLER  *Sim = Create (Config ());
  HOST_FRAME      Frame;
  UINT8           Buffer[BBU_RESPONSE_SIZE];
  UINT8           Posted[sizeof (COMMAND_FRAME)];

  FillFrame (Frame.Frame (), OP_BBU_INFO, DIRECTION_FROM_CONTROLLER, 0, Buffer, sizeof (Buffer));
  std::memcpy (Posted, Frame.Frame (), sizeof (Posted));
  Post (Sim, Frame);
  const SIM_FRAME_RECORD  *Record = LastFrame (Sim);

  EXPECT_EQ (std::memcmp (Record->Raw, Posted, sizeof (Posted)), 0);
  EXPECT_EQ (Record->Opcode, OP_BBU_INFO);
  EXPECT_EQ (Record->Direction, DIRECTION_FROM_CONTROLLER);
  EXPECT_EQ (Record->Flags, FrameFlags (DIRECTION_FROM_CONTROLLER));
  EXPECT_EQ (Record->DataTransferLength, 64u);
  EXPECT_EQ (Record->SgeAddress[0], reinterpret_cast<UINTN> (Buffer));
  EXPECT_EQ (Record->Encoded, Frame.Address () | 1);
  EXPECT_EQ (Record->Status, 0);
}

TEST_F (SIM_CONTROLLER_TEST, ConfigurationCheckNamesWhatIsWrong) {
  struct CASE {
    const char                          *What;
    std::function<void (SIM_CONFIG *)>  Spoil;
  };
  const CASE  Cases[] = {
    { "64-bit BAR 5",          [] (SIM_CONFIG *C) { C->Bars[5] = { SIM_BAR_KIND::MEM64, 0x1000 }; } },
    { "upper half in use",     [] (SIM_CONFIG *C) { C->Bars[3] = { SIM_BAR_KIND::MEM64, 0x1000 }; C->Bars[4] = { SIM_BAR_KIND::IO, 0x100 }; } },
    { "32-bit BAR above 4 GiB", [] (SIM_CONFIG *C) { C->Bars[0] = { SIM_BAR_KIND::MEM32, 0x100000000ull }; } },
    { "misaligned I/O BAR",    [] (SIM_CONFIG *C) { C->Bars[0] = { SIM_BAR_KIND::IO, 0xC002 }; } },
    { "window 0",              [] (SIM_CONFIG *C) { C->WindowSize = 0; } },
    { "window too large",      [] (SIM_CONFIG *C) { C->WindowSize = 0x20000; } },
    { "no status step",        [] (SIM_CONFIG *C) { C->StatusStepCount = 0; } },
    { "doorbell beyond",       [] (SIM_CONFIG *C) { C->StatusSteps[0].DoorbellStep = 1; } },
    { "name without NUL",      [] (SIM_CONFIG *C) { std::memset (C->ProductName, 'x', sizeof (C->ProductName)); } },
    { "empty unterminated",    [] (SIM_CONFIG *C) { C->ProductName[0] = 0; C->ProductNameUnterminated = TRUE; } },
    { "too many drives",       [] (SIM_CONFIG *C) { C->DriveCount = SIM_MAX_DRIVES + 1; } },
    { "too many faults",       [] (SIM_CONFIG *C) { C->FaultCount = SIM_MAX_FAULTS + 1; } },
  };

  for (const CASE &Case : Cases) {
    SIM_CONFIG  Configuration = Config ();

    Case.Spoil (&Configuration);
    EXPECT_NE (SimCheckConfig (&Configuration), nullptr) << Case.What;
    EXPECT_EQ (SimCreate (&mTestEnv, &Configuration), nullptr) << Case.What;
  }

  SIM_CONFIG  Good = Config (MAKER_DEVICE_ID_MODEL_11);

  EXPECT_EQ (SimCheckConfig (&Good), nullptr);
}

} // namespace
