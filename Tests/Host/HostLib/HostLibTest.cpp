/** @file
  Tests of the host harness itself: that printing formats as the firmware's
  print library does, that Stall drives the virtual clock and its listeners,
  that the tracked pool catches leaks, double frees and injected failures,
  and that the handle database and assertions behave as the tests rely on.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <gtest/gtest-spi.h>

#include "HostAutoGen.h"
#include "HostTest.h"
#include "HostClock.h"
#include "HostConsole.h"
#include "HostDebugLib.h"
#include "HostHandleDatabase.h"
#include "HostHarness.h"
#include "HostMemoryAllocationLib.h"

extern "C" {
#include <Library/BaseLib.h>
#include <Library/DebugLib.h>
#include <Library/MemoryAllocationLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>
}

#define W(Literal)  (reinterpret_cast<CONST CHAR16 *> (u"" Literal))

using HOST_LIB = HOST_TEST;

//
// Printing
//

TEST_F (HOST_LIB, AsciiPrintFormatsAsTheFirmwareDoes) {
  AsciiPrint ("%-5d|%-13a|%-6x|\n", 7, "abc", 0x1A3);
  AsciiPrint ("%x %X %08x %lx %d %u\n", 0xbeef, 0xbeef, 0x1a3, 0x123456789ABCull, -5, 4000000000u);
  AsciiPrint ("%s|%a|%c|%%\n", W ("wide"), "narrow", 'Z');

  EXPECT_EQ (
    "7    |abc          |1A3   |\n"
    "BEEF BEEF 000001A3 123456789ABC -5 4000000000\n"
    "wide|narrow|Z|%\n",
    HostConsoleText ()
    );
}

TEST_F (HOST_LIB, TheConsoleGetsCarriageReturnsBeforeLineFeeds) {
  AsciiPrint ("\nInvalid arguments ..");
  Print (W ("a\nb\n"));

  EXPECT_EQ ("\r\nInvalid arguments ..a\r\nb\r\n", HostConsoleRawText ());
  EXPECT_EQ ("\nInvalid arguments ..a\nb\n", HostConsoleText ());
}

TEST_F (HOST_LIB, PrintTakesACHAR16FormatAndNarrowsTheCapture) {
  EXPECT_EQ (6u, Print (W ("%a=%d\n"), "x", 42));   // "x=42\r\n"
  Print (W ("\x0141"));                              // only the low byte is kept

  EXPECT_EQ (std::string ("x=42\nA"), HostConsoleText ());
}

TEST_F (HOST_LIB, PrintSendsAtMostTheBufferSize) {
  std::string  Long (_PCD_VALUE_PcdUefiLibMaxPrintBufferSize + 80, 'a');

  AsciiPrint ("%a", Long.c_str ());

  EXPECT_EQ (std::string (_PCD_VALUE_PcdUefiLibMaxPrintBufferSize, 'a'), HostConsoleText ());
}

TEST_F (HOST_LIB, ConsoleClearForgetsEarlierText) {
  AsciiPrint ("first");
  HostConsoleClear ();
  AsciiPrint ("second");

  EXPECT_EQ ("second", HostConsoleText ());
}

TEST_F (HOST_LIB, BaseLibStringsComeFromTheFirmwareSources) {
  EXPECT_EQ (0, StrCmp (W ("force"), W ("force")));
  EXPECT_NE (0, StrCmp (W ("Force"), W ("force")));
  EXPECT_EQ (0, AsciiStrCmp ("abc", "abc"));
  EXPECT_EQ (5u, StrLen (W ("abcde")));
  EXPECT_EQ (3u, AsciiStrLen ("abc"));
}

//
// Virtual clock
//

namespace {

struct LISTENER_LOG {
  std::vector<UINT64>    Times;
};

VOID
RecordTime (
  VOID    *Context,
  UINT64  NowMicroseconds
  )
{
  static_cast<LISTENER_LOG *> (Context)->Times.push_back (NowMicroseconds);
}

} // namespace

TEST_F (HOST_LIB, StallAdvancesTheClockAndCallsListenersAfterwards) {
  LISTENER_LOG  Log;

  HostClockAddListener (RecordTime, &Log);
  gBS->Stall (200000);
  gBS->Stall (1000);
  HostClockRemoveListener (RecordTime, &Log);
  gBS->Stall (5);

  EXPECT_EQ (201005u, HostClockNow ());
  EXPECT_EQ ((std::vector<UINT64> { 200000, 201000 }), Log.Times);
  EXPECT_EQ (3u, HostStallCount ());
  EXPECT_EQ (1u, HostStallCountOf (1000));
  EXPECT_EQ (0u, HostStallCountOf (7));
}

TEST_F (HOST_LIB, ResetSetsTheClockBackAndDropsListeners) {
  LISTENER_LOG  Log;

  HostClockAddListener (RecordTime, &Log);
  gBS->Stall (10);
  HostReset ();
  gBS->Stall (10);

  EXPECT_EQ (10u, HostClockNow ());
  EXPECT_EQ (1u, Log.Times.size ());
}

TEST (HOST_LIB_DEATH, AStallLoopPastTheLimitAbortsTheTest) {
  HostReset ();
  HostClockSetLimits (1000000, 100);
  EXPECT_DEATH (
    {
    for ( ; ;) {
      gBS->Stall (1000);
    }
  },
    "Stall limit passed"
    );
}

//
// Pool
//

TEST_F (HOST_LIB, PoolTracksOutstandingAndPeakBytes) {
  VOID  *First  = AllocatePool (100);
  VOID  *Second = AllocateZeroPool (28);

  ASSERT_NE (nullptr, First);
  ASSERT_NE (nullptr, Second);
  EXPECT_EQ (0, ((UINT8 *)Second)[27]);
  EXPECT_NE (0, ((UINT8 *)First)[0]);   // plain pool is not zeroed
  EXPECT_EQ (2u, HostPoolOutstandingCount ());
  EXPECT_EQ (128u, HostPoolOutstandingBytes ());
  FreePool (First);
  EXPECT_EQ (28u, HostPoolOutstandingBytes ());
  FreePool (Second);
  EXPECT_EQ (0u, HostPoolOutstandingCount ());
  EXPECT_EQ (128u, HostPoolPeakBytes ());
}

TEST_F (HOST_LIB, ALeakedAllocationFailsTheTest) {
  VOID  *Leaked = AllocateZeroPool (48);

  EXPECT_NONFATAL_FAILURE (TearDown (), "leaked pool block #1 of 48 bytes");
  (VOID)Leaked;   // TearDown released it
}

TEST_F (HOST_LIB, ADeliberateBlockIsNoLeak) {
  VOID  *Kept = AllocateZeroPool (320);

  HostPoolDeclareDeliberate (Kept);
  EXPECT_TRUE (HostPoolLeakReport ().empty ());
  HostPoolFreeDeliberate ();
  EXPECT_FALSE (HostPoolIsAllocated (Kept));
}

TEST_F (HOST_LIB, DoubleFreeAndForeignPointersFailTheTest) {
  VOID  *Buffer = AllocatePool (8);
  UINT8 Local;

  FreePool (Buffer);
  EXPECT_NONFATAL_FAILURE (FreePool (Buffer), "not an outstanding block");
  EXPECT_NONFATAL_FAILURE (FreePool (&Local), "not an outstanding block");
  EXPECT_NONFATAL_FAILURE (FreePool (NULL), "not an outstanding block");
}

TEST_F (HOST_LIB, FaultInjectionFailsTheNthAllocationOnly) {
  HostPoolFailNth (2);
  VOID  *First  = AllocateZeroPool (1);
  VOID  *Second = AllocateZeroPool (1);
  VOID  *Third  = AllocatePool (1);

  EXPECT_NE (nullptr, First);
  EXPECT_EQ (nullptr, Second);
  EXPECT_NE (nullptr, Third);
  EXPECT_EQ (3u, HostPoolAllocationCount ());
  EXPECT_EQ (1u, HostPoolFailedCount ());
  FreePool (First);
  FreePool (Third);

  HostPoolFailAll (TRUE);
  VOID  *Pool = NULL;

  EXPECT_EQ (nullptr, AllocateZeroPool (1));
  EXPECT_EQ (EFI_OUT_OF_RESOURCES, gBS->AllocatePool (EfiBootServicesData, 4, &Pool));
  HostPoolFailAll (FALSE);
  EXPECT_EQ (EFI_SUCCESS, gBS->AllocatePool (EfiBootServicesData, 4, &Pool));
  gBS->FreePool (Pool);
}

//
// Handle database
//

TEST_F (HOST_LIB, LocateHandleBufferListsPciIoHandlesInOrder) {
  EFI_PCI_IO_PROTOCOL  PciIo[2] = {};
  EFI_HANDLE           First    = HostAddPciIoHandle (&PciIo[0]);
  EFI_HANDLE           Second   = HostAddPciIoHandle (&PciIo[1], EFI_ALREADY_STARTED);
  UINTN                Count    = 0;
  EFI_HANDLE           *Buffer  = NULL;

  ASSERT_EQ (EFI_SUCCESS, gBS->LocateHandleBuffer (ByProtocol, &gEfiPciIoProtocolGuid, NULL, &Count, &Buffer));
  ASSERT_EQ (2u, Count);
  EXPECT_EQ (First, Buffer[0]);
  EXPECT_EQ (Second, Buffer[1]);
  FreePool (Buffer);

  VOID  *Interface = NULL;

  EXPECT_EQ (
    EFI_ALREADY_STARTED,
    gBS->OpenProtocol (Second, &gEfiPciIoProtocolGuid, &Interface, gImageHandle, NULL, EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL)
    );
  EXPECT_EQ (&PciIo[1], Interface);

  HostSetOpenProtocolStatus (First, EFI_ACCESS_DENIED);
  EXPECT_EQ (
    EFI_ACCESS_DENIED,
    gBS->OpenProtocol (First, &gEfiPciIoProtocolGuid, &Interface, gImageHandle, NULL, EFI_OPEN_PROTOCOL_GET_PROTOCOL)
    );
  EXPECT_EQ (nullptr, Interface);

  ASSERT_EQ (2u, HostOpenProtocolCalls ().size ());
  EXPECT_EQ (gImageHandle, HostOpenProtocolCalls ()[0].AgentHandle);
  EXPECT_EQ (static_cast<UINT32> (EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL), HostOpenProtocolCalls ()[0].Attributes);
  EXPECT_EQ (static_cast<UINT32> (EFI_OPEN_PROTOCOL_GET_PROTOCOL), HostOpenProtocolCalls ()[1].Attributes);
}

TEST_F (HOST_LIB, LocateHandleBufferFailsWithoutHandlesOrOnInjection) {
  UINTN       Count  = 7;
  EFI_HANDLE  *Buffer = NULL;

  EXPECT_EQ (EFI_NOT_FOUND, gBS->LocateHandleBuffer (ByProtocol, &gEfiPciIoProtocolGuid, NULL, &Count, &Buffer));
  EXPECT_EQ (0u, Count);
  EXPECT_EQ (nullptr, Buffer);

  EFI_PCI_IO_PROTOCOL  PciIo = {};

  HostAddPciIoHandle (&PciIo);
  HostSetLocateHandleStatus (EFI_DEVICE_ERROR);
  EXPECT_EQ (EFI_DEVICE_ERROR, gBS->LocateHandleBuffer (ByProtocol, &gEfiPciIoProtocolGuid, NULL, &Count, &Buffer));
  EXPECT_EQ (nullptr, Buffer);
}

//
// Assertions
//

TEST_F (HOST_LIB, AnUnexpectedAssertionFailsTheTest) {
  ASSERT (1 == 2);

  EXPECT_NE (std::string::npos, HostConsoleText ().find ("): 1 == 2\n"));
  EXPECT_EQ (0u, HostConsoleText ().find ("ASSERT "));
  EXPECT_NONFATAL_FAILURE (TearDown (), "ASSERT fired without being expected");
  HostExpectAssertions ();   // for the TearDown that follows the test
}

TEST_F (HOST_LIB, AnExpectedAssertionIsRecordedOnly) {
  HostExpectAssertions ();
  BitFieldRead32 (0xFF, 5, 3);   // EDK II's own BaseLib asserts StartBit <= EndBit

  ASSERT_EQ (1u, HostAssertions ().size ());
  EXPECT_NE (std::string::npos, HostAssertions ()[0].FileName.find ("BitField.c"));
}
