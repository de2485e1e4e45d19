/** @file
  Test-facing control of the host instances of the EDK II libraries and boot
  services: the virtual clock behind Stall, the handle database behind
  LocateHandleBuffer and OpenProtocol, the tracked pool, the captured console
  and the recorded assertions. Tests, the simulator, fuzzers and benchmarks
  include this header; product code never does.

  Every function here acts on process-wide state. HostReset () puts all of it
  back to the state of a freshly loaded image; the HOST_TEST fixture calls it
  before each test.
**/

#ifndef HOST_SERVICES_H_
#define HOST_SERVICES_H_

#include <cstdarg>
#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
#include <Protocol/PciIo.h>
#include <Library/UefiBootServicesTableLib.h>
}

//
// ---------------------------------------------------------------------------
// Whole state
// ---------------------------------------------------------------------------
//

/**
  Put every piece of host state back to its start: clock at 0 without
  listeners or limits changed from their defaults, no handles, no pool blocks
  (blocks still outstanding are released without a report), fault injection
  off, console and debug log empty, no assertion records, gBS, gST and gRT
  restored to the host tables.
**/
VOID
HostReset (
  VOID
  );

/**
  Report a fault that the harness detected (double free, a call that must not
  happen, a hang). Inside a GoogleTest test the test fails and goes on;
  outside of one the message goes to stderr and the process aborts.

  @param[in] Format  printf-style format (the host's printf, not EDK II's).
**/
VOID
HostReportFailure (
  IN CONST char  *Format,
  ...
  ) __attribute__ ((format (printf, 1, 2)));

//
// ---------------------------------------------------------------------------
// Virtual clock: Stall advances it and never sleeps
// ---------------------------------------------------------------------------
//

///
/// Called after every Stall, once the clock has advanced.
///
typedef VOID (*HOST_CLOCK_LISTENER)(
  VOID    *Context,
  UINT64  NowMicroseconds
  );

/**
  @return Microseconds of virtual time since the last reset.
**/
UINT64
HostClockNow (
  VOID
  );

/**
  Set the virtual clock back to 0 and forget the Stall statistics. The
  listeners stay registered.
**/
VOID
HostClockReset (
  VOID
  );

/**
  Register a listener; it is called after every Stall until it is removed or
  the host state is reset. The same pair may be registered once.

  @param[in] Listener  The function to call.
  @param[in] Context   Handed to Listener unchanged.
**/
VOID
HostClockAddListener (
  IN HOST_CLOCK_LISTENER  Listener,
  IN VOID                 *Context
  );

/**
  Remove a listener registered with the same pair. Removing a pair that is
  not registered (for instance after HostReset) does nothing.
**/
VOID
HostClockRemoveListener (
  IN HOST_CLOCK_LISTENER  Listener,
  IN VOID                 *Context
  );

/**
  @return Number of Stall calls since the last reset of the clock.
**/
UINT64
HostStallCount (
  VOID
  );

/**
  @param[in] Microseconds  A Stall duration.

  @return Number of Stall calls with exactly that duration since the last
          reset of the clock.
**/
UINT64
HostStallCountOf (
  IN UINTN  Microseconds
  );

/**
  Bound the virtual time and the number of Stall calls of one test. A product
  loop that runs past either bound is taken for a hang: the failure is
  reported and the process aborts (each test runs in its own process under
  CTest). Defaults: 48 hours and 50,000,000 calls; HostReset restores them.

  @param[in] MaxMicroseconds  Virtual time limit.
  @param[in] MaxStallCalls    Stall call limit.
**/
VOID
HostClockSetLimits (
  IN UINT64  MaxMicroseconds,
  IN UINT64  MaxStallCalls
  );

//
// ---------------------------------------------------------------------------
// Handle database: what LocateHandleBuffer and OpenProtocol see
// ---------------------------------------------------------------------------
//

/**
  Add a handle that carries EFI_PCI_IO_PROTOCOL. Handles are returned by
  LocateHandleBuffer in the order in which they were added.

  @param[in] PciIo       The interface that OpenProtocol hands out.
  @param[in] OpenStatus  What OpenProtocol returns for it. EFI_SUCCESS and
                         EFI_ALREADY_STARTED hand out the interface; any other
                         status hands out NULL.

  @return The new handle.
**/
EFI_HANDLE
HostAddPciIoHandle (
  IN EFI_PCI_IO_PROTOCOL  *PciIo,
  IN EFI_STATUS           OpenStatus = EFI_SUCCESS
  );

/**
  Change what OpenProtocol returns for a handle added before.
**/
VOID
HostSetOpenProtocolStatus (
  IN EFI_HANDLE  Handle,
  IN EFI_STATUS  OpenStatus
  );

/**
  Remove every handle.
**/
VOID
HostClearHandles (
  VOID
  );

/**
  Make LocateHandleBuffer fail with Status (no buffer, no count); EFI_SUCCESS
  returns it to normal.
**/
VOID
HostSetLocateHandleStatus (
  IN EFI_STATUS  Status
  );

