/** @file
  ctlimage: builds firmware image files and shows how the application reads
  them.

    ctlimage build -o OUT [--support VID:DID:SVID:SID]... [--allow-unknown-codes]
                   [--component FAMILY:TYPE:FILE | --filler N[:BYTE]]...
    ctlimage inspect FILE

  Exit status: 0 success; 1 bad command line or file error; 2 (inspect) the
  image is malformed or refused by the application.
**/

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "ImageBuilder.h"
#include "ImageInspect.h"

namespace {

const char  USAGE[] =
  "usage:\n"
  "  ctlimage build -o OUT [--support VID:DID:SVID:SID]... [--allow-unknown-codes]\n"
  "                 [--component FAMILY:TYPE:FILE | --filler N[:BYTE]]...\n"
  "  ctlimage inspect FILE\n"
  "\n"
  "build writes the signature, one support entry per --support (hexadecimal\n"
  "PCI IDs) and then the component area: each --component (a 1084-byte header\n"
  "with the family code, type code and size, followed by the bytes of FILE)\n"
  "and each --filler (N bytes of BYTE, default 0) in the order given. A type\n"
  "shorter than four characters is padded with blanks (APP is \"APP \").\n"
  "inspect prints what the application sees in FILE; its exit status is 2\n"
  "when the application would refuse the image or flash only part of it.\n";

class USAGE_ERROR : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

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

  unsigned long long  Value = std::stoull (Digits, nullptr, Base);

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
    throw std::runtime_error ("cannot open \"" + Path + "\"");
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
  bool                      AllowUnknown = false;

  for (const std::string &Argument : Arguments) {
    if (Argument == "--allow-unknown-codes") {
      AllowUnknown = true;
    }
  }

  for (std::size_t Index = 0; Index < Arguments.size (); Index++) {
    const std::string  &Option = Arguments[Index];

    if (Option == "--allow-unknown-codes") {
      continue;
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
  std::ofstream              Out (Output, std::ios::binary | std::ios::trunc);

  Out.write (reinterpret_cast<const char *> (Image.data ()), static_cast<std::streamsize> (Image.size ()));
  Out.close ();
  if (!Out) {
    throw std::runtime_error ("cannot write \"" + Output + "\"");
  }

  std::cout << "wrote " << Output << " (" << Image.size () << " bytes)\n";
  return 0;
}

} // namespace

int
main (
  int   argc,
  char  **argv
  )
{
  std::vector<std::string>  Arguments (argv + 1, argv + argc);

  try {
    if (Arguments.empty () || (Arguments[0] == "--help") || (Arguments[0] == "-h")) {
      std::cout << USAGE;
      return Arguments.empty () ? ImageTool::INSPECT_USAGE : 0;
    }

    if (Arguments[0] == "build") {
      return Build (std::vector<std::string> (Arguments.begin () + 1, Arguments.end ()));
    }

    if (Arguments[0] == "inspect") {
      if (Arguments.size () != 2) {
        throw USAGE_ERROR ("inspect takes one file");
      }

      return ImageTool::InspectImage (ReadFile (Arguments[1]), std::cout);
    }

    throw USAGE_ERROR ("unknown command \"" + Arguments[0] + "\"");
  } catch (const USAGE_ERROR &Error) {
    std::cerr << "ctlimage: " << Error.what () << "\n\n" << USAGE;
  } catch (const std::exception &Error) {
    std::cerr << "ctlimage: " << Error.what () << "\n";
  }

  return ImageTool::INSPECT_USAGE;
}
