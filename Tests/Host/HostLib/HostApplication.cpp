/** @file
  Runs the application as the shell does, for the tests of whole runs.
  Kept apart from the fixture, so that only an executable that runs the
  application needs the product's ShellAppMain.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstdio>
#include <cstring>

#include "HostTest.h"
#include "HostConsole.h"

extern "C" {
#include <Library/ShellCEntryLib.h>
}

namespace {

const std::string  RESULT_PREFIX = "\nctlflash result: ";

std::string  mLastResultLine;

///
/// TRUE when the arguments make an update or check command line, which
/// must end with a result line: any word besides "-sfo", but for
/// "forget LOCATION".
///
bool
IsUpdateCommandLine (
  const std::vector<std::u16string>  &Arguments
  )
{
  std::vector<std::u16string>  Words;

  for (const std::u16string &Argument : Arguments) {
    if (Argument != u"-sfo") {
      Words.push_back (Argument);
    }
  }

  return !Words.empty () && !((Words.size () == 2) && (Words[0] == u"forget"));
}

} // namespace

//
// Every run of an update or check command line must end with its result
// line, whose word and status agree with the exit status; this is checked
// here for every run of every test, and the line is taken off the text.
//
std::string
HostRunApplication (
  const std::vector<std::u16string>  &Arguments,
  EFI_STATUS                         *Status
  )
{
  std::vector<std::u16string>  Line = { u"ctlflash.efi" };

  Line.insert (Line.end (), Arguments.begin (), Arguments.end ());
  HOST_ARGV  Argv (Line);

  HostConsoleClear ();
  mLastResultLine.clear ();

  EFI_STATUS  Result = static_cast<EFI_STATUS> (ShellAppMain (Argv.Argc (), Argv.Argv ()));

  if (Status != nullptr) {
    *Status = Result;
  }

  std::string  Text  = HostConsoleText ();
  size_t       Found = Text.rfind (RESULT_PREFIX);

  if (!IsUpdateCommandLine (Arguments)) {
    EXPECT_EQ (std::string::npos, Found) << "a listing printed a result line";
    return Text;
  }

  if ((Found == std::string::npos) || (Text.back () != '\n') || (Text.find ('\n', Found + 1) != Text.size () - 1)) {
    ADD_FAILURE () << "the run does not end with a result line:\n" << Text;
    return Text;
  }

  mLastResultLine = Text.substr (Found + 1, Text.size () - Found - 2);

  char  Expected[64];

  std::snprintf (Expected, sizeof (Expected), "exit status 0x%llX", static_cast<unsigned long long> (Result & ~MAX_BIT));

  const bool  SaysSuccess = (mLastResultLine.rfind ("ctlflash result: SUCCESS, ", 0) == 0);

  EXPECT_EQ (Result == EFI_SUCCESS, SaysSuccess) << mLastResultLine;
  EXPECT_TRUE (SaysSuccess || (mLastResultLine.rfind ("ctlflash result: FAILED, ", 0) == 0)) << mLastResultLine;
  EXPECT_EQ (mLastResultLine.size () - std::strlen (Expected), mLastResultLine.rfind (Expected)) << mLastResultLine;

  return Text.substr (0, Found);
}

std::string
HostLastResultLine (
  VOID
  )
{
  return mLastResultLine;
}
