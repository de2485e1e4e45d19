/** @file
  Test-facing control of the host DebugLib: the DEBUG () log, and the
  assertions that ASSERT () of the product and of the EDK II libraries
  recorded.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_DEBUG_LIB_H_
#define HOST_DEBUG_LIB_H_

#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
}

/**
  @return Everything DEBUG () printed since the last reset (all error
          levels; it does not reach the console).
**/
std::string
HostDebugLogText (
  VOID
  );

//
// Assertions (ASSERT () of the product and of the EDK II libraries)
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
