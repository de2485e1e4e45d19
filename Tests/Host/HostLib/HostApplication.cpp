/** @file
  Runs the application as the shell does, for the tests of whole runs.
  Kept apart from the fixture, so that only an executable that runs the
  application needs the product's ShellAppMain.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "HostTest.h"
#include "HostConsole.h"

extern "C" {
#include <Library/ShellCEntryLib.h>
}

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

  EFI_STATUS  Result = static_cast<EFI_STATUS> (ShellAppMain (Argv.Argc (), Argv.Argv ()));

  if (Status != nullptr) {
    *Status = Result;
  }

  return HostConsoleText ();
}
