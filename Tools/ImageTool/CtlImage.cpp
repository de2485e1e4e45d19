/** @file
  ctlimage: builds firmware image files and shows how the application reads
  them. The usage texts below are the reference of its command line and of
  its exit statuses (EXIT_STATUS in ImageInspect.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "CtlFlashVersion.h"
#include "ImageBuilder.h"
#include "ImageInspect.h"

namespace {

using ImageTool::EXIT_FILE;
using ImageTool::EXIT_OK;
using ImageTool::EXIT_REFUSED;
using ImageTool::EXIT_USAGE;

const char  EXIT_TEXT[] =
  "Exit status:\n"
  "  0  done; inspect: the application flashes every component of the file\n"
  "  1  the application refuses the image: it flashes nothing\n"
  "     (build: nothing is written)\n"
  "  2  bad command line\n"
  "  3  inspect: the application accepts the image but flashes only part of it\n"
  "     (a header off the scan's 4-byte grid)\n"
  "  4  a file cannot be read or written\n";

const char  TOOL_HELP[] =
  "usage: ctlimage build -o OUT [OPTION]... [--component FAMILY:TYPE:FILE | --filler N[:BYTE]]...\n"
  "       ctlimage inspect [--json] FILE\n"
  "       ctlimage --help | --version\n"
  "\n"
  "Builds firmware image files for ctlflash and shows how ctlflash reads them.\n"
  "'ctlimage build --help' and 'ctlimage inspect --help' describe each command.\n"
  "\n";

const char  BUILD_HELP[] =
  "usage: ctlimage build -o OUT [--support VID:DID:SVID:SID]... [--allow-unknown-codes]\n"
  "                      [--allow-unflashable]\n"
  "                      [--component FAMILY:TYPE:FILE | --filler N[:BYTE]]...\n"
  "\n"
  "Writes the signature, one support entry per --support (hexadecimal PCI IDs)\n"
  "and then the component area: each --component (a 1084-byte header with the\n"
  "family code, type code and size, followed by the bytes of FILE) and each\n"
  "--filler (N bytes of BYTE, default 0) in the order given. A type shorter\n"
  "than four characters is padded with blanks (APP is \"APP \").\n"
  "\n"
  "  --allow-unknown-codes  write family and type codes that the application\n"
  "                         does not know\n"
  "  --allow-unflashable    write an image that the application refuses (no\n"
  "                         support entry, an entry it does not know, no\n"
  "                         component it accepts); without it such an image is\n"
  "                         not written and the exit status is 1\n"
  "\n"
  "An image that the application flashes only in part is written, with a\n"
  "warning on standard error.\n"
  "\n";

const char  INSPECT_HELP[] =
  "usage: ctlimage inspect [--json] FILE\n"
  "\n"
  "Shows what the application sees in FILE: the signature, the support table,\n"
  "the components that its scan accepts, and notes, warnings and errors about\n"
  "what the scan passes over. The last line is \"Result:\" with ok, partial or\n"
  "malformed. --json prints the same findings as one JSON document (file,\n"
  "size, signature, supportCount, support, componentArea, components, notes,\n"
  "warnings, errors, verdict).\n"
  "\n";

///
/// A bad command line: one line on standard error, a hint, exit status 2.
///
class USAGE_ERROR : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

///
/// A file that cannot be read or written: exit status 4.
///
class FILE_ERROR : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

/// True when Arguments ask for help (anywhere: the help wins).
bool
WantsHelp (
  const std::vector<std::string>  &Arguments
  )
{
  return std::any_of (Arguments.begin (), Arguments.end (), [](const std::string &Argument) {
                        return (Argument == "--help") || (Argument == "-h");
                      });
}

std::vector<std::string>
Split (
  const std::string  &Text,
  char               Separator
  )
{
  std::vector<std::string>  Parts;
  std::size_t               Begin = 0;

  for (;;) {
    std::size_t  End = Text.find (Separator, Begin);

    if (End == std::string::npos) {
      Parts.push_back (Text.substr (Begin));
      return Parts;
    }

    Parts.push_back (Text.substr (Begin, End - Begin));
    Begin = End + 1;
  }
}

unsigned long long
ParseNumber (
  const std::string   &Text,
  int                 Base,
  unsigned long long  Maximum,
  const std::string   &What
  )
{
  std::string  Digits = Text;

  if ((Digits.size () > 2) && (Digits[0] == '0') && ((Digits[1] == 'x') || (Digits[1] == 'X'))) {
    Digits = Digits.substr (2);
    Base   = 16;
  }

  if (Digits.empty () ||
      !std::all_of (Digits.begin (), Digits.end (), [Base](char C) {
        return (Base == 16) ? std::isxdigit (static_cast<unsigned char> (C)) : std::isdigit (static_cast<unsigned char> (C));
      }))
  {
    throw USAGE_ERROR ("bad " + What + " \"" + Text + "\"");
  }

  unsigned long long  Value = 0;

  //
  // More digits than 64 bits hold: too large as well.
  //
  try {
    Value = std::stoull (Digits, nullptr, Base);
  } catch (const std::out_of_range &) {
    throw USAGE_ERROR (What + " \"" + Text + "\" is too large");
  }

  if (Value > Maximum) {
    throw USAGE_ERROR (What + " \"" + Text + "\" is too large");
  }

  return Value;
}

std::vector<std::uint8_t>
ReadFile (
  const std::string  &Path
  )
{
  std::ifstream  In (Path, std::ios::binary);

  if (!In) {
    throw FILE_ERROR ("cannot open \"" + Path + "\"");
  }

  return std::vector<std::uint8_t> (std::istreambuf_iterator<char> (In), std::istreambuf_iterator<char> ());
}

void
CheckCode (
  const std::string               &Code,
  const std::vector<std::string>  &Known,
  const char                      *What,
  bool                            AllowUnknown
  )
{
  if (AllowUnknown || (std::find (Known.begin (), Known.end (), Code) != Known.end ())) {
    return;
  }

  std::string  List;

  for (const std::string &Entry : Known) {
    List += " \"" + Entry + "\"";
  }

  throw USAGE_ERROR (std::string ("unknown ") + What + " \"" + Code + "\"; the application knows" + List +
                     " (--allow-unknown-codes writes it anyway)");
}

int
Build (
  const std::vector<std::string>  &Arguments
  )
{
  ImageTool::IMAGE_BUILDER  Builder;
  std::string               Output;
  bool                      AllowUnknown     = false;
  bool                      AllowUnflashable = false;

  if (WantsHelp (Arguments)) {
    std::cout << BUILD_HELP << EXIT_TEXT;
    return EXIT_OK;
  }

  for (const std::string &Argument : Arguments) {
    if (Argument == "--allow-unknown-codes") {
      AllowUnknown = true;
    } else if (Argument == "--allow-unflashable") {
      AllowUnflashable = true;
    }
  }

  for (std::size_t Index = 0; Index < Arguments.size (); Index++) {
    const std::string  &Option = Arguments[Index];

    if ((Option == "--allow-unknown-codes") || (Option == "--allow-unflashable")) {
      continue;
    }

    if ((Option != "-o") && (Option != "--support") && (Option != "--component") && (Option != "--filler")) {
      throw USAGE_ERROR ("unknown option \"" + Option + "\"");
    }

    if (Index + 1 >= Arguments.size ()) {
      throw USAGE_ERROR ("\"" + Option + "\" needs a value");
    }

    const std::string  &Value = Arguments[++Index];

    if (Option == "-o") {
      Output = Value;
    } else if (Option == "--support") {
      std::vector<std::string>  Ids = Split (Value, ':');

      if (Ids.size () != 4) {
        throw USAGE_ERROR ("--support wants VID:DID:SVID:SID, not \"" + Value + "\"");
      }

      Builder.Support (ImageTool::SUPPORT_ID {
        static_cast<std::uint16_t> (ParseNumber (Ids[0], 16, 0xFFFF, "vendor ID")),
        static_cast<std::uint16_t> (ParseNumber (Ids[1], 16, 0xFFFF, "device ID")),
        static_cast<std::uint16_t> (ParseNumber (Ids[2], 16, 0xFFFF, "subsystem vendor ID")),
        static_cast<std::uint16_t> (ParseNumber (Ids[3], 16, 0xFFFF, "subsystem ID"))
      });
    } else if (Option == "--component") {
      //
      // FAMILY:TYPE:FILE; the file name may itself hold colons.
      //
      std::size_t  First  = Value.find (':');
      std::size_t  Second = (First == std::string::npos) ? std::string::npos : Value.find (':', First + 1);

      if (Second == std::string::npos) {
        throw USAGE_ERROR ("--component wants FAMILY:TYPE:FILE, not \"" + Value + "\"");
      }

      std::string  Family = Value.substr (0, First);
      std::string  Type   = Value.substr (First + 1, Second - First - 1);
      std::string  Path   = Value.substr (Second + 1);

      if (Type.size () < 4) {
        Type.resize (4, ' ');
      }

      if ((Family.size () != 4) || (Type.size () != 4)) {
        throw USAGE_ERROR ("family and type codes are four characters: \"" + Value + "\"");
      }

      CheckCode (Family, ImageTool::KnownFamilies (), "family", AllowUnknown);
      CheckCode (Type, ImageTool::KnownTypes (), "type", AllowUnknown);
      Builder.Component (ImageTool::COMPONENT_SOURCE { Family, Type, ReadFile (Path), std::nullopt, {} });
    } else if (Option == "--filler") {
      std::vector<std::string>  Parts = Split (Value, ':');

      if (Parts.size () > 2) {
        throw USAGE_ERROR ("--filler wants N or N:BYTE, not \"" + Value + "\"");
      }

      std::size_t   Bytes = static_cast<std::size_t> (ParseNumber (Parts[0], 10, 0x7FFFFFFF, "filler length"));
      std::uint8_t  Fill  = (Parts.size () == 2) ? static_cast<std::uint8_t> (ParseNumber (Parts[1], 10, 0xFF, "filler byte")) : 0;

      Builder.Filler (Bytes, Fill);
    } else {
      throw USAGE_ERROR ("unknown option \"" + Option + "\"");
    }
  }

  if (Output.empty ()) {
    throw USAGE_ERROR ("build needs -o OUT");
  }

  std::vector<std::uint8_t>  Image = Builder.Build ();
  std::ostringstream         Ignored;
  ImageTool::INSPECTION      Findings = ImageTool::InspectImage (Image, Ignored);

  if ((Findings.Verdict == ImageTool::VERDICT::Refused) && !AllowUnflashable) {
    std::cerr << "ctlimage: the application would refuse this image: " << Findings.Errors.front () << "\n"
              << "Nothing written; --allow-unflashable writes it all the same.\n";
    return EXIT_REFUSED;
  }

  std::ofstream  Out (Output, std::ios::binary | std::ios::trunc);

  Out.write (reinterpret_cast<const char *> (Image.data ()), static_cast<std::streamsize> (Image.size ()));
  Out.close ();
  if (!Out) {
    throw FILE_ERROR ("cannot write \"" + Output + "\"");
  }

  std::cout << "wrote " << Output << " (" << Image.size () << " bytes)\n";
  if (Findings.Verdict == ImageTool::VERDICT::Refused) {
    std::cerr << "ctlimage: warning: the application refuses this image: " << Findings.Errors.front () << "\n";
  }

  for (const std::string &Warning : Findings.Warnings) {
    std::cerr << "ctlimage: warning: " << Warning << "\n";
  }

  return EXIT_OK;
}

int
Inspect (
  const std::vector<std::string>  &Arguments
  )
{
  if (WantsHelp (Arguments)) {
    std::cout << INSPECT_HELP << EXIT_TEXT;
    return EXIT_OK;
  }

  bool         Json = false;
  std::string  Path;

  for (const std::string &Argument : Arguments) {
    if (Argument == "--json") {
      Json = true;
    } else if ((Argument.size () > 1) && (Argument[0] == '-')) {
      throw USAGE_ERROR ("unknown option \"" + Argument + "\"");
    } else if (!Path.empty ()) {
      throw USAGE_ERROR ("inspect takes one file");
    } else {
      Path = Argument;
    }
  }

  if (Path.empty ()) {
    throw USAGE_ERROR ("inspect needs a file");
  }

  std::vector<std::uint8_t>  File = ReadFile (Path);

  if (!Json) {
    return ImageTool::VerdictExitStatus (ImageTool::InspectImage (File, std::cout).Verdict);
  }

  std::ostringstream     Ignored;
  ImageTool::INSPECTION  Findings = ImageTool::InspectImage (File, Ignored);

  ImageTool::WriteInspectionJson (Findings, Path, std::cout);
  return ImageTool::VerdictExitStatus (Findings.Verdict);
}

} // namespace

int
main (
  int   argc,
  char  **argv
  )
{
  std::vector<std::string>  Arguments (argv + 1, argv + argc);
  std::string               Command;

  try {
    if (Arguments.empty ()) {
      throw USAGE_ERROR ("no command: build or inspect");
    }

    if ((Arguments[0] == "--help") || (Arguments[0] == "-h") || (Arguments[0] == "help")) {
      std::cout << TOOL_HELP << EXIT_TEXT;
      return EXIT_OK;
    }

    if (Arguments[0] == "--version") {
      std::cout << "ctlimage " CTLFLASH_VERSION_STRING "\n";
      return EXIT_OK;
    }

    std::vector<std::string>  Rest (Arguments.begin () + 1, Arguments.end ());

    if (Arguments[0] == "build") {
      Command = "build ";
      return Build (Rest);
    }

    if (Arguments[0] == "inspect") {
      Command = "inspect ";
      return Inspect (Rest);
    }

    throw USAGE_ERROR ("unknown command \"" + Arguments[0] + "\"");
  } catch (const USAGE_ERROR &Error) {
    std::cerr << "ctlimage: " << Error.what () << "\n"
              << "Try 'ctlimage " << Command << "--help'.\n";
    return EXIT_USAGE;
  } catch (const FILE_ERROR &Error) {
    std::cerr << "ctlimage: " << Error.what () << "\n";
    return EXIT_FILE;
  } catch (const std::exception &Error) {
    std::cerr << "ctlimage: " << Error.what () << "\n";
  }

  return EXIT_USAGE;
}