///
/// One OpenProtocol call as the product made it.
///
struct HOST_OPEN_PROTOCOL_CALL {
  EFI_HANDLE    Handle;
  EFI_GUID      Protocol;
  EFI_HANDLE    AgentHandle;
  EFI_HANDLE    ControllerHandle;
  UINT32        Attributes;
  EFI_STATUS    Status;             ///< what was returned
  VOID          *Interface;         ///< what was handed out
};

/**
  @return Every OpenProtocol call since the last reset, in call order.
**/
CONST std::vector<HOST_OPEN_PROTOCOL_CALL> &
HostOpenProtocolCalls (
  VOID
  );

/**
  @return Number of LocateHandleBuffer calls since the last reset.
**/
UINT32
HostLocateHandleBufferCalls (
  VOID
  );

/**
  @return Number of CloseProtocol calls since the last reset.
**/
UINT32
HostCloseProtocolCalls (
  VOID
  );

//
// ---------------------------------------------------------------------------
// Pool memory: every block is tracked
// ---------------------------------------------------------------------------
//

///
/// One outstanding pool (or page) block.
///
struct HOST_POOL_BLOCK {
  VOID       *Buffer;
  UINTN      Size;
  UINT64     Serial;       ///< 1 for the first allocation after a reset
  BOOLEAN    Pages;        ///< allocated with AllocatePages
  BOOLEAN    Deliberate;   ///< declared with HostPoolDeclareDeliberate
};

/**
  @return Number of outstanding blocks (deliberate ones included).
**/
UINTN
HostPoolOutstandingCount (
  VOID
  );

/**
  @return Bytes of the outstanding blocks (deliberate ones included).
**/
UINTN
HostPoolOutstandingBytes (
  VOID
  );

/**
  @return Highest HostPoolOutstandingBytes since the last reset.
**/
UINTN
HostPoolPeakBytes (
  VOID
  );

/**
  @return Number of allocation attempts since the last reset, failed ones
          (injected or not) included.
**/
UINT64
HostPoolAllocationCount (
  VOID
  );

/**
  @return Number of allocations that failed by injection since the last
          reset.
**/
UINT64
HostPoolFailedCount (
  VOID
  );

/**
  Make the Nth allocation attempt from now fail (1: the next one); the
  attempts before and after it succeed. 0 cancels.
**/
VOID
HostPoolFailNth (
  IN UINT64  N
  );

/**
  Make every allocation fail (TRUE) until called with FALSE.
**/
VOID
HostPoolFailAll (
  IN BOOLEAN  Fail
  );

/**
  Declare a block that the product keeps on purpose (for example the frame
  of a request that timed out, which the controller may still write). It no
  longer counts as a leak; the test frees it itself with FreePool or
  HostPoolFreeDeliberate. Declaring an unknown pointer fails the test.
**/
VOID
HostPoolDeclareDeliberate (
  IN CONST VOID  *Buffer
  );

/**
  Free every block declared with HostPoolDeclareDeliberate.
**/
VOID
HostPoolFreeDeliberate (
  VOID
  );

/**
  @return TRUE when Buffer is the start of an outstanding block.
**/
BOOLEAN
HostPoolIsAllocated (
  IN CONST VOID  *Buffer
  );

/**
  @return The outstanding blocks in allocation order.
**/
std::vector<HOST_POOL_BLOCK>
HostPoolBlocks (
  VOID
  );

/**
  @return A description of every outstanding block that was not declared
          deliberate; empty when there is none.
**/
std::string
HostPoolLeakReport (
  VOID
  );

//
// ---------------------------------------------------------------------------
// Console (gST->ConOut and gST->StdErr, as Print, AsciiPrint and the
// assertion messages reach them) and the DEBUG () log
// ---------------------------------------------------------------------------
//

/**
  The print library, like the firmware's, sends every "\n" of a format as
  "\r\n". This view folds each "\r\n" back to "\n", so that the text
  compares directly with the messages as the code writes them.

  @return Everything written to the console since the last clear, each
          CHAR16 narrowed to its low 8 bits, "\r\n" folded to "\n".
**/
std::string
HostConsoleText (
  VOID
  );

/**
  @return Everything written to the console since the last clear, each
          CHAR16 narrowed to its low 8 bits, exactly as it was sent.
**/
std::string
HostConsoleRawText (
  VOID
  );

/**
  Forget the captured console text.
**/
VOID
HostConsoleClear (
  VOID
  );

/**
  @return Everything DEBUG () printed since the last reset (all error
          levels; it does not reach the console).
**/
std::string
HostDebugLogText (
  VOID
  );

//
// ---------------------------------------------------------------------------
// Assertions (ASSERT () of the product and of the EDK II libraries)
// ---------------------------------------------------------------------------
//

///
/// One DebugAssert call.
///
struct HOST_ASSERTION {
  std::string    FileName;
  UINTN          LineNumber;
  std::string    Description;
};

/**
  @return Every assertion that fired since the last reset, in order.
**/
CONST std::vector<HOST_ASSERTION> &
HostAssertions (
  VOID
  );

/**
  Declare that the running test expects assertions: they no longer fail it.
  The test checks HostAssertions () itself.
**/
VOID
HostExpectAssertions (
  VOID
  );

/**
  @return A description of the assertions that fired without being
          expected; empty when there is none.
**/
std::string
HostUnexpectedAssertionReport (
  VOID
  );

#endif
