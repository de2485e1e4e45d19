/** @file
  The HOST_TEST fixture and the HOST_ARGV command-line builder (HostTest.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "HostTest.h"
#include "HostDebugLib.h"
#include "HostInternal.h"
#include "HostMemoryAllocationLib.h"

void
HOST_TEST::SetUp (
  )
{
  HostReset ();
}

void
HOST_TEST::TearDown (
  )
{
  std::string  Leaks = HostPoolLeakReport ();

  if (!Leaks.empty ()) {
    ADD_FAILURE () << "pool memory still outstanding at the end of the test:\n" << Leaks;
  }

  std::string  Asserts = HostUnexpectedAssertionReport ();

  if (!Asserts.empty ()) {
    ADD_FAILURE () << "ASSERT fired without being expected:\n" << Asserts;
  }

  //
  // Release what is left so that the leak checker of the process does not
  // report it a second time.
  //
  HostPoolResetState ();
}

HOST_ARGV::HOST_ARGV (
  std::initializer_list<std::u16string>  Arguments
  ) : mStrings (Arguments)
{
  Build ();
}

HOST_ARGV::HOST_ARGV (
  const std::vector<std::u16string>  &Arguments
  ) : mStrings (Arguments)
{
  Build ();
}

VOID
HOST_ARGV::Build (
  )
{
  mPointers.clear ();
  for (std::u16string &Argument : mStrings) {
    mPointers.push_back (reinterpret_cast<CHAR16 *> (&Argument[0]));
  }

  mPointers.push_back (nullptr);
}
