/** @file
  Tests of the journal as text: every line form, byte for byte, and lines
  cut to a short buffer without writing past it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "HostTest.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SimController.h"
#include "SimJournalText.h"

namespace {

std::string
Text (
  const std::function<UINTN (SIM_TEXT)>  &Format
  )
{
  CHAR8  Line[SIM_TEXT_LINE_SIZE];
  UINTN  Length = Format ({ Line, sizeof (Line) });

  EXPECT_EQ (std::strlen (Line), Length);
  return Line;
}

SIM_FRAME_RECORD
Frame (
  VOID
  )
{
  SIM_FRAME_RECORD  Record = {};

  Record.Opcode             = OP_LD_SET_PROPERTIES;
  Record.Mailbox[0]         = 0x00010002;
  Record.Mailbox[1]         = 0;
  Record.Mailbox[2]         = 0xFFFFFFFF;
  Record.Direction          = 2;
  Record.SgeCount           = 1;
  Record.DataTransferLength = 32;
  Record.Answered           = TRUE;
  Record.Status             = 0x2D;
  Record.Address            = 0x80000A00;
  return Record;
}

TEST (SIM_JOURNAL_TEXT_TEST, FrameLinesShowStatusCheckAndAddress) {
  SIM_FRAME_RECORD  Answered   = Frame ();
  SIM_FRAME_RECORD  Unanswered = Frame ();
  SIM_FRAME_RECORD  Rejected   = Frame ();
  SIM_FRAME_RECORD  Success    = Frame ();

  Unanswered.Answered = FALSE;
  Unanswered.Status   = 0xFF;
  Rejected.Status     = SIM_STATUS_BAD_FRAME;
  Rejected.Check      = SIM_FRAME_CHECK::BAD_CONTEXT;
  Success.Status      = 0;
  Success.Opcode      = OP_CTRL_INFO;
  Success.Address     = 0x812345600ull;

  struct {
    const char              *Name;
    const SIM_FRAME_RECORD  *Record;
    BOOLEAN                 ShowAddress;
    const char              *Expected;
  } const  Cases[] = {
    { "answered", &Answered, FALSE, "ctl 3 frame 17 op 03040000 mb 00010002 00000000 FFFFFFFF dir 2 sge 1 len 32 status 2D\n" },
    { "no answer", &Unanswered, FALSE, "ctl 3 frame 17 op 03040000 mb 00010002 00000000 FFFFFFFF dir 2 sge 1 len 32 status --\n" },
    { "failed check", &Rejected, FALSE, "ctl 3 frame 17 op 03040000 mb 00010002 00000000 FFFFFFFF dir 2 sge 1 len 32 status 03 check 9\n" },
    { "protected", &Success, TRUE, "ctl 3 frame 17 op 01010000 mb 00010002 00000000 FFFFFFFF dir 2 sge 1 len 32 status 00 at 812345600\n" },
  };

  for (const auto &Case : Cases) {
    EXPECT_EQ (Case.Expected, Text ([&](SIM_TEXT Line) { return SimFrameText (Line, 3, 17, Case.Record, Case.ShowAddress); }))
      << Case.Name;
  }
}

TEST (SIM_JOURNAL_TEXT_TEST, CommitSummaryAndDriveLines) {
  UINT8         Bytes[3] = { 1, 2, 3 };
  SIM_COMMIT    Commit   = { 3, 0x0000ABCD, Bytes };
  SIM_COUNTERS  Counters = {};
  SIM_DRIVE     Drive    = {};

  Counters.FrameOverflow    = 0xFFFFFFFF;
  Counters.AccessOverflow   = 2;
  Counters.StrayAccesses    = 4;
  Counters.RejectedAccesses = 5;
  Counters.DoorbellRings    = 6;
  Counters.HandshakeWrites  = 7;
  Counters.FlushReadbacks   = 8;
  Drive.Ref                 = 0x00010205;
  Drive.Properties[20]      = 0x01;

  EXPECT_EQ ("ctl 0 commit 2 size 3 crc32 0000ABCD\n", Text ([&](SIM_TEXT Line) { return SimCommitText (Line, 0, 2, &Commit); }));
  EXPECT_EQ (
    "ctl 1 summary frames 1024 overflow 4294967297 stray 4 rejected 5 doorbell 6 handshake 7 readbacks 8\n",
    Text ([&](SIM_TEXT Line) { return SimSummaryText (Line, 1, 1024, &Counters); })
    ) << "the overflow sum does not wrap";
  EXPECT_EQ ("ctl 39 drive 0 tid 5 ref 00010205 policy 01\n", Text ([&](SIM_TEXT Line) { return SimDriveText (Line, 39, 0, &Drive); }));
}

TEST (SIM_JOURNAL_TEXT_TEST, PlatformLines) {
  SIM_DMA_COUNTERS  Counters = {};

  Counters.MapCalls          = 12;
  Counters.UnmapCalls        = 11;
  Counters.BufferAllocations = 3;
  Counters.BufferFrees       = 2;
  Counters.HighMappings      = 6;
  Counters.Strays            = 1;
  Counters.WrongDirection    = 2;
  Counters.BusMasterOff      = 0;

  struct {
    SIM_DMA_FAULT    Fault;
    const char       *Expected;
  } const  Faults[] = {
    { { SIM_DMA_FAULT_KIND::STRAY, FALSE, 0x40001000, 64, 0 }, "ctl 2 dma-fault 4 stray read at 40001000 len 64\n" },
    { { SIM_DMA_FAULT_KIND::WRONG_DIRECTION, TRUE, 0x800000010ull, 1, 0 }, "ctl 2 dma-fault 4 wrong-direction write at 800000010 len 1\n" },
    { { SIM_DMA_FAULT_KIND::BUS_MASTER_OFF, TRUE, 0, 2048, 0 }, "ctl 2 dma-fault 4 bus-master-off write at 0 len 2048\n" },
  };

  EXPECT_EQ (
    "ctl 2 dma protected attributes 8700 initially 700 maps 12 unmaps 11 live 1 buffers 3 freed 2 high 6\n",
    Text ([&](SIM_TEXT Line) { return SimDmaText (Line, 2, 0x8700, 0x700, &Counters, 1); })
    );
  for (const auto &Case : Faults) {
    EXPECT_EQ (Case.Expected, Text ([&](SIM_TEXT Line) { return SimDmaFaultText (Line, 2, 4, &Case.Fault); }));
  }

  EXPECT_EQ (
    "ctl 2 dma-faults stray 1 wrong-direction 2 bus-master-off 0\n",
    Text ([&](SIM_TEXT Line) { return SimDmaFaultsText (Line, 2, &Counters); })
    );
}

TEST (SIM_JOURNAL_TEXT_TEST, AccessForms) {
  struct {
    SIM_ACCESS_KIND    Kind;
    BOOLEAN            Hit;
    UINT64             Offset;
    UINT32             Register;
    UINT32             Value;
    const char         *Expected;
  } const  Cases[] = {
    { SIM_ACCESS_KIND::MEM_WRITE, TRUE,  0xC4,           0xC4, 1,          "W C4=00000001" },
    { SIM_ACCESS_KIND::IO_WRITE,  TRUE,  0x2C,           0x2C, 0xDEADDEAD, "W 2C=DEADDEAD" },
    { SIM_ACCESS_KIND::IO_READ,   TRUE,  0xB0,           0xB0, 0xB0000000, "R B0" },
    { SIM_ACCESS_KIND::MEM_READ,  FALSE, 0x4FE0000B0ull, 0,    0,          "stray kind 2 offset 4fe0000b0" },
    { SIM_ACCESS_KIND::PCI_READ,  TRUE,  0,              0,    0x0C311000, "kind 4" },
  };

  for (const auto &Case : Cases) {
    SIM_ACCESS_RECORD  Access = {};

    Access.Kind     = Case.Kind;
    Access.Hit      = Case.Hit;
    Access.Offset   = Case.Offset;
    Access.Register = Case.Register;
    Access.Value    = Case.Value;
    EXPECT_EQ (Case.Expected, Text ([&](SIM_TEXT Line) { return SimAccessText (Line, &Access); }));
  }
}

TEST (SIM_JOURNAL_TEXT_TEST, AShortBufferGetsTheStartOfTheLineAndNothingBeyond) {
  SIM_FRAME_RECORD  Record = Frame ();

  for (UINTN Size : { 0, 1, 2, 9, 20 }) {
    std::vector<CHAR8>  Buffer (Size + 8, '#');
    UINTN               Length = SimFrameText ({ Buffer.data (), Size }, 3, 17, &Record, FALSE);

    if (Size == 0) {
      EXPECT_EQ (0u, Length);
      EXPECT_EQ ('#', Buffer[0]) << "nothing written";
      continue;
    }

    EXPECT_EQ (Size - 1, Length) << Size;
    EXPECT_EQ (std::string ("ctl 3 frame 17 op 03040000").substr (0, Size - 1), std::string (Buffer.data ())) << Size;
    EXPECT_EQ (std::string (8, '#'), std::string (Buffer.data () + Size, 8)) << "nothing past the buffer, size " << Size;
  }
}

} // namespace
