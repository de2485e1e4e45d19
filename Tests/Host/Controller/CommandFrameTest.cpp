/** @file
  Tests of IssueCommand against simulated controllers: the 64 bytes of the
  frame as the controller fetched them, the encoded frame address and the
  order of the queue-port writes for every model, the read-backs of the
  FlushReads models, the requests that are never issued, the poll limit and
  delayed answers, and the pool memory that each request leaves behind.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "CtlFlash.h"
#include "SimHost.h"
#include "SimJournalText.h"

namespace {

///
/// An opcode outside the command set: the simulator fetches and checks the
/// frame, then answers SIM_STATUS_UNKNOWN_OPCODE without touching a buffer,
/// so the buffer addresses of these frames may be any numbers at all.
///
constexpr UINT32  OPCODE_OUTSIDE_SET = 0x7E010203u;

constexpr UINT32  MAILBOX0 = 0xA0A1A2A3u;
constexpr UINT32  MAILBOX1 = 0xB0B1B2B3u;
constexpr UINT32  MAILBOX2 = 0xC0C1C2C3u;

//
// Buffer addresses that are only ever written into frames.
//
constexpr UINT64  BUFFER_A     = 0x0000000011223340ull;
constexpr UINT64  BUFFER_B     = 0x0000000055667780ull;
constexpr UINT64  BUFFER_HIGH  = 0x0000001234567800ull;    // above 4 GiB
constexpr UINT64  BUFFER_HIGH2 = 0xFFFFFFFF00001000ull;    // above 4 GiB

constexpr UINT64  POLL_US = 1000;

///
/// A healthy controller of the maker (see SimConfigInit) with the given
/// fault rules.
///
SIM_CONFIG
SimConfig (
  UINT16                            DeviceId,
  std::initializer_list<SIM_FAULT>  Faults = {}
  )
{
  SIM_CONFIG  Config;

  SimConfigInit (&Config, DeviceId, 0);
  for (const SIM_FAULT &Fault : Faults) {
    Config.Faults[Config.FaultCount++] = Fault;
  }

  return Config;
}

VOID *
AddressOf (
  UINT64  Address
  )
{
  return reinterpret_cast<VOID *> (static_cast<UINTN> (Address));
}

class FRAME_BYTES {
public:
  FRAME_BYTES (
    ) : mBytes (sizeof (COMMAND_FRAME), 0)
  {
  }

  FRAME_BYTES &
  Put (
    UINTN   Offset,
    UINT64  Value,
    UINTN   Size
    )
  {
    for (UINTN Index = 0; Index < Size; Index++) {
      mBytes.at (Offset + Index) = static_cast<UINT8> (Value >> (8 * Index));
    }

    return *this;
  }

  const std::vector<UINT8> &
  Bytes (
    ) const
  {
    return mBytes;
  }

private:
  std::vector<UINT8>  mBytes;
};

std::vector<UINT8>
RawFrame (
  const SIM_FRAME_RECORD  *Record
  )
{
  return std::vector<UINT8> (Record->Raw, Record->Raw + sizeof (Record->Raw));
}

///
/// The register accesses in the journal in their compact form, which
/// prints well when a comparison fails: "W C4=00000001", "R B0".
///
std::vector<std::string>
AccessLog (
  SIM_CONTROLLER  *Sim
  )
{
  std::vector<std::string>  Log;

  for (UINT32 Index = 0; Index < SimAccessCount (Sim); Index++) {
    CHAR8  Line[SIM_TEXT_LINE_SIZE];

    SimAccessText ({ Line, sizeof (Line) }, SimGetAccess (Sim, Index));
    Log.push_back (Line);
  }

  return Log;
}

std::string
WriteOf (
  UINT32  Register,
  UINT32  Value
  )
{
  char  Text[32];

  std::snprintf (Text, sizeof (Text), "W %X=%08X", Register, Value);
  return Text;
}

std::string
ReadOf (
  UINT32  Register
  )
{
  char  Text[32];

  std::snprintf (Text, sizeof (Text), "R %X", Register);
  return Text;
}

class CommandFrame : public HOST_TEST {
protected:
  SIM_HOST              mSim;
  SIM_CONTROLLER        *mDevice  = nullptr;
  CONTROLLER_CONTEXT    *mContext = nullptr;
  UINT64                mStallsAfterBringUp = 0;

  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
  }

  ///
  /// Bring up one controller of a model with the given fault rules and
  /// forget what the bring-up did, so the journal holds requests only.
  ///
  VOID
  BringUp (
    UINT16                            DeviceId,
    std::initializer_list<SIM_FAULT>  Faults = {}
    )
  {
    mDevice = mSim.Add (SimConfig (DeviceId, Faults));
    ASSERT_NE (nullptr, mDevice);
    DiscoverControllers ();
    ASSERT_EQ (1u, mControllerTable.ControllerCount);
    mContext = GetControllerContext (0);
    ASSERT_FALSE (mContext->Disabled);
    SimClearJournal (mDevice);
    mStallsAfterBringUp = HostStallCount ();
  }

  UINT64
  Polls (
    ) const
  {
    return HostStallCount () - mStallsAfterBringUp;
  }

  ///
  /// The battery-status request, a well-formed request of the command set.
  ///
  UINT8
  IssueBatteryStatus (
    BBU_STATUS_RESPONSE  *Response
    )
  {
    return IssueCommand (mContext, OP_BBU_STATUS, DIRECTION_FROM_CONTROLLER, 0, 0, 0, sizeof (*Response), Response, 0, NULL, 1);
  }
};

//
// The frame as the controller fetches it
//

struct FRAME_CASE {
  CONST CHAR8    *Name;
  UINT16         Direction;
  UINT32         FirstLength;
  UINT64         First;
  UINT32         SecondLength;
  UINT64         Second;
  UINT8          SgeCount;
  // Expected fields
  UINT32         Context;
  UINT16         Flags;
  UINT32         DataTransferLength;
  UINT64         Sge0Address;
  UINT32         Sge0Length;
  UINT64         Sge1Address;
  UINT32         Sge1Length;
};

constexpr FRAME_CASE  mFrameCases[] = {
  // Name                             Dir  Len1 First      Len2  Second     SGE  Context      Flags  DTL   Entry 0                Entry 1
  { "no entry, lengths still summed", 2,   0x40, BUFFER_A, 0x20, BUFFER_B,  0,   0x11223340u, 0x13, 0x60, 0, 0,                  0, 0 },
  { "one entry",                      2,   0x40, BUFFER_A, 0,    0,         1,   0x11223340u, 0x13, 0x40, BUFFER_A, 0x40,        0, 0 },
  { "one entry, second buffer given", 1,   0x40, BUFFER_A, 0x20, BUFFER_B,  1,   0x11223340u, 0x0B, 0x60, BUFFER_A, 0x40,        0, 0 },
  { "two entries",                    1,   0x40, BUFFER_A, 0x20, BUFFER_B,  2,   0x11223340u, 0x0B, 0x60, BUFFER_A, 0x40,        BUFFER_B, 0x20 },
  { "three: stored, no entry",        1,   0x40, BUFFER_A, 0x20, BUFFER_B,  3,   0x11223340u, 0x0B, 0x60, 0, 0,                  0, 0 },
  { "255: stored, no entry",          2,   0x40, BUFFER_A, 0x20, BUFFER_B,  255, 0x11223340u, 0x13, 0x60, 0, 0,                  0, 0 },
  { "no buffer, one entry",           0,   0,    0,        0,    0,         1,   0,           0x03, 0,    0, 0,                  0, 0 },
  { "direction 3, no buffer",         3,   0,    0,        0,    0,         1,   0,           0x1B, 0,    0, 0,                  0, 0 },
  { "direction 5: low bits only",     5,   0x40, BUFFER_A, 0,    0,         1,   0x11223340u, 0x0B, 0x40, BUFFER_A, 0x40,        0, 0 },
  { "direction 0xFFFE: low bits only", 0xFFFE, 0x40, BUFFER_A, 0, 0,          1,   0x11223340u, 0x13, 0x40, BUFFER_A, 0x40,        0, 0 },
  { "first buffer above 4 GiB",       2,   0x40, BUFFER_HIGH, 0, 0,         1,   0x34567800u, 0x13, 0x40, BUFFER_HIGH, 0x40,     0, 0 },
  { "both buffers above 4 GiB",       1,   0x40, BUFFER_HIGH, 0x20, BUFFER_HIGH2, 2, 0x34567800u, 0x0B, 0x60, BUFFER_HIGH, 0x40, BUFFER_HIGH2, 0x20 },
  { "above 4 GiB, no entry",          2,   0x40, BUFFER_HIGH, 0, 0,         0,   0x34567800u, 0x13, 0x40, 0, 0,                  0, 0 },
  { "length sum wraps at 32 bits",    1,   0xFFFFFFF0u, BUFFER_A, 0x20, BUFFER_B, 2, 0x11223340u, 0x0B, 0x10, BUFFER_A, 0xFFFFFFF0u, BUFFER_B, 0x20 },
  { "length sum wraps, no entry",     1,   0x80000000u, BUFFER_A, 0x80000000u, BUFFER_B, 0, 0x11223340u, 0x0B, 0, 0, 0,       0, 0 },
};

} // namespace

TEST_F (CommandFrame, TheFetchedFrameHoldsExactlyTheRequest) {
  BringUp (MAKER_DEVICE_ID_MODEL_1);

  for (const FRAME_CASE &Case : mFrameCases) {
    SCOPED_TRACE (Case.Name);
    SimClearJournal (mDevice);

    UINT8  Status = IssueCommand (
                      mContext,
                      OPCODE_OUTSIDE_SET,
                      Case.Direction,
                      MAILBOX0,
                      MAILBOX1,
                      MAILBOX2,
                      Case.FirstLength,
                      AddressOf (Case.First),
                      Case.SecondLength,
                      AddressOf (Case.Second),
                      Case.SgeCount
                      );

    ASSERT_EQ (1u, SimFrameCount (mDevice));
    CONST SIM_FRAME_RECORD  *Record = SimGetFrame (mDevice, 0);

    FRAME_BYTES  Expected;

    Expected.Put (0, FRAME_COMMAND, 1)
            .Put (2, 0xFF, 1)
            .Put (7, Case.SgeCount, 1)
            .Put (8, Case.Context, 4)
            .Put (16, Case.Flags, 2)
            .Put (20, Case.DataTransferLength, 4)
            .Put (24, OPCODE_OUTSIDE_SET, 4)
            .Put (28, MAILBOX0, 4)
            .Put (32, MAILBOX1, 4)
            .Put (36, MAILBOX2, 4)
            .Put (40, Case.Sge0Address, 8)
            .Put (48, Case.Sge0Length, 4)
            .Put (52, Case.Sge1Address, 8)
            .Put (60, Case.Sge1Length, 4);
    EXPECT_EQ (Expected.Bytes (), RawFrame (Record));

    // The controller's answer comes back unchanged, and nothing is kept.
    ASSERT_TRUE (Record->Answered);
    EXPECT_EQ (Record->Status, Status);
    EXPECT_NE (COMMAND_NOT_COMPLETED, Status);
    EXPECT_EQ (0u, HostPoolOutstandingCount ());
  }
}

TEST_F (CommandFrame, DataMovesThroughBothEntries) {
  BringUp (MAKER_DEVICE_ID_MODEL_1);

  // The controller information split over two buffers: the product name
  // starts the second one.
  std::vector<UINT8>  Head (CTRL_INFO_PRODUCT_NAME, 0xEE);
  std::vector<UINT8>  Tail (CTRL_INFO_RESPONSE_SIZE - CTRL_INFO_PRODUCT_NAME, 0xEE);

  EXPECT_EQ (0, IssueCommand (mContext, OP_CTRL_INFO, DIRECTION_FROM_CONTROLLER, 0, 0, 0,
    static_cast<UINT32> (Head.size ()), Head.data (), static_cast<UINT32> (Tail.size ()), Tail.data (), 2));

  EXPECT_EQ (std::string (SimGetConfig (mDevice)->ProductName), std::string (reinterpret_cast<const char *> (Tail.data ())));
  EXPECT_EQ (std::vector<UINT8> (Head.size (), 0), Head);
}

//
// Frame address and queue ports, for every model
//

class CommandFrameModels : public CommandFrame, public ::testing::WithParamInterface<UINTN> {
protected:
  std::vector<HOST_POOL_BLOCK>  mBlocksWhilePolling;
  BOOLEAN                       mSeen = FALSE;

  static VOID
  TakeBlocks (
    VOID    *Context,
    UINT64  NowMicroseconds
    )
  {
    CommandFrameModels  *Test = static_cast<CommandFrameModels *> (Context);

    if (!Test->mSeen) {
      Test->mBlocksWhilePolling = HostPoolBlocks ();
      Test->mSeen               = TRUE;
    }
  }

  void
  TearDown (
    ) override
  {
    HostClockRemoveListener (TakeBlocks, this);
    CommandFrame::TearDown ();
  }
};

TEST_P (CommandFrameModels, TheFrameAddressIsTaggedAlignedAndPostedHighHalfFirst) {
  CONST SUPPORTED_CONTROLLER  &Row = mSupportedControllers[GetParam ()];

  SCOPED_TRACE (testing::Message () << "device 0x" << std::hex << Row.DeviceId);
  // One poll, so that the frame memory can be seen while it is in use.
  BringUp (Row.DeviceId, { { OP_BBU_STATUS, SIM_EVERY_OCCURRENCE, FALSE, FALSE, 0, POLL_US } });
  ASSERT_EQ (Row.FlushReads, mContext->Model.FlushReads);
  HostClockAddListener (TakeBlocks, this);

  BBU_STATUS_RESPONSE  Response;

  EXPECT_EQ (0, IssueBatteryStatus (&Response));
  EXPECT_EQ (0u, HostPoolOutstandingCount ());

  ASSERT_EQ (1u, SimFrameCount (mDevice));
  CONST SIM_FRAME_RECORD  *Record = SimGetFrame (mDevice, 0);

  EXPECT_EQ (SIM_FRAME_CHECK::OK, Record->Check);
  EXPECT_TRUE (Record->HighWritten);

  // The frame sat at the start of the request's only block, the page of
  // AllocateBuffer memory (on this platform device and host addresses
  // agree).
  ASSERT_EQ (1u, mBlocksWhilePolling.size ());
  UINT64  Block = reinterpret_cast<UINTN> (mBlocksWhilePolling[0].Buffer);

  EXPECT_TRUE (mBlocksWhilePolling[0].Pages);
  EXPECT_EQ (FRAME_BUFFER_SIZE, mBlocksWhilePolling[0].Size);
  EXPECT_EQ (Block, Record->Address);
  EXPECT_EQ (0u, Record->Address % FRAME_ALIGNMENT);

  // The posted value is that address with the model's tag in its low bits.
  EXPECT_EQ (Record->Address | Row.EncodingOperand, Record->Encoded);
  EXPECT_EQ (Row.EncodingOperand, Record->Encoded & 0xFF);

  // High port, then low port; the FlushReads models read the status
  // register back once after each, and nothing else touches the registers.
  std::vector<std::string>  Expected;

  Expected.push_back (WriteOf (Row.QueuePortHigh, static_cast<UINT32> (Record->Encoded >> 32)));
  if (Row.FlushReads) {
    Expected.push_back (ReadOf (Row.StatusRegister));
  }

  Expected.push_back (WriteOf (Row.QueuePortLow, static_cast<UINT32> (Record->Encoded)));
  if (Row.FlushReads) {
    Expected.push_back (ReadOf (Row.StatusRegister));
  }

  EXPECT_EQ (Expected, AccessLog (mDevice));
}

INSTANTIATE_TEST_SUITE_P (
  EveryModel,
  CommandFrameModels,
  ::testing::Range<UINTN>(0, SUPPORTED_CONTROLLER_COUNT)
  );

TEST_F (CommandFrame, FlushReadsFollowTheContextNotTheModelTable) {
  struct CASE {
    UINT16     DeviceId;
    BOOLEAN    FlushReads;
  };

  // Bring-up may switch the read-backs off for a chip revision: the
  // context's flag is what counts.
  const CASE  Cases[] = {
    { MAKER_DEVICE_ID_MODEL_1,  TRUE  },
    { MAKER_DEVICE_ID_MODEL_8,  FALSE },
    { MAKER_DEVICE_ID_MODEL_11, FALSE },
  };

  for (const CASE &Case : Cases) {
    SCOPED_TRACE (testing::Message () << "device 0x" << std::hex << Case.DeviceId << " FlushReads " << static_cast<int> (Case.FlushReads));
    HostReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    SIM_HOST        Sim;
    SIM_CONTROLLER  *Device = Sim.Add (SimConfig (Case.DeviceId));

    DiscoverControllers ();
    ASSERT_EQ (1u, mControllerTable.ControllerCount);
    CONTROLLER_CONTEXT  *Context = GetControllerContext (0);

    Context->Model.FlushReads = Case.FlushReads;
    SimClearJournal (Device);

    BBU_STATUS_RESPONSE  Response;

    for (UINTN Request = 0; Request < 3; Request++) {
      EXPECT_EQ (0, IssueCommand (Context, OP_BBU_STATUS, DIRECTION_FROM_CONTROLLER, 0, 0, 0, sizeof (Response), &Response, 0, NULL, 1));
    }

    ASSERT_EQ (3u, SimFrameCount (Device));
    for (UINT32 Index = 0; Index < 3; Index++) {
      EXPECT_EQ (Case.FlushReads ? 1u : 0u, SimGetFrame (Device, Index)->StatusReadsAfterHigh);
      EXPECT_EQ (Case.FlushReads ? 1u : 0u, SimGetFrame (Device, Index)->StatusReadsAfterLow);
    }

    EXPECT_EQ (Case.FlushReads ? 6u : 0u, SimGetCounters (Device)->StatusReads);
    EXPECT_EQ (Case.FlushReads ? 12u : 6u, SimAccessCount (Device));
  }
}

//
// Requests that are never issued
//

TEST_F (CommandFrame, ADisabledControllerIsNeverTouched) {
  BringUp (MAKER_DEVICE_ID_MODEL_11);
  mContext->Disabled = TRUE;

  UINT64               Allocations = HostPoolAllocationCount ();
  BBU_STATUS_RESPONSE  Response;

  std::memset (&Response, 0xEE, sizeof (Response));
  EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueBatteryStatus (&Response));

  EXPECT_EQ (0u, SimAccessCount (mDevice)) << "no PCI I/O call of any kind";
  EXPECT_EQ (0u, SimFrameCount (mDevice));
  EXPECT_EQ (Allocations, HostPoolAllocationCount ()) << "no allocation attempt";
  EXPECT_EQ (0u, Polls ());
  EXPECT_EQ (std::vector<UINT8> (sizeof (Response), 0xEE),
    std::vector<UINT8> (reinterpret_cast<UINT8 *> (&Response), reinterpret_cast<UINT8 *> (&Response + 1)));
}

TEST_F (CommandFrame, AHelperSendsOnlyRequestsWhoseDataGoesItsWay) {
  BringUp (MAKER_DEVICE_ID_MODEL_1);

  UINT8  Buffer[sizeof (LD_PROPERTIES)] = { 0 };

  const struct {
    CONST CHAR8    *Name;
    UINT8          (*Send)(CONTROLLER_CONTEXT *Controller, UINT32 Opcode, UINT8 *Buffer);
    UINT32         Opcode;
  } Cases[] = {
    { "no data for a read",          [](CONTROLLER_CONTEXT *C, UINT32 Op, UINT8 *) { return RequestWithoutData (C, Op, 0); }, OP_BBU_STATUS },
    { "to the controller, a read",   [](CONTROLLER_CONTEXT *C, UINT32 Op, UINT8 *B) { return RequestToController (C, Op, 0, B, sizeof (LD_PROPERTIES)); }, OP_LD_GET_PROPERTIES },
    { "to the controller, an open",  [](CONTROLLER_CONTEXT *C, UINT32 Op, UINT8 *B) { return RequestToController (C, Op, 0, B, sizeof (LD_PROPERTIES)); }, OP_FLASH_OPEN },
    { "from the controller, a set",  [](CONTROLLER_CONTEXT *C, UINT32 Op, UINT8 *B) { return RequestFromController (C, Op, 0, B, sizeof (LD_PROPERTIES)); }, OP_LD_SET_PROPERTIES },
    { "from the controller, a piece", [](CONTROLLER_CONTEXT *C, UINT32 Op, UINT8 *B) { return RequestFromController (C, Op, 0, B, sizeof (LD_PROPERTIES)); }, OP_FLASH_DOWNLOAD },
    { "outside the command set",     [](CONTROLLER_CONTEXT *C, UINT32 Op, UINT8 *B) { return RequestFromController (C, Op, 0, B, sizeof (LD_PROPERTIES)); }, OPCODE_OUTSIDE_SET },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    EXPECT_EQ (COMMAND_NOT_COMPLETED, Case.Send (mContext, Case.Opcode, Buffer));
    EXPECT_EQ (0u, SimAccessCount (mDevice)) << "nothing reached the controller";
    EXPECT_EQ (0u, Polls ());
  }

  BBU_STATUS_RESPONSE  Response;

  EXPECT_FALSE (mContext->NotAnswering);
  EXPECT_EQ (0, RequestFromController (mContext, OP_BBU_STATUS, 0, &Response, sizeof (Response))) << "the controller still answers";
  EXPECT_EQ (1u, SimFrameCount (mDevice));
}

TEST_F (CommandFrame, WithoutPoolMemoryNothingReachesTheController) {
  BringUp (MAKER_DEVICE_ID_MODEL_8);
  HostPoolFailNth (1);

  BBU_STATUS_RESPONSE  Response;

  EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueBatteryStatus (&Response));

  EXPECT_EQ (1u, HostPoolFailedCount ());
  EXPECT_EQ (0u, SimAccessCount (mDevice));
  EXPECT_EQ (0u, SimFrameCount (mDevice));
  EXPECT_EQ (0u, Polls ());

  // The next request is issued normally.
  EXPECT_EQ (0, IssueBatteryStatus (&Response));
  EXPECT_EQ (1u, SimFrameCount (mDevice));
}

//
// Polling
//

TEST_F (CommandFrame, NoAnswerEndsAfter180000PollsAndKeepsTheFrame) {
  BringUp (MAKER_DEVICE_ID_MODEL_1, { { OP_BBU_STATUS, SIM_EVERY_OCCURRENCE, TRUE, FALSE, 0, 0 } });

  UINT64               Start = HostClockNow ();
  BBU_STATUS_RESPONSE  Response;

  EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueBatteryStatus (&Response));

  EXPECT_EQ (FRAME_POLL_LIMIT, Polls ());
  EXPECT_EQ (FRAME_POLL_LIMIT, HostStallCountOf (POLL_US));
  EXPECT_EQ (180000000u, HostClockNow () - Start);

  // The controller still holds the frame's address: its memory stays
  // allocated rather than going back to the pool.
  ASSERT_EQ (1u, SimFrameCount (mDevice));
  CONST SIM_FRAME_RECORD  *Record = SimGetFrame (mDevice, 0);

  EXPECT_FALSE (Record->Answered);
  std::vector<HOST_POOL_BLOCK>  Blocks = HostPoolBlocks ();

  ASSERT_EQ (1u, Blocks.size ());
  EXPECT_EQ (FRAME_BUFFER_SIZE, Blocks[0].Size);
  EXPECT_EQ (ALIGN_VALUE (reinterpret_cast<UINTN> (Blocks[0].Buffer), FRAME_ALIGNMENT), Record->Address);
  HostPoolDeclareDeliberate (Blocks[0].Buffer);
  HostPoolFreeDeliberate ();
}

TEST_F (CommandFrame, AnAnswerAfterTheTimeOutLandsInMemoryStillHeld) {
  constexpr UINT64  DELAY_US = (FRAME_POLL_LIMIT + 1) * POLL_US;

  BringUp (MAKER_DEVICE_ID_MODEL_9, { { OP_BBU_STATUS, SIM_EVERY_OCCURRENCE, FALSE, FALSE, 0, DELAY_US } });

  BBU_STATUS_RESPONSE  Response;

  EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueBatteryStatus (&Response));
  ASSERT_EQ (1u, HostPoolOutstandingCount ());
  HOST_POOL_BLOCK  Block = HostPoolBlocks ()[0];

  // The late answer arrives; had the frame been freed, this write would hit
  // released memory (and the sanitizer would stop the test).
  SimAdvanceTime (mDevice, HostClockNow () + POLL_US);
  ASSERT_TRUE (SimGetFrame (mDevice, 0)->Answered);
  EXPECT_EQ (0, reinterpret_cast<COMMAND_FRAME *> (SimGetFrame (mDevice, 0)->Address)->Status);

  HostPoolDeclareDeliberate (Block.Buffer);
  HostPoolFreeDeliberate ();
}

TEST_F (CommandFrame, ADelayedAnswerIsSeenAtTheFirstPollAfterIt) {
  struct CASE {
    UINT64    DelayMs;
    UINT64    Polls;
  };

  const CASE  Cases[] = {
    { 1,      1      },
    { 2500,   2500   },
    { 180000, 180000 },    // the very last poll still sees it
  };

  for (const CASE &Case : Cases) {
    SCOPED_TRACE (testing::Message () << Case.DelayMs << " ms");
    HostReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    SIM_HOST    Sim;
    SIM_CONFIG  Config = SimConfig (MAKER_DEVICE_ID_MODEL_4, { { OP_BBU_STATUS, SIM_EVERY_OCCURRENCE, FALSE, FALSE, 0, Case.DelayMs * 1000 } });

    Config.BbuType        = 5;
    Config.BbuTypeVariant = 7;
    SIM_CONTROLLER  *Device = Sim.Add (Config);

    DiscoverControllers ();
    ASSERT_EQ (1u, mControllerTable.ControllerCount);

    UINT64               Start  = HostClockNow ();
    UINT64               Stalls = HostStallCount ();
    BBU_STATUS_RESPONSE  Response;

    std::memset (&Response, 0xEE, sizeof (Response));
    EXPECT_EQ (0, IssueCommand (GetControllerContext (0), OP_BBU_STATUS, DIRECTION_FROM_CONTROLLER, 0, 0, 0, sizeof (Response), &Response, 0, NULL, 1));

    EXPECT_EQ (Case.Polls, HostStallCount () - Stalls);
    EXPECT_EQ (Case.DelayMs * 1000, HostClockNow () - Start);
    EXPECT_EQ (5, Response.Type) << "the data came with the answer";
    EXPECT_EQ (7, Response.TypeVariant);
    EXPECT_TRUE (SimGetFrame (Device, SimFrameCount (Device) - 1)->Answered);
    EXPECT_EQ (0u, HostPoolOutstandingCount ());
  }
}

//
// Long waits are shown; a controller that never answered is not asked again
//

TEST_F (CommandFrame, AWaitPastFiveSecondsSaysWhatItWaitsForAndForHowLong) {
  struct CASE {
    CONST char    *Name;
    UINT32        Opcode;
    UINT64        DelayMs;
    CONST char    *Console;
  };

  const CASE  Cases[] = {
    { "just under 5 s", OP_BBU_STATUS, 4999, "" },
    {
      "exactly 5 s",
      OP_BBU_STATUS,
      5000,
      "\nWaiting for the controller at 0000:03:00.0 to answer (battery status): 5 s so far, at most 180 s."
      "\nThe controller at 0000:03:00.0 answered after 5 s."
    },
    {
      "36 s",
      OP_CTRL_INFO,
      36000,
      "\nWaiting for the controller at 0000:03:00.0 to answer (controller information): 5 s so far, at most 180 s."
      "\nWaiting for the controller at 0000:03:00.0 to answer (controller information): 35 s so far, at most 180 s."
      "\nThe controller at 0000:03:00.0 answered after 36 s."
    },
    {
      "a flash request",
      OP_FLASH_CLOSE,
      36000,
      "\nWaiting for the controller at 0000:03:00.0 to answer (flash close): 5 s so far, at most 180 s. Keep the power on."
      "\nWaiting for the controller at 0000:03:00.0 to answer (flash close): 35 s so far, at most 180 s. Keep the power on."
      "\nThe controller at 0000:03:00.0 answered after 36 s."
    },
  };

  for (const CASE &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    HostReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    SIM_HOST  Sim;

    Sim.Add (SimConfig (MAKER_DEVICE_ID_MODEL_4, { { Case.Opcode, SIM_EVERY_OCCURRENCE, FALSE, FALSE, 0, Case.DelayMs * 1000 } }));
    DiscoverControllers ();
    ASSERT_EQ (1u, mControllerTable.ControllerCount);

    CONTROLLER_CONTEXT  *Context = GetControllerContext (0);
    static UINT8        Buffer[CTRL_INFO_RESPONSE_SIZE];
    UINT32              Length    = (Case.Opcode == OP_CTRL_INFO) ? CTRL_INFO_RESPONSE_SIZE : ((Case.Opcode == OP_BBU_STATUS) ? BBU_RESPONSE_SIZE : 0);
    UINT16              Direction = (Length == 0) ? DIRECTION_NONE : DIRECTION_FROM_CONTROLLER;

    EXPECT_EQ (0, IssueCommand (Context, Case.Opcode, Direction, 0, 0, 0, Length, (Length == 0) ? NULL : Buffer, 0, NULL, 1));
    EXPECT_EQ (Case.Console, HostConsoleText ());
    EXPECT_FALSE (Context->NotAnswering) << "an answer, however late, keeps the controller in use";
  }
}

TEST_F (CommandFrame, AControllerThatDidNotAnswerIsNotAskedAgain) {
  BringUp (MAKER_DEVICE_ID_MODEL_8, { { OP_BBU_STATUS, SIM_EVERY_OCCURRENCE, TRUE, FALSE, 0, 0 } });

  BBU_STATUS_RESPONSE  Response;

  EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueBatteryStatus (&Response));
  EXPECT_TRUE (mContext->NotAnswering);
  EXPECT_FALSE (mContext->Disabled);

  std::string  Expected;

  for (UINT32 Seconds : { 5, 35, 65, 95, 125, 155 }) {
    Expected += "\nWaiting for the controller at 0000:03:00.0 to answer (battery status): " + std::to_string (Seconds) + " s so far, at most 180 s.";
  }

  Expected += "\nThe controller at 0000:03:00.0 did not answer in 180 s.";
  EXPECT_EQ (Expected, HostConsoleText ());

  // The timed-out frame is kept (see NoAnswerEndsAfter180000PollsAndKeepsTheFrame).
  ASSERT_EQ (1u, HostPoolOutstandingCount ());
  HOST_POOL_BLOCK  Kept = HostPoolBlocks ()[0];

  HostPoolDeclareDeliberate (Kept.Buffer);

  UINT64  Now         = HostClockNow ();
  UINT32  Accesses    = SimAccessCount (mDevice);
  UINT64  Allocations = HostPoolAllocationCount ();

  HostConsoleClear ();
  for (UINT32 Opcode : { OP_BBU_STATUS, OP_BBU_INFO, OP_FLASH_CLOSE }) {
    UINT16  Direction = (Opcode == OP_FLASH_CLOSE) ? DIRECTION_NONE : DIRECTION_FROM_CONTROLLER;
    UINT32  Length    = (Opcode == OP_FLASH_CLOSE) ? 0 : sizeof (Response);

    EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueCommand (mContext, Opcode, Direction, 0, 0, 0, Length, &Response, 0, NULL, 1));
  }

  EXPECT_EQ (Now, HostClockNow ()) << "no time spent";
  EXPECT_EQ (Accesses, SimAccessCount (mDevice)) << "no register access";
  EXPECT_EQ (Allocations, HostPoolAllocationCount ()) << "no frame allocated";
  EXPECT_EQ (1u, SimFrameCount (mDevice));
  EXPECT_EQ ("", HostConsoleText ());
  HostPoolFreeDeliberate ();
}

TEST_F (CommandFrame, EveryControllerStatusIsReturnedUnchanged) {
  // 0x59 included: a failure like any other, after which requests go on.
  const UINT8  Statuses[] = { 0x01, 0x59, 0x80, 0xFE };

  BringUp (
    MAKER_DEVICE_ID_MODEL_2,
    {
      { OP_BBU_INFO, 1, FALSE, TRUE, Statuses[0], 0 },
      { OP_BBU_INFO, 2, FALSE, TRUE, Statuses[1], 0 },
      { OP_BBU_INFO, 3, FALSE, TRUE, Statuses[2], 0 },
      { OP_BBU_INFO, 4, FALSE, TRUE, Statuses[3], 0 },
    }
    );

  BBU_INFO_RESPONSE  Response;

  for (UINT8 Status : Statuses) {
    SCOPED_TRACE (testing::Message () << "status 0x" << std::hex << static_cast<int> (Status));
    EXPECT_EQ (Status, IssueCommand (mContext, OP_BBU_INFO, DIRECTION_FROM_CONTROLLER, 0, 0, 0, sizeof (Response), &Response, 0, NULL, 1));
    EXPECT_EQ (0u, HostPoolOutstandingCount ());
  }

  // The fifth request meets no rule and succeeds.
  EXPECT_EQ (0, IssueCommand (mContext, OP_BBU_INFO, DIRECTION_FROM_CONTROLLER, 0, 0, 0, sizeof (Response), &Response, 0, NULL, 1));
  EXPECT_EQ (5u, SimFrameCount (mDevice));
  EXPECT_EQ (0u, Polls ());
  EXPECT_EQ ("", HostConsoleText ()) << "IssueCommand prints nothing";
}

//
// A platform that protects memory from bus-master access
//

class ProtectedCommandFrame : public CommandFrame {
protected:
  ///
  /// Bring up one controller on a protected platform, bus mastering off
  /// until the tool turns it on.
  ///
  VOID
  BringUpProtected (
    UINT16                            DeviceId,
    UINT32                            MapLimit = 0,
    std::initializer_list<SIM_FAULT>  Faults   = {}
    )
  {
    SIM_CONFIG  Config = SimConfig (DeviceId, Faults);

    Config.DmaProtected = TRUE;
    Config.BusMasterOff = TRUE;
    Config.MapLimit     = MapLimit;
    Config.Drives[Config.DriveCount++] = { 0x0105, 0x0105, 0x01, 0, 0 };
    mDevice = mSim.Add (Config);
    ASSERT_NE (nullptr, mDevice);
    DiscoverControllers ();
    ASSERT_EQ (1u, mControllerTable.ControllerCount);
    mContext = GetControllerContext (0);
    SimClearJournal (mDevice);
    mStallsAfterBringUp = HostStallCount ();
  }

  static VOID
  ExpectNoDmaFault (
    SIM_CONTROLLER  *Sim
    )
  {
    const SIM_DMA_COUNTERS  &Counters = SimGetDma (Sim)->Counters;

    EXPECT_EQ (0u, Counters.Strays);
    EXPECT_EQ (0u, Counters.WrongDirection);
    EXPECT_EQ (0u, Counters.BusMasterOff);
    EXPECT_EQ (0u, Counters.BadUnmaps);
    EXPECT_EQ (0u, Counters.BadFrees);
  }
};

TEST_F (ProtectedCommandFrame, EveryRequestReachesTheControllerThroughDeviceAddressesOnly) {
  BringUpProtected (MAKER_DEVICE_ID_MODEL_11);

  // Data the controller returns.
  BBU_INFO_RESPONSE  Info;

  std::memset (&Info, 0xEE, sizeof (Info));
  ASSERT_EQ (0, IssueCommand (mContext, OP_BBU_INFO, DIRECTION_FROM_CONTROLLER, 0, 0, 0, sizeof (Info), &Info, 0, NULL, 1));
  EXPECT_EQ (0, Info.Name[0]) << "the response arrived";

  // Properties sent to the controller under the "from controller" flag.
  UINT8  Properties[32];

  ASSERT_EQ (0, IssueCommand (mContext, OP_LD_GET_PROPERTIES, DIRECTION_FROM_CONTROLLER, 5, 0, 0, sizeof (Properties), Properties, 0, NULL, 1));
  Properties[20] = 0x00;
  ASSERT_EQ (0, RequestToController (mContext, OP_LD_SET_PROPERTIES, 0x0105, Properties, sizeof (Properties)));
  EXPECT_EQ (0x00, SimDriveCachePolicy (SimGetDrive (mDevice, 0))) << "the controller read the bytes the host wrote";

  // Image data sent to the controller, straight from the caller's buffer.
  std::vector<UINT8>  Piece (5000);

  for (size_t Index = 0; Index < Piece.size (); Index++) {
    Piece[Index] = static_cast<UINT8> (Index * 7);
  }

  ASSERT_EQ (0, IssueCommand (mContext, OP_FLASH_OPEN, DIRECTION_NONE, 5000, 0, 0, 0, NULL, 0, NULL, 1));
  ASSERT_EQ (0, IssueCommand (mContext, OP_FLASH_DOWNLOAD, DIRECTION_TO_CONTROLLER, 0, 0, 0, 5000, Piece.data (), 0, NULL, 1));
  ASSERT_EQ (0, IssueCommand (mContext, OP_FLASH_COMMIT, DIRECTION_NONE, 0, 0, 0, 0, NULL, 0, NULL, 1));
  ASSERT_EQ (1u, SimCommitCount (mDevice));
  EXPECT_EQ (SimCrc32 (Piece.data (), Piece.size ()), SimGetCommit (mDevice, 0)->Crc32);

  // Neither the frames nor the data were posted at their host addresses.
  ASSERT_EQ (6u, SimFrameCount (mDevice));
  for (UINT32 Index = 0; Index < SimFrameCount (mDevice); Index++) {
    const SIM_FRAME_RECORD  *Record = SimGetFrame (mDevice, Index);

    SCOPED_TRACE (testing::Message () << "frame " << Index);
    EXPECT_TRUE (Record->Answered);
    EXPECT_FALSE (HostPoolIsAllocated (AddressOf (Record->Address)));
    EXPECT_NE (reinterpret_cast<UINTN> (&Info), Record->SgeAddress[0]);
    EXPECT_NE (reinterpret_cast<UINTN> (Properties), Record->SgeAddress[0]);
    EXPECT_NE (reinterpret_cast<UINTN> (Piece.data ()), Record->SgeAddress[0]);
  }

  EXPECT_GT (SimGetDma (mDevice)->Counters.HighMappings, 0u) << "some device addresses lie above 4 GiB";
  ExpectNoDmaFault (mDevice);
  EXPECT_EQ (0u, SimDmaLiveMappings (SimGetDma (mDevice)));
  EXPECT_EQ (0u, SimDmaLiveBuffers (SimGetDma (mDevice)));
  EXPECT_EQ (0u, HostPoolOutstandingCount ());
}

TEST_F (ProtectedCommandFrame, ABufferMappedShortOrWithoutADirectionIsNeverSent) {
  struct CASE {
    CONST CHAR8    *Name;
    UINT32         Opcode;
    UINT16         Direction;
    UINT32         Length;
  };
  // The platform maps at most one page at a time: the frame fits, the list
  // response does not.
  const CASE  Cases[] = {
    { "mapped short",                     OP_LD_LIST,         DIRECTION_FROM_CONTROLLER, sizeof (LD_LIST) },
    { "outside the set, no direction",    OPCODE_OUTSIDE_SET, DIRECTION_NONE,            64               },
    { "outside the set, both directions", OPCODE_OUTSIDE_SET, 3,                         64               },
  };

  BringUpProtected (MAKER_DEVICE_ID_MODEL_1, EFI_PAGE_SIZE);
  for (const CASE &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    std::vector<UINT8>  Buffer (Case.Length, 0xEE);

    EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueCommand (mContext, Case.Opcode, Case.Direction, 0, 0, 0, Case.Length, Buffer.data (), 0, NULL, 1));
    EXPECT_EQ (0u, SimFrameCount (mDevice)) << "nothing was posted";
    EXPECT_EQ (0u, Polls ());
    EXPECT_FALSE (mContext->NotAnswering);
    EXPECT_EQ (0u, SimDmaLiveMappings (SimGetDma (mDevice)));
    EXPECT_EQ (0u, SimDmaLiveBuffers (SimGetDma (mDevice)));
    EXPECT_EQ (0u, HostPoolOutstandingCount ());
    EXPECT_EQ (std::vector<UINT8> (Case.Length, 0xEE), Buffer);
  }

  // A buffer that fits is sent.
  BBU_STATUS_RESPONSE  Response;

  EXPECT_EQ (0, IssueBatteryStatus (&Response));
}

TEST_F (ProtectedCommandFrame, ATimedOutRequestKeepsItsFrameAndMappingsForALateAnswer) {
  BringUpProtected (MAKER_DEVICE_ID_MODEL_9, 0, { { OP_BBU_STATUS, SIM_EVERY_OCCURRENCE, FALSE, FALSE, 0, (FRAME_POLL_LIMIT + 1) * POLL_US } });

  BBU_STATUS_RESPONSE  Response;

  std::memset (&Response, 0xEE, sizeof (Response));
  EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueBatteryStatus (&Response));
  EXPECT_EQ (2u, SimDmaLiveMappings (SimGetDma (mDevice))) << "the frame's and the response's";
  EXPECT_EQ (1u, SimDmaLiveBuffers (SimGetDma (mDevice)));

  // The late answer lands in memory that is still mapped and still held.
  SimAdvanceTime (mDevice, HostClockNow () + POLL_US);
  ASSERT_EQ (1u, SimFrameCount (mDevice));
  ASSERT_TRUE (SimGetFrame (mDevice, 0)->Answered);
  EXPECT_EQ (0, Response.Type);
  ExpectNoDmaFault (mDevice);

  std::vector<HOST_POOL_BLOCK>  Blocks = HostPoolBlocks ();

  ASSERT_EQ (1u, Blocks.size ());
  EXPECT_EQ (0, reinterpret_cast<COMMAND_FRAME *> (Blocks[0].Buffer)->Status);
  HostPoolDeclareDeliberate (Blocks[0].Buffer);
  HostPoolFreeDeliberate ();
}
