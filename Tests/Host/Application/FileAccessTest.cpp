/** @file
  Tests of the file layer: opening in the eight modes, the 20 slots, reads,
  sizes, closes, name widening and LoadWholeFile with its messages. Files
  live in the host ShellLib's temporary directory.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "HostTest.h"
#include "HostClock.h"
#include "HostConsole.h"
#include "HostMemoryAllocationLib.h"
#include "HostShellLib.h"

#include <cstring>
#include <filesystem>

#include "Application/FileAccess.h"

namespace {

constexpr UINT64  MODE_R   = 0x0000000000000001ull;
constexpr UINT64  MODE_RW  = 0x0000000000000003ull;
constexpr UINT64  MODE_RWC = 0x8000000000000003ull;

std::vector<UINT8>
Bytes (
  UINTN  Count,
  UINT8  First = 1
  )
{
  std::vector<UINT8>  Result (Count);

  for (UINTN Index = 0; Index < Count; Index++) {
    Result[Index] = static_cast<UINT8> (First + Index);
  }

  return Result;
}

std::vector<UINT64>
OpenModes (
  )
{
  std::vector<UINT64>  Modes;

  for (const HOST_SHELL_OPEN_CALL &Call : HostShellOpenCalls ()) {
    Modes.push_back (Call.OpenMode);
  }

  return Modes;
}

EFI_STATUS
EFIAPI
NoEvent (
  UINT32            Type,
  EFI_TPL           NotifyTpl,
  EFI_EVENT_NOTIFY  NotifyFunction,
  VOID              *NotifyContext,
  EFI_EVENT         *Event
  )
{
  return EFI_OUT_OF_RESOURCES;
}

class FileAccess : public HOST_TEST {
protected:
  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    HostShellReset ();
    std::memset (mFileSlots, 0, sizeof (mFileSlots));
  }

  void
  TearDown (
    ) override
  {
    EXPECT_EQ (HostShellOpenFileCount (), 0u) << "the file layer left a file open";
    HostShellReset ();
    HOST_TEST::TearDown ();
  }

  static UINTN
  SlotsInUse (
    )
  {
    UINTN  Count = 0;

    for (const FILE_SLOT &Slot : mFileSlots) {
      Count += (Slot.Id != 0) ? 1 : 0;
    }

    return Count;
  }
};

//
// ---------------------------------------------------------------------------
// LoadWholeFile
// ---------------------------------------------------------------------------
//

TEST_F (FileAccess, LoadMissingFileReportsTheName) {
  UINT32  Size = 0xDEAD;

  EXPECT_EQ (LoadWholeFile ("missing.img", &Size), nullptr);
  EXPECT_EQ (HostConsoleText (), "\nopen failed :missing.img");
  EXPECT_EQ (Size, 0xDEADu);
  EXPECT_EQ (SlotsInUse (), 0u);
}

TEST_F (FileAccess, LoadEmptyFileIsRefusedAndClosed) {
  UINT32  Size = 0xDEAD;

  HostShellWriteFile ("empty.img", {});

  EXPECT_EQ (LoadWholeFile ("empty.img", &Size), nullptr);
  EXPECT_EQ (HostConsoleText (), "\nZero sized file");
  EXPECT_EQ (Size, 0xDEADu);
  EXPECT_EQ (SlotsInUse (), 0u);
  EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Read), 0u);
}

TEST_F (FileAccess, LoadTenByteFileGivesElevenZeroTerminatedBytes) {
  UINT32  Size = 0;

  HostShellWriteFile ("ten.img", Bytes (10, 0x41));

  UINT8  *Buffer = static_cast<UINT8 *> (LoadWholeFile ("ten.img", &Size));

  ASSERT_NE (Buffer, nullptr);
  EXPECT_EQ (Size, 10u);
  ASSERT_EQ (HostPoolBlocks ().size (), 1u);
  EXPECT_EQ (HostPoolBlocks ()[0].Size, 11u);
  EXPECT_EQ (std::vector<UINT8> (Buffer, Buffer + 10), Bytes (10, 0x41));
  EXPECT_EQ (Buffer[10], 0);
  EXPECT_EQ (HostShellOpenCalls ().at (0).OpenMode, MODE_R);
  EXPECT_EQ (HostShellReadRequests (), std::vector<UINTN> ({ 10 }));   // a small file is one read
  EXPECT_EQ (HostConsoleText (), "");
  EXPECT_EQ (SlotsInUse (), 0u);
  FreePool (Buffer);

  //
  // FileSize may be NULL.
  //
  Buffer = static_cast<UINT8 *> (LoadWholeFile ("ten.img", NULL));
  ASSERT_NE (Buffer, nullptr);
  FreePool (Buffer);
}

TEST_F (FileAccess, LoadRefusesFilesOfTwoGigabytesOrMoreWithoutReading) {
  struct {
    UINT64         ShellSize;
    CONST char     *Message;
  } CONST  Cases[] = {
    { 0x7FFFFFFFull,  "\nfile buffer allocation failed : 0x7FFFFFFF" },
    { 0x80000000ull,  "\nfile buffer allocation failed : 0x80000000" },
    { 0xFFFFFFFFull,  "\nfile buffer allocation failed : 0xFFFFFFFF" },
    //
    // 4 GiB and more: the low 32 bits (0 and 0x10) must not pass for an
    // empty or a tiny file; the message shows the size held at 0xFFFFFFFF.
    //
    { 0x100000000ull, "\nfile buffer allocation failed : 0xFFFFFFFF" },
    { 0x100000010ull, "\nfile buffer allocation failed : 0xFFFFFFFF" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.ShellSize);
    HostShellReset ();
    HostConsoleClear ();
    HostShellWriteFile ("big.img", Bytes (16));
    HostShellFakeFileSize (Case.ShellSize);

    UINT64  AllocationsBefore = HostPoolAllocationCount ();
    UINT32  Size              = 0xDEAD;

    EXPECT_EQ (LoadWholeFile ("big.img", &Size), nullptr);
    EXPECT_EQ (HostConsoleText (), Case.Message);
    EXPECT_EQ (Size, 0xDEADu);
    EXPECT_EQ (HostPoolAllocationCount () - AllocationsBefore, 1u) << "only the file record is allocated";
    EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Read), 0u);
    EXPECT_EQ (HostShellOpenFileCount (), 0u);
    EXPECT_EQ (SlotsInUse (), 0u);
  }
}

TEST_F (FileAccess, LoadTriesTheBufferJustBelowTheLimit) {
  //
  // 2^31 - 2 bytes still get an allocation attempt of 2^31 - 1 bytes; it is
  // made to fail here so that the test allocates nothing that large.
  //
  HostShellWriteFile ("big.img", Bytes (16));
  HostShellFakeFileSize (0x7FFFFFFEull);
  HostPoolFailNth (2);

  EXPECT_EQ (LoadWholeFile ("big.img", NULL), nullptr);
  EXPECT_EQ (HostPoolFailedCount (), 1u);
  EXPECT_EQ (HostConsoleText (), "\nfile buffer allocation failed : 0x7FFFFFFE");
  EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Read), 0u);
}

TEST_F (FileAccess, LoadReportsAFailedBufferAllocationAndCloses) {
  HostShellWriteFile ("ten.img", Bytes (10));
  HostPoolFailNth (2);   // the record is the first allocation, the buffer the second

  EXPECT_EQ (LoadWholeFile ("ten.img", NULL), nullptr);
  EXPECT_EQ (HostConsoleText (), "\nfile buffer allocation failed : 0xA");
  EXPECT_EQ (SlotsInUse (), 0u);
}

TEST_F (FileAccess, LoadRefusesAFileThatWasNotReadWhole) {
  //
  // The zeros left for the bytes not read must never reach a controller:
  // the load fails, the buffer is freed and the file closed, and each
  // failure is reported once.
  //
  struct {
    CONST char    *Name;
    BOOLEAN       Fails;            ///< the read itself fails (else it is short)
    UINTN         BytesOnFailure;   ///< the byte count a failed read reports
    CONST char    *Message;
  } CONST  Cases[] = {
    { "failed read",                          TRUE,  4,  "\nFile read ERROR !!!\n" },
    { "failed read that reports every byte",  TRUE,  10, "\nFile read ERROR !!!\n" },
    { "short read",                           FALSE, 0,  "\nfile read incomplete : 0xA bytes expected" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    HostShellReset ();
    HostConsoleClear ();
    HostShellWriteFile ("ten.img", Bytes (10, 0x41));
    if (Case.Fails) {
      HostShellFail (HOST_SHELL_CALL::Read, EFI_DEVICE_ERROR);
      HostShellSetReadBytesOnFailure (Case.BytesOnFailure);
    } else {
      HostShellSetShortRead (6);
    }

    UINT32  Size = 0xA5A5A5A5;

    EXPECT_EQ (LoadWholeFile ("ten.img", &Size), nullptr);
    EXPECT_EQ (Size, 0xA5A5A5A5u);
    EXPECT_EQ (HostConsoleText (), Case.Message);
    EXPECT_EQ (SlotsInUse (), 0u);
    EXPECT_EQ (HostShellOpenFileCount (), 0u);
  }
}

TEST_F (FileAccess, AFileIsReadInPiecesOfAtMostOneMebibyte) {
  const UINTN  Size = 2 * LOAD_PIECE_SIZE + 7;

  HostShellWriteFile ("big.img", Bytes (Size, 3));

  UINT32  Loaded = 0;
  UINT8   *Buffer = static_cast<UINT8 *> (LoadWholeFile ("big.img", &Loaded));

  ASSERT_NE (Buffer, nullptr);
  EXPECT_EQ (Loaded, Size);
  EXPECT_EQ (HostShellReadRequests (), std::vector<UINTN> ({ LOAD_PIECE_SIZE, LOAD_PIECE_SIZE, 7 }));
  EXPECT_TRUE (std::vector<UINT8> (Buffer, Buffer + Size) == Bytes (Size, 3));
  EXPECT_EQ (Buffer[Size], 0);
  FreePool (Buffer);
}

TEST_F (FileAccess, TheHeadIsReadAndCheckedBeforeTheRestOfTheFile) {
  const std::vector<UINT8>  Head = { 'H', 'E', 'A', 'D', 0 };
  const UINTN               Big  = LOAD_PIECE_SIZE + 100;

  std::vector<UINT8>  Good = Bytes (Big, 9);
  std::vector<UINT8>  Bad  = Good;

  std::copy (Head.begin (), Head.end (), Good.begin ());
  std::copy (Head.begin (), Head.end (), Bad.begin ());
  Bad[4] = 1;   // the head's last byte differs

  struct {
    CONST char            *Name;
    std::vector<UINT8>    File;
    BOOLEAN               Loaded;
    std::vector<UINTN>    Reads;
  } CONST  Cases[] = {
    { "head, then the rest",       Good,                                        TRUE,  { 5, LOAD_PIECE_SIZE, 95 } },
    { "the head alone",            Head,                                        TRUE,  { 5 } },
    { "another head",              Bad,                                         FALSE, { 5 } },
    { "shorter than the head",     std::vector<UINT8> (Head.begin (), Head.begin () + 4), FALSE, { 4 } },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    HostShellReset ();
    HostShellWriteFile ("f.img", Case.File);

    UINT32   Size    = 0xA5A5A5A5;
    BOOLEAN  Differs = 7;
    UINT8    *Buffer = static_cast<UINT8 *> (LoadFileWithHead ("f.img", Head.data (), 5, &Size, &Differs));

    EXPECT_EQ (HostShellReadRequests (), Case.Reads);
    EXPECT_EQ (HostConsoleText (), "") << "the caller says what another head means";
    EXPECT_EQ (SlotsInUse (), 0u);
    if (Case.Loaded) {
      ASSERT_NE (Buffer, nullptr);
      EXPECT_FALSE (Differs);
      EXPECT_EQ (Size, Case.File.size ());
      EXPECT_TRUE (std::vector<UINT8> (Buffer, Buffer + Size) == Case.File);
      FreePool (Buffer);
    } else {
      EXPECT_EQ (Buffer, nullptr);
      EXPECT_TRUE (Differs);
      EXPECT_EQ (Size, 0xA5A5A5A5u);
      EXPECT_EQ (HostPoolBlocks ().size (), 0u) << "the buffer is freed";
    }
  }

  //
  // A file that cannot be read is no head that differs.
  //
  BOOLEAN  Differs = TRUE;

  HostConsoleClear ();
  EXPECT_EQ (LoadFileWithHead ("missing.img", Head.data (), 5, NULL, &Differs), nullptr);
  EXPECT_FALSE (Differs);
  EXPECT_EQ (HostConsoleText (), "\nopen failed :missing.img");
}

TEST_F (FileAccess, AReadThatTakesLongSaysHowFarItHasGot) {
  //
  // 12 MiB from media of different speeds: a notice once 5 s have passed,
  // then every 30 s, each after the piece during which it fell due.
  //
  const UINTN  Size = 12 * LOAD_PIECE_SIZE;

  struct {
    CONST char     *Name;
    UINT64         BytesPerSecond;
    std::string    Notices;
  } CONST  Cases[] = {
    { "instant",             0,                    "" },
    { "4 MiB/s: 3 s",        4 * LOAD_PIECE_SIZE,  "" },
    { "1 MiB/s: 12 s",       LOAD_PIECE_SIZE,      "\nReading big.img: 5 MiB of 12 MiB so far, please wait." },
    { "256 KiB/s: 48 s",     LOAD_PIECE_SIZE / 4,  "\nReading big.img: 2 MiB of 12 MiB so far, please wait."
                                                   "\nReading big.img: 10 MiB of 12 MiB so far, please wait." },
  };

  HostShellWriteFile ("big.img", Bytes (Size));
  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    HostConsoleClear ();
    HostShellSetReadRate (Case.BytesPerSecond);

    VOID  *Buffer = LoadWholeFile ("big.img", NULL);

    ASSERT_NE (Buffer, nullptr);
    FreePool (Buffer);
    EXPECT_EQ (HostConsoleText (), Case.Notices);
    EXPECT_EQ (HostOpenEventCount (), 0u) << "the timer is closed";
  }
}

TEST_F (FileAccess, WithoutATimerTheReadGoesOnSilently) {
  //
  // Firmware that refuses the timer event: the file is still read whole.
  //
  HostShellWriteFile ("big.img", Bytes (3 * LOAD_PIECE_SIZE));
  HostShellSetReadRate (LOAD_PIECE_SIZE / 4);
  gBS->CreateEvent = NoEvent;

  UINT32  Size   = 0;
  VOID    *Buffer = LoadWholeFile ("big.img", &Size);

  ASSERT_NE (Buffer, nullptr);
  EXPECT_EQ (Size, 3 * LOAD_PIECE_SIZE);
  EXPECT_EQ (HostConsoleText (), "");
  FreePool (Buffer);
}

TEST_F (FileAccess, LoadTreatsAFailedSizeQueryAsAnEmptyFile) {
  HostShellWriteFile ("ten.img", Bytes (10));
  HostShellFail (HOST_SHELL_CALL::GetSize, EFI_DEVICE_ERROR);

  EXPECT_EQ (LoadWholeFile ("ten.img", NULL), nullptr);
  EXPECT_EQ (HostConsoleText (), "\nZero sized file");
}

//
// ---------------------------------------------------------------------------
// FileOpen: modes
// ---------------------------------------------------------------------------
//

TEST_F (FileAccess, OpenModesCallTheShellInOrder) {
  struct {
    CONST char             *Mode;
    BOOLEAN                Exists;
    BOOLEAN                Opens;
    std::vector<UINT64>    Modes;        ///< open modes passed, in order
    UINT32                 Deletes;
    UINT32                 Positions;    ///< ShellSetFilePosition calls
    UINTN                  SizeAfter;    ///< file size once closed; MAX_UINTN: no file
  } CONST  Cases[] = {
    { "r",  TRUE,  TRUE,  { MODE_R },             0, 0, 10        },
    { "rb", TRUE,  TRUE,  { MODE_R },             0, 0, 10        },
    { "r",  FALSE, FALSE, { MODE_R },             0, 0, MAX_UINTN },
    { "r+", TRUE,  TRUE,  { MODE_RW },            0, 0, 10        },
    { "r+", FALSE, FALSE, { MODE_RW },            0, 0, MAX_UINTN },
    { "a",  TRUE,  TRUE,  { MODE_RW },            0, 1, 10        },
    { "a+", TRUE,  TRUE,  { MODE_RW },            0, 1, 10        },
    { "a",  FALSE, TRUE,  { MODE_RW, MODE_RWC },  0, 1, 0         },
    { "a+", FALSE, TRUE,  { MODE_RW, MODE_RWC },  0, 1, 0         },
    { "w",  TRUE,  TRUE,  { MODE_RW, MODE_RWC },  1, 0, 0         },
    { "w+", TRUE,  TRUE,  { MODE_RW, MODE_RWC },  1, 0, 0         },
    { "wb", TRUE,  TRUE,  { MODE_RW, MODE_RWC },  1, 0, 0         },
    { "w",  FALSE, TRUE,  { MODE_RW, MODE_RWC },  0, 0, 0         },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (std::string ("mode \"") + Case.Mode + (Case.Exists ? "\" on an existing file" : "\" on a missing file"));
    HostShellReset ();
    if (Case.Exists) {
      HostShellWriteFile ("f.bin", Bytes (10));
    }

    FILE_RECORD  *File = FileOpen ("f.bin", Case.Mode);

    EXPECT_EQ (File != nullptr, Case.Opens);
    EXPECT_EQ (OpenModes (), Case.Modes);
    for (const HOST_SHELL_OPEN_CALL &Call : HostShellOpenCalls ()) {
      EXPECT_EQ (Call.Attributes, 0u);
    }

    EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Delete), Case.Deletes);
    EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::SetPosition), Case.Positions);
    if (File != nullptr) {
      EXPECT_EQ (File->Id, 1u);
      EXPECT_EQ (File->EndOfFile, 0u);
      EXPECT_EQ (HostShellPosition (LookupFileSlot (File)), (Case.Positions > 0) ? Case.SizeAfter : 0u);
      EXPECT_EQ (FileClose (File), 0);
    }

    EXPECT_EQ (SlotsInUse (), 0u);
    if (Case.SizeAfter == MAX_UINTN) {
      EXPECT_FALSE (HostShellFileExists ("f.bin"));
    } else {
      EXPECT_EQ (HostShellReadFileBytes ("f.bin").size (), Case.SizeAfter);
    }

    EXPECT_EQ (HostConsoleText (), "");
  }
}

TEST_F (FileAccess, UnknownModesAreRefusedWithAMessage) {
  CONST char  *Modes[] = { "R", "RB", "R+", "A", "A+", "W", "W+", "WB", "", "rw", "ab", "r ", "wb+" };

  HostShellWriteFile ("f.bin", Bytes (10));
  for (CONST char *Mode : Modes) {
    SCOPED_TRACE (std::string ("mode \"") + Mode + "\"");
    HostConsoleClear ();
    EXPECT_EQ (FileOpen ("f.bin", Mode), nullptr);
    EXPECT_EQ (HostConsoleText (), "\nError: Unsupported File Open Mode\n");
    EXPECT_EQ (SlotsInUse (), 0u);
  }

  EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Open), 0u);
  EXPECT_EQ (HostPoolAllocationCount (), 0u);
}

TEST_F (FileAccess, AppendPositionsAtTheEndOfTheFile) {
  UINT8  Buffer[4];

  HostShellWriteFile ("f.bin", Bytes (10));

  FILE_RECORD  *File = FileOpen ("f.bin", "a");

  ASSERT_NE (File, nullptr);
  EXPECT_EQ (FileRead (Buffer, 1, sizeof (Buffer), File), 0u);
  EXPECT_EQ (File->EndOfFile, 1u);
  EXPECT_EQ (FileClose (File), 0);
}

TEST_F (FileAccess, FailedShellCallsLeaveNothingOpen) {
  struct {
    CONST char         *Name;
    CONST char         *Mode;
    HOST_SHELL_CALL    Call;
    EFI_STATUS         Status;
    UINT32             Skip;
    UINT32             Opens;          ///< open calls made
    BOOLEAN            FileSurvives;   ///< the existing file is still there
  } CONST  Cases[] = {
    //
    // Only EFI_NOT_FOUND from a first open leads to a second one.
    //
    { "read open fails",            "r", HOST_SHELL_CALL::Open,        EFI_ACCESS_DENIED,       0, 1, TRUE  },
    { "append open fails",          "a", HOST_SHELL_CALL::Open,        EFI_ACCESS_DENIED,       0, 1, TRUE  },
    { "append positioning fails",   "a", HOST_SHELL_CALL::SetPosition, EFI_DEVICE_ERROR,        0, 1, TRUE  },
    { "write first open fails",     "w", HOST_SHELL_CALL::Open,        EFI_ACCESS_DENIED,       0, 1, TRUE  },
    { "write delete fails",         "w", HOST_SHELL_CALL::Delete,      EFI_WARN_DELETE_FAILURE, 0, 1, TRUE  },
    { "write create fails",         "w", HOST_SHELL_CALL::Open,        EFI_VOLUME_FULL,         1, 2, FALSE },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    HostShellReset ();
    HostShellWriteFile ("f.bin", Bytes (10));
    HostShellFail (Case.Call, Case.Status, Case.Skip);

    EXPECT_EQ (FileOpen ("f.bin", Case.Mode), nullptr);
    EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Open), Case.Opens);
    EXPECT_EQ (HostShellOpenFileCount (), 0u);
    EXPECT_EQ (SlotsInUse (), 0u);
    EXPECT_EQ (HostPoolOutstandingCount (), 0u);
    EXPECT_EQ (HostShellFileExists ("f.bin"), Case.FileSurvives);
    EXPECT_EQ (HostConsoleText (), "");
  }
}

TEST_F (FileAccess, FailedRecordAllocationClosesTheFileAndClaimsNoSlot) {
  HostShellWriteFile ("f.bin", Bytes (10));
  HostPoolFailAll (TRUE);
  EXPECT_EQ (FileOpen ("f.bin", "r"), nullptr);
  HostPoolFailAll (FALSE);

  EXPECT_EQ (HostShellOpenFileCount (), 0u);
  EXPECT_EQ (SlotsInUse (), 0u);

  FILE_RECORD  *File = FileOpen ("f.bin", "r");

  ASSERT_NE (File, nullptr);
  EXPECT_EQ (File->Id, 1u);
  EXPECT_EQ (FileClose (File), 0);
}

//
// ---------------------------------------------------------------------------
// FileOpen: names
// ---------------------------------------------------------------------------
//

TEST_F (FileAccess, NamesAreWidenedWithTabsAsBlanks) {
  HostShellWriteFile ("my file.img", Bytes (3));

  FILE_RECORD  *File = FileOpen ("my\tfile.img", "r");

  ASSERT_NE (File, nullptr);
  EXPECT_EQ (HostShellOpenCalls ().at (0).Name, u"my file.img");
  EXPECT_EQ (FileClose (File), 0);
}

TEST_F (FileAccess, AsciiToUnicodeCopyWidensEveryByte) {
  struct {
    CONST char        *Source;
    std::u16string    Expected;
  } CONST  Cases[] = {
    { "",              u""                 },
    { "fw.img",        u"fw.img"           },
    { "\ta\tb\t",      u" a b "            },
    { "\x01\x7F\x80\xFF", u"\x0001\x007F\x0080\x00FF" },
  };

  for (const auto &Case : Cases) {
    CHAR16  Destination[16];

    std::memset (Destination, 0xCC, sizeof (Destination));
    EXPECT_EQ (AsciiToUnicodeCopy (Destination, Case.Source), Destination);
    EXPECT_EQ (std::u16string (reinterpret_cast<char16_t *> (Destination)), Case.Expected);
    EXPECT_EQ (Destination[Case.Expected.size () + 1], 0xCCCC) << "wrote past the terminator";
  }
}

TEST_F (FileAccess, NamesLongerThan259CharactersAreRefused) {
  //
  // 259 characters fit (through a directory: a single host file name is
  // limited to 255 bytes); 260 and more are refused before anything is
  // copied or opened.
  //
  std::string  Directory (200, 'd');
  std::string  Name259 = Directory + "/" + std::string (58, 'f');

  ASSERT_EQ (Name259.size (), 259u);
  std::filesystem::create_directory (HostShellPath (Directory));
  HostShellWriteFile (Name259, Bytes (4));

  FILE_RECORD  *File = FileOpen (Name259.c_str (), "r");

  ASSERT_NE (File, nullptr);
  EXPECT_EQ (FileClose (File), 0);

  for (UINTN Length : { 260u, 261u, 4000u }) {
    SCOPED_TRACE (Length);
    HostShellReset ();
    EXPECT_EQ (FileOpen (std::string (Length, 'n').c_str (), "w"), nullptr);
    EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Open), 0u);
    EXPECT_EQ (SlotsInUse (), 0u);
  }
}

//
// ---------------------------------------------------------------------------
// Slots and records
// ---------------------------------------------------------------------------
//

TEST_F (FileAccess, TwentyFilesOpenAtOnceAndAFreedSlotIsReused) {
  FILE_RECORD  *Files[MAX_OPEN_FILES];

  HostShellWriteFile ("f.bin", Bytes (10));
  for (UINT32 Index = 0; Index < MAX_OPEN_FILES; Index++) {
    Files[Index] = FileOpen ("f.bin", "r");
    ASSERT_NE (Files[Index], nullptr);
    EXPECT_EQ (Files[Index]->Id, Index + 1);
  }

  UINT32  OpensBefore = HostShellCallCount (HOST_SHELL_CALL::Open);

  EXPECT_EQ (FileOpen ("f.bin", "r"), nullptr);
  EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Open), OpensBefore) << "no shell call for the 21st open";
  EXPECT_EQ (HostConsoleText (), "");

  EXPECT_EQ (FileClose (Files[6]), 0);
  EXPECT_EQ (mFileSlots[6].Id, 0u);

  Files[6] = FileOpen ("f.bin", "r");
  ASSERT_NE (Files[6], nullptr);
  EXPECT_EQ (Files[6]->Id, 7u);
  EXPECT_EQ (mFileSlots[6].Id, 7u);
  EXPECT_EQ (LookupFileSlot (Files[6]), mFileSlots[6].Handle);

  for (FILE_RECORD *File : Files) {
    EXPECT_EQ (FileClose (File), 0);
  }

  EXPECT_EQ (SlotsInUse (), 0u);
}

TEST_F (FileAccess, CloseFailureKeepsTheSlotAndTheRecord) {
  HostShellWriteFile ("f.bin", Bytes (10));

  FILE_RECORD  *File = FileOpen ("f.bin", "r");

  ASSERT_NE (File, nullptr);
  HostShellFail (HOST_SHELL_CALL::Close, EFI_DEVICE_ERROR);
  EXPECT_EQ (FileClose (File), -1);
  EXPECT_EQ (mFileSlots[0].Id, 1u);
  EXPECT_TRUE (HostPoolIsAllocated (File));

  EXPECT_EQ (FileClose (File), 0);
  EXPECT_EQ (mFileSlots[0].Id, 0u);
  EXPECT_FALSE (HostPoolIsAllocated (File));
}

TEST_F (FileAccess, RecordsThatNameNoOpenSlotAreRefused) {
  UINT8  Buffer[4];

  HostShellWriteFile ("f.bin", Bytes (10));

  FILE_RECORD  *Open = FileOpen ("f.bin", "r");

  ASSERT_NE (Open, nullptr);

  //
  // Id 5 names a free slot; Id 0 is the mark of a free slot and must not
  // find one either.
  //
  for (UINT32 Id : { 5u, 0u, 21u }) {
    SCOPED_TRACE (Id);

    FILE_RECORD  Stray = { Id, 0 };

    EXPECT_EQ (FileRead (Buffer, 1, 4, &Stray), 5u);
    EXPECT_EQ (FileGetSize (&Stray), 0u);
    EXPECT_EQ (FileClose (&Stray), -1);
    EXPECT_EQ (LookupFileSlot (&Stray), nullptr);
  }

  EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Read), 0u);
  EXPECT_EQ (HostConsoleText (), "");
  EXPECT_EQ (FileClose (Open), 0);
}

//
// ---------------------------------------------------------------------------
// FileRead and FileGetSize
// ---------------------------------------------------------------------------
//

TEST_F (FileAccess, ReadCountsWholeElementsAndMarksTheEnd) {
  struct {
    UINTN    ElementSize;
    UINTN    Count;
    UINTN    Result;
    UINT32   EndOfFile;
  } CONST  Cases[] = {
    { 3, 4, 3, 1 },    // 12 bytes asked, 10 left: a partial element does not count
    { 5, 2, 2, 0 },
    { 1, 10, 10, 0 },
    { 10, 1, 1, 0 },
    { 11, 1, 0, 1 },
  };

  HostShellWriteFile ("f.bin", Bytes (10));
  for (const auto &Case : Cases) {
    SCOPED_TRACE (testing::Message () << Case.Count << " x " << Case.ElementSize);

    UINT8        Buffer[16] = { 0 };
    FILE_RECORD  *File      = FileOpen ("f.bin", "r");

    ASSERT_NE (File, nullptr);
    EXPECT_EQ (FileRead (Buffer, Case.ElementSize, Case.Count, File), Case.Result);
    EXPECT_EQ (File->EndOfFile, Case.EndOfFile);
    EXPECT_EQ (mFileSlots[0].ErrorFlag, 0u);
    EXPECT_EQ (HostShellReadRequests ().back (), Case.ElementSize * Case.Count);
    EXPECT_EQ (std::vector<UINT8> (Buffer, Buffer + 10), Bytes (10));
    EXPECT_EQ (FileClose (File), 0);
  }

  EXPECT_EQ (HostConsoleText (), "");
}

TEST_F (FileAccess, ReadFailureSetsTheErrorFlagAndReportsOnce) {
  UINT8  Buffer[12];

  HostShellWriteFile ("f.bin", Bytes (10));

  FILE_RECORD  *File = FileOpen ("f.bin", "r");

  ASSERT_NE (File, nullptr);
  HostShellFail (HOST_SHELL_CALL::Read, EFI_DEVICE_ERROR);
  HostShellSetReadBytesOnFailure (7);

  EXPECT_EQ (FileRead (Buffer, 3, 4, File), 2u);
  EXPECT_EQ (mFileSlots[0].ErrorFlag, 1u);
  EXPECT_EQ (File->EndOfFile, 0u);
  EXPECT_EQ (HostConsoleText (), "\nFile read ERROR !!!\n");
  EXPECT_EQ (FileClose (File), 0);

  //
  // The next open into the slot starts with a clear flag.
  //
  File = FileOpen ("f.bin", "r");
  ASSERT_NE (File, nullptr);
  EXPECT_EQ (mFileSlots[0].ErrorFlag, 0u);
  EXPECT_EQ (FileClose (File), 0);
}

TEST_F (FileAccess, ReadOfElementSizeZeroReadsNothing) {
  UINT8  Buffer[4];

  HostShellWriteFile ("f.bin", Bytes (10));

  FILE_RECORD  *File = FileOpen ("f.bin", "r");

  ASSERT_NE (File, nullptr);
  EXPECT_EQ (FileRead (Buffer, 0, 4, File), 0u);
  EXPECT_EQ (HostShellCallCount (HOST_SHELL_CALL::Read), 0u);
  EXPECT_EQ (FileClose (File), 0);
}

TEST_F (FileAccess, SizeIsTheLow32BitsOfTheShellSize) {
  HostShellWriteFile ("f.bin", Bytes (10));

  FILE_RECORD  *File = FileOpen ("f.bin", "r");

  ASSERT_NE (File, nullptr);
  EXPECT_EQ (FileGetSize (File), 10u);

  HostShellFakeFileSize (0x123456789ull);
  EXPECT_EQ (FileGetSize (File), 0x23456789u);

  HostShellFail (HOST_SHELL_CALL::GetSize, EFI_DEVICE_ERROR);
  EXPECT_EQ (FileGetSize (File), 0u);
  EXPECT_EQ (FileClose (File), 0);
}

} // namespace
