/** @file
  HostReset and HostReportFailure (HostHarness.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "HostInternal.h"
#include "HostVariables.h"

VOID
HostReset (
  VOID
  )
{
  HostBootServicesResetState ();
  HostHandleDatabaseResetState ();
  HostClockResetState ();
  HostPoolResetState ();
  HostConsoleResetState ();
  HostDebugResetState ();
  HostVariablesReset ();
}

VOID
HostReportFailure (
  IN CONST char  *Format,
  ...
  )
{
  char     Message[1024];
  va_list  Marker;

  va_start (Marker, Format);
  std::vsnprintf (Message, sizeof (Message), Format, Marker);
  va_end (Marker);

  if (::testing::UnitTest::GetInstance ()->current_test_info () != nullptr) {
    ADD_FAILURE () << "host harness: " << Message;
    return;
  }

  std::fprintf (stderr, "host harness: %s\n", Message);
  std::fflush (stderr);
  std::abort ();
}
