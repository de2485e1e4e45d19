/** @file
  The GoogleTest base fixture of the host tests, and a small builder of
  shell command lines.

  HOST_TEST resets every piece of host state before a test (clock, handles,
  pool, console, assertions) and fails the test afterwards when pool memory
  is still outstanding (apart from blocks declared deliberate) or when an
  ASSERT fired that the test did not declare expected. Zeroing the product's
  own module state, where a test needs it, is the test's business.

  Include this header before CtlFlash.h.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_TEST_H_
#define HOST_TEST_H_

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
}

class HOST_TEST : public ::testing::Test {
protected:
  void
  SetUp (
    ) override;

  void
  TearDown (
    ) override;
};

///
/// A command line as the shell hands it to ShellAppMain: Argv[0] is the
/// program name, each argument a NUL-terminated CHAR16 string.
///
class HOST_ARGV {
public:
  HOST_ARGV (
    std::initializer_list<std::u16string>  Arguments
    );

  explicit HOST_ARGV (
    const std::vector<std::u16string>  &Arguments
    );

  HOST_ARGV (const HOST_ARGV &)            = delete;
  HOST_ARGV &operator= (const HOST_ARGV &) = delete;

  UINTN
  Argc (
    ) const
  {
    return mStrings.size ();
  }

  CHAR16 **
  Argv (
    )
  {
    return mPointers.data ();
  }

private:
  VOID
  Build (
    );

  std::vector<std::u16string>  mStrings;
  std::vector<CHAR16 *>        mPointers;
};

/**
  Run the application as the shell does: ShellAppMain with "ctlflash.efi"
  as Argv[0] and Arguments after it, on a cleared console.

  An update or check command line (any argument besides "-sfo") must end
  with its result line, "ctlflash result: SUCCESS, " exactly when the exit
  status is EFI_SUCCESS, else "ctlflash result: FAILED, ", and the line
  must end with the exit status as %lasterror% shows it; a listing must
  print none. A test fails otherwise. The line is kept for
  HostLastResultLine and taken off the returned text.

  @param[in]  Arguments  The arguments after the program name.
  @param[out] Status     Receives the exit status; may be nullptr.

  @return What the console shows for the run, without the result line.
**/
std::string
HostRunApplication (
  const std::vector<std::u16string>  &Arguments,
  EFI_STATUS                         *Status
  );

/**
  @return The result line of the last HostRunApplication, without its line
          breaks ("" when it printed none).
**/
std::string
HostLastResultLine (
  VOID
  );

#endif
