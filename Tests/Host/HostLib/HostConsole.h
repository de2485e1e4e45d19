/** @file
  Test-facing view of the console: everything written to gST->ConOut and
  gST->StdErr (as Print, AsciiPrint and the assertion messages reach them),
  captured as text.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_CONSOLE_H_
#define HOST_CONSOLE_H_

#include <string>

extern "C" {
#include <Uefi.h>
}

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
  @return Everything written to the system table's standard output as the
          run found it (the ConOut protocol of the host tables, also while
          a run points gST->ConOut elsewhere), exactly as it was sent.
**/
std::string
HostStandardOutputText (
  VOID
  );

/**
  Forget the captured console text.
**/
VOID
HostConsoleClear (
  VOID
  );

#endif
