/** @file
  Tests of the ctlimage command: build writes what the builder API writes
  and refuses images that the application refuses; inspect shows what the
  application sees, as text and as JSON, with the exit status of its
  verdict; help, version and bad command lines follow the conventions of
  the usage text.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "CtlFlashVersion.h"
#include "ImageBuilder.h"

namespace {

using ImageTool::COMPONENT_SOURCE;
using ImageTool::IMAGE_BUILDER;

struct RUN_RESULT {
  int            Status;
  std::string    Output;     ///< standard output
  std::string    Errors;     ///< standard error
};

class ImageToolCommand : public ::testing::Test {
protected:
  void
  SetUp (
    ) override
  {
#ifndef CTL_IMAGE_TOOL
    GTEST_SKIP () << "ctlimage is not part of this build";
#else
    std::string  Template = (std::filesystem::temp_directory_path () / "ctlimage-test-XXXXXX").string ();

    ASSERT_NE (mkdtemp (&Template[0]), nullptr);
    mDirectory = Template;
#endif
  }

  void
  TearDown (
    ) override
  {
    if (!mDirectory.empty ()) {
      std::filesystem::remove_all (mDirectory);
    }
  }

  std::string
  Path (
    const std::string  &Name
    ) const
  {
    return mDirectory + "/" + Name;
  }

  void
  Write (
    const std::string                &Name,
    const std::vector<std::uint8_t>  &Bytes
    ) const
  {
    std::ofstream  Out (Path (Name), std::ios::binary);

    Out.write (reinterpret_cast<const char *> (Bytes.data ()), static_cast<std::streamsize> (Bytes.size ()));
  }

  std::vector<std::uint8_t>
  Read (
    const std::string  &Name
    ) const
  {
    std::ifstream  In (Path (Name), std::ios::binary);

    return std::vector<std::uint8_t> (std::istreambuf_iterator<char> (In), std::istreambuf_iterator<char> ());
  }

  /// Run ctlimage with Arguments (already quoted for the shell).
  RUN_RESULT
  Run (
    const std::string  &Arguments
    ) const
  {
    RUN_RESULT  Result { -1, "", "" };

#ifdef CTL_IMAGE_TOOL
    std::string  Command = std::string ("'") + CTL_IMAGE_TOOL + "' " + Arguments + " 2>'" + Path ("stderr") + "'";
    FILE         *Pipe   = popen (Command.c_str (), "r");

    if (Pipe == nullptr) {
      return Result;
    }

    char  Chunk[4096];

    while (size_t Got = fread (Chunk, 1, sizeof (Chunk), Pipe)) {
      Result.Output.append (Chunk, Got);
    }

    int  Wait = pclose (Pipe);

    Result.Status = WIFEXITED (Wait) ? WEXITSTATUS (Wait) : -1;

    std::vector<std::uint8_t>  Errors = Read ("stderr");

    Result.Errors.assign (Errors.begin (), Errors.end ());
#endif
    return Result;
  }

  RUN_RESULT
  Inspect (
    const std::vector<std::uint8_t>  &Image
    ) const
  {
    Write ("inspect.img", Image);
    return Run ("inspect '" + Path ("inspect.img") + "'");
  }

  std::string  mDirectory;
};


using IMAGES = std::vector<std::pair<const char *, std::vector<std::uint8_t> > >;

/// Images that the application refuses, each with a part of its error.
struct REFUSED_IMAGE {
  const char                   *Name;
  std::vector<std::uint8_t>    Image;
  const char                   *Message;
};

std::vector<REFUSED_IMAGE>
RefusedImages (
  )
{
  auto  Good = [] () {
                 return IMAGE_BUILDER ().Support ({ 0x1F3A, 0x0A11, 0x1F3A, 0x0101 }).Component ("TQ20", "APP ", 64)
                          .Component ("TQ20", "BIOS", 64);
               };

  std::vector<std::uint8_t>  BadSignature = Good ().Build ();
  std::vector<std::uint8_t>  NoCount      = ImageTool::ImageSignature ();
  std::vector<std::uint8_t>  CutComponent = Good ().Build ();
  std::vector<std::uint8_t>  CutHeader    = Good ().Raw (ImageTool::ComponentHeader ("TQ20", "BOOT", 2000)).Build ();

  IMAGE_BUILDER  Many;

  Many.Support ({ 0x1F3A, 0x0A11, 0x1F3A, 0x0101 });
  for (int Index = 0; Index < 64; Index++) {
    Many.Component ("TQ20", "CTLR", 4);
  }

  std::vector<std::uint8_t>  ManyCut = IMAGE_BUILDER (Many).Raw (ImageTool::ComponentHeader ("TQ20", "BOOT", 2000)).Build ();

  Many.Component ("TQ20", "CTLR", 4);
  ManyCut.resize (ManyCut.size () - 500);
  BadSignature[3] = 'x';
  NoCount.resize (41, 0);
  CutComponent.resize (CutComponent.size () - 10);
  CutHeader.resize (CutHeader.size () - 1);

  return {
    { "empty file",               {},                  "error: the file is empty" },
    { "wrong signature",          BadSignature,        "error: not a firmware image" },
    { "signature only",           ImageTool::ImageSignature (), "error: not a firmware image" },
    { "no room for the count",    NoCount,             "error: the file ends before the support count" },
    { "empty support table",      IMAGE_BUILDER ().Component ("TQ20", "APP ", 64).Build (),
                                                       "error: the support table is empty" },
    { "no supported model",       IMAGE_BUILDER ().Support ({ 1, 2, 3, 4 }).Support ({ 0x1F3A, 0x0A10, 0x1F3A, 0x0101 })
                                    .Component ("TQ20", "APP ", 64).Build (),
                                                       "error: no support entry names a model that the application drives" },
    { "table past the end",       Good ().SupportCountField (0x20000000).Build (),
                                                       "error: a support table of 536870912 entries" },
    { "truncated component",      CutComponent,        "runs past the end of the file" },
    { "truncated header",         CutHeader,           "is cut off by the end of the file" },
    { "size smaller than header", Good ().Component (COMPONENT_SOURCE { "TQ20", "BOOT", {}, 16, {} }).Build (),
                                                       "smaller than its header: the application refuses the whole image" },
    { "no component",             IMAGE_BUILDER ().Support ({ 0x1F3A, 0x0A11, 0x1F3A, 0x0101 }).Filler (4000).Build (),
                                                       "error: no component that the application accepts" },
    { "65 components",            Many.Build (),       "error: more than 64 components" },
    { "cut header after the 64th", ManyCut,            "is cut off by the end of the file" },
  };
}

/// Images that the application accepts, with the status and a part of the
/// text that inspect gives them.
struct ACCEPTED_IMAGE {
  const char                   *Name;
  std::vector<std::uint8_t>    Image;
  int                          Status;
  const char                   *Message;
};

std::vector<ACCEPTED_IMAGE>
AcceptedImages (
  )
{
  return {
    { "off the grid",
      IMAGE_BUILDER ().Support ({ 0x1F3A, 0x0C31, 0x1F3A, 0x0101 }).Component ("TQ30", "APP ", 4).Filler (3)
        .Component ("TQ30", "BIOS", 4).Build (),
      3, "warning: a TQ30 header at offset 0x" },
    { "unknown type",
      IMAGE_BUILDER ().Support ({ 0x1F3A, 0x0C31, 0x1F3A, 0x0101 }).Raw (ImageTool::ComponentHeader ("TQ30", "ZZZZ", 1084))
        .Component ("TQ30", "APP ", 4).Build (),
      0, "note: header at offset 0x33 has the unknown type \"ZZZZ\"" },
    { "one entry of an unknown model",
      IMAGE_BUILDER ().Support ({ 0x1F3B, 0x0C31, 0x1F3A, 0x0101 }).Support ({ 0x1F3A, 0x0C31, 0x1F3A, 0x0101 })
        .Component ("TQ30", "APP ", 4).Build (),
      0, "note: support entry 0 (1F3B:0C31:1F3A:0101) names no model that the application drives" },
    { "other family",
      IMAGE_BUILDER ().Support ({ 0x1F3A, 0x0C31, 0x1F3A, 0x0101 }).Component ("TQ30", "APP ", 4)
        .Component ("TQ31", "APP ", 4).Build (),
      0, "note: header of family TQ31" },
  };
}

TEST_F (ImageToolCommand, BuildWritesWhatTheBuilderWritesAndInspectShowsIt) {
  std::vector<std::uint8_t>  App (5000);
  std::vector<std::uint8_t>  Bios (123);

  for (std::size_t Index = 0; Index < App.size (); Index++) {
    App[Index] = static_cast<std::uint8_t> (Index * 7);
  }

  Write ("app.bin", App);
  Write ("bios.bin", Bios);

  RUN_RESULT  Built = Run ("build -o '" + Path ("out.img") + "' --support 1F3A:0A11:1F3A:0101 --support 0x1F3A:0xc31:1F3A:0101"
                           " --filler 8 --component 'TQ10:APP:" + Path ("app.bin") + "' --filler 4:255"
                           " --component 'TQ10:BIOS:" + Path ("bios.bin") + "'");

  ASSERT_EQ (Built.Status, 0) << Built.Output << Built.Errors;
  EXPECT_EQ (Built.Errors, "");

  std::vector<std::uint8_t>  Expected = IMAGE_BUILDER ()
                                          .Support ({ 0x1F3A, 0x0A11, 0x1F3A, 0x0101 })
                                          .Support ({ 0x1F3A, 0x0C31, 0x1F3A, 0x0101 })
                                          .Filler (8)
                                          .Component (COMPONENT_SOURCE { "TQ10", "APP ", App, std::nullopt, {} })
                                          .Filler (4, 0xFF)
                                          .Component (COMPONENT_SOURCE { "TQ10", "BIOS", Bios, std::nullopt, {} })
                                          .Build ();

  EXPECT_EQ (Read ("out.img"), Expected);

  RUN_RESULT  Shown = Run ("inspect '" + Path ("out.img") + "'");

  EXPECT_EQ (Shown.Status, 0) << Shown.Output;
  EXPECT_EQ (Shown.Errors, "");
  EXPECT_NE (Shown.Output.find ("Signature:      ok\n"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("    0  1F3A    0A11    1F3A       0101\n"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("    1  1F3A    0C31    1F3A       0101\n"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("Components:     2\n"), std::string::npos) << Shown.Output;
  //
  // The area starts at 59; 8 filler bytes; APP is 6084 bytes; 4 filler bytes.
  //
  EXPECT_NE (Shown.Output.find ("    0  0x00000043  TQ10    APP   6084\n"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("    1  0x0000180B  TQ10    BIOS  1207\n"), std::string::npos) << Shown.Output;
  EXPECT_EQ (Shown.Output.find ("error:"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("Result:         ok\n"), std::string::npos) << Shown.Output;
}

TEST_F (ImageToolCommand, InspectExitsOneOnImagesTheApplicationRefuses) {
  for (const REFUSED_IMAGE &Case : RefusedImages ()) {
    SCOPED_TRACE (Case.Name);

    RUN_RESULT  Shown = Inspect (Case.Image);

    EXPECT_EQ (Shown.Status, 1) << Shown.Output;
    EXPECT_NE (Shown.Output.find (Case.Message), std::string::npos) << Shown.Output;
    EXPECT_NE (Shown.Output.find ("Result:         malformed\n"), std::string::npos) << Shown.Output;
  }
}

TEST_F (ImageToolCommand, InspectExitsThreeWhenOnlyPartIsFlashedAndZeroForNotes) {
  for (const ACCEPTED_IMAGE &Case : AcceptedImages ()) {
    SCOPED_TRACE (Case.Name);

    RUN_RESULT  Shown = Inspect (Case.Image);

    EXPECT_EQ (Shown.Status, Case.Status) << Shown.Output;
    EXPECT_NE (Shown.Output.find (Case.Message), std::string::npos) << Shown.Output;
    EXPECT_NE (Shown.Output.find (Case.Status == 0 ? "Result:         ok\n" : "Result:         partial\n"),
               std::string::npos) << Shown.Output;
  }
}

//
// The JSON document holds the findings of the text, line for line: a
// script reads it with Python's JSON parser (so it must be well formed)
// and prints it in the text's words, which must equal the text's lines.
//
TEST_F (ImageToolCommand, InspectJsonGivesTheFindingsOfTheText) {
  IMAGES  Images;

  for (REFUSED_IMAGE &Case : RefusedImages ()) {
    Images.emplace_back (Case.Name, std::move (Case.Image));
  }

  for (ACCEPTED_IMAGE &Case : AcceptedImages ()) {
    Images.emplace_back (Case.Name, std::move (Case.Image));
  }

  const std::string  Script =
    "import json, sys\n"
    "d = json.load(open(sys.argv[1]))\n"
    "for k in ('notes', 'warnings', 'errors'):\n"
    "    for m in d[k]: print(k[:-1].replace('warning', 'warning') + ': ' + m)\n"
    "for c in d['components']:\n"
    "    print('component %d %s %s %d' % (c['offset'], c['family'], c['type'], c['size']))\n"
    "for s in d['support']:\n"
    "    print('support %s %s %s %s' % (s['vendor'], s['device'], s['subsystemVendor'], s['subsystem']))\n"
    "print('Result: ' + d['verdict'])\n";

  Write ("findings.py", std::vector<std::uint8_t> (Script.begin (), Script.end ()));

  for (const auto &[Name, Image] : Images) {
    SCOPED_TRACE (Name);
    Write ("inspect.img", Image);

    RUN_RESULT  Text = Run ("inspect '" + Path ("inspect.img") + "'");
    RUN_RESULT  Json = Run ("inspect --json '" + Path ("inspect.img") + "'");

    EXPECT_EQ (Json.Status, Text.Status);
    Write ("out.json", std::vector<std::uint8_t> (Json.Output.begin (), Json.Output.end ()));

    RUN_RESULT  Parsed { -1, "", "" };
    FILE        *Pipe = popen (("python3 '" + Path ("findings.py") + "' '" + Path ("out.json") + "' 2>&1").c_str (), "r");

    ASSERT_NE (Pipe, nullptr);
    char  Chunk[4096];

    while (size_t Got = fread (Chunk, 1, sizeof (Chunk), Pipe)) {
      Parsed.Output.append (Chunk, Got);
    }

    ASSERT_EQ (pclose (Pipe), 0) << Parsed.Output << Json.Output;

    //
    // The text's findings in the same words: its note, warning and error
    // lines, its component and support table rows, and its result.
    //
    std::string         Expected;
    std::string         Components;
    std::string         Support;
    std::istringstream  Lines (Text.Output);
    bool                InComponents = false;
    bool                InSupport    = false;

    for (std::string Line; std::getline (Lines, Line);) {
      unsigned  Index, Size;
      char      Family[5], Type[5], Ids[4][5];
      unsigned long  Offset;

      if ((Line.rfind ("note: ", 0) == 0) || (Line.rfind ("warning: ", 0) == 0) || (Line.rfind ("error: ", 0) == 0)) {
        Expected += Line + "\n";
      } else if (Line.rfind ("    #  Offset", 0) == 0) {
        InComponents = true;
        InSupport    = false;
      } else if (Line.rfind ("    #  Vendor", 0) == 0) {
        InSupport = true;
      } else if (InComponents && (std::sscanf (Line.c_str (), "%u 0x%lx %4c %4c %u", &Index, &Offset, Family, Type, &Size) == 5)) {
        Family[4] = Type[4] = '\0';
        Components += "component " + std::to_string (Offset) + " " + Family + " " + Type + " " + std::to_string (Size) + "\n";
      } else if (InSupport && (std::sscanf (Line.c_str (), "%u %4s %4s %4s %4s", &Index, Ids[0], Ids[1], Ids[2], Ids[3]) == 5)) {
        Support += std::string ("support ") + Ids[0] + " " + Ids[1] + " " + Ids[2] + " " + Ids[3] + "\n";
      } else if (Line.rfind ("Result:", 0) == 0) {
        Line.erase (0, 7);
        Line.erase (0, Line.find_first_not_of (' '));
        Support += "Result: " + Line + "\n";
      } else {
        InSupport = InSupport && (Line.rfind ("  ", 0) == 0);
      }
    }

    //
    // Notes, warnings and errors come in that order in the document, each
    // kind in the order of the text.
    //
    std::string  Sorted;

    for (const char *Kind : { "note: ", "warning: ", "error: " }) {
      std::istringstream  Found (Expected);

      for (std::string Line; std::getline (Found, Line);) {
        if (Line.rfind (Kind, 0) == 0) {
          Sorted += Line + "\n";
        }
      }
    }

    EXPECT_EQ (Parsed.Output, Sorted + Components + Support) << Text.Output << Json.Output;
  }
}

TEST_F (ImageToolCommand, InspectJsonOfAWholeImage) {
  Write ("one.img", IMAGE_BUILDER ().Support ({ 0x1F3A, 0x0C31, 0x1F3A, 0x0101 }).Component ("TQ30", "APP ", 4).Build ());

  RUN_RESULT  Json = Run ("inspect --json '" + Path ("one.img") + "'");

  EXPECT_EQ (Json.Status, 0);
  EXPECT_EQ (Json.Errors, "");
  EXPECT_EQ (Json.Output,
             "{\n"
             "  \"file\": \"" + Path ("one.img") + "\",\n"
             "  \"size\": 1139,\n"
             "  \"signature\": true,\n"
             "  \"supportCount\": 1,\n"
             "  \"support\": [\n"
             "    { \"vendor\": \"1F3A\", \"device\": \"0C31\", \"subsystemVendor\": \"1F3A\", \"subsystem\": \"0101\", \"known\": true }\n"
             "  ],\n"
             "  \"componentArea\": { \"offset\": 51, \"length\": 1088 },\n"
             "  \"components\": [\n"
             "    { \"offset\": 51, \"family\": \"TQ30\", \"type\": \"APP \", \"size\": 1088 }\n"
             "  ],\n"
             "  \"notes\": [],\n"
             "  \"warnings\": [],\n"
             "  \"errors\": [],\n"
             "  \"verdict\": \"ok\"\n"
             "}\n");
}

TEST_F (ImageToolCommand, BuildRefusesImagesTheApplicationRefusesUnlessAllowed) {
  Write ("p.bin", { 1, 2, 3, 4 });

  const std::string  Part = " --component 'TQ30:APP:" + Path ("p.bin") + "'";

  struct {
    const char     *Name;
    std::string    Arguments;
    const char     *Message;
  } const  Cases[] = {
    { "no support entry",      Part,                                         "the support table is empty" },
    { "unknown support entry", " --support 1:2:3:4" + Part,                  "no support entry names a model that the application drives" },
    { "no component",          " --support 1F3A:0C31:1F3A:0101 --filler 64", "no component that the application accepts" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    std::filesystem::remove (Path ("x.img"));

    RUN_RESULT  Refused = Run ("build -o '" + Path ("x.img") + "'" + Case.Arguments);

    EXPECT_EQ (Refused.Status, 1) << Refused.Errors;
    EXPECT_EQ (Refused.Output, "");
    EXPECT_NE (Refused.Errors.find (std::string ("ctlimage: the application would refuse this image: ") + Case.Message),
               std::string::npos) << Refused.Errors;
    EXPECT_FALSE (std::filesystem::exists (Path ("x.img")));

    RUN_RESULT  Allowed = Run ("build --allow-unflashable -o '" + Path ("x.img") + "'" + Case.Arguments);

    EXPECT_EQ (Allowed.Status, 0) << Allowed.Errors;
    EXPECT_NE (Allowed.Errors.find (std::string ("ctlimage: warning: the application refuses this image: ") + Case.Message),
               std::string::npos) << Allowed.Errors;
    EXPECT_EQ (Inspect (Read ("x.img")).Status, 1);
  }

  //
  // Flashed in part: written, with the inspection's warning.
  //
  RUN_RESULT  Partial = Run ("build -o '" + Path ("x.img") + "' --support 1F3A:0C31:1F3A:0101" + Part + " --filler 3" + Part);

  EXPECT_EQ (Partial.Status, 0) << Partial.Errors;
  EXPECT_NE (Partial.Errors.find ("ctlimage: warning: a TQ30 header at offset 0x"), std::string::npos) << Partial.Errors;
  EXPECT_EQ (Inspect (Read ("x.img")).Status, 3);
}

TEST_F (ImageToolCommand, HelpAndVersionGoToStandardOutput) {
  struct {
    const char    *Arguments;
    const char    *Start;
  } const  Cases[] = {
    { "--help",                 "usage: ctlimage build -o OUT [OPTION]..." },
    { "-h",                     "usage: ctlimage build -o OUT [OPTION]..." },
    { "build --help",           "usage: ctlimage build -o OUT [--support" },
    { "build -o x.img --help",  "usage: ctlimage build -o OUT [--support" },
    { "inspect --help",         "usage: ctlimage inspect [--json] FILE" },
    { "inspect -h none.img",    "usage: ctlimage inspect [--json] FILE" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Arguments);

    RUN_RESULT  Help = Run (Case.Arguments);

    EXPECT_EQ (Help.Status, 0);
    EXPECT_EQ (Help.Errors, "");
    EXPECT_EQ (Help.Output.rfind (Case.Start, 0), 0u) << Help.Output;
    EXPECT_NE (Help.Output.find ("  3  inspect: the application accepts the image but flashes only part of it\n"),
               std::string::npos) << Help.Output;
  }

  RUN_RESULT  Version = Run ("--version");

  EXPECT_EQ (Version.Status, 0);
  EXPECT_EQ (Version.Output, "ctlimage " CTLFLASH_VERSION_STRING "\n");
  EXPECT_EQ (Version.Errors, "");
}

TEST_F (ImageToolCommand, BadCommandLinesGiveOneLineAndAHintWithStatusTwo) {
  Write ("p.bin", { 1, 2, 3 });

  const std::string  Out  = " -o '" + Path ("x.img") + "'";
  const std::string  Part = " --component 'TQ10:APP:" + Path ("p.bin") + "'";

  struct {
    const char     *Name;
    std::string    Arguments;
    const char     *Message;
    const char     *Hint;
  } const  Cases[] = {
    { "no command",           "",                                                 "no command: build or inspect", "" },
    { "unknown command",      "frobnicate",                                       "unknown command \"frobnicate\"", "" },
    { "no output",            "build" + Part,                                     "build needs -o OUT", "build " },
    { "unknown option",       "build" + Out + " --fast" + Part,                   "unknown option \"--fast\"", "build " },
    { "option without value", "build" + Out + Part + " --support",                "\"--support\" needs a value", "build " },
    { "unknown family",       "build" + Out + " --component 'TQ99:APP:" + Path ("p.bin") + "'", "unknown family \"TQ99\"", "build " },
    { "unknown type",         "build" + Out + " --component 'TQ10:XYZW:" + Path ("p.bin") + "'", "unknown type \"XYZW\"", "build " },
    { "long family",          "build" + Out + " --component 'TQ100:APP:" + Path ("p.bin") + "'", "four characters", "build " },
    { "three IDs",            "build" + Out + " --support 1:2:3" + Part,          "VID:DID:SVID:SID", "build " },
    { "ID too large",         "build" + Out + " --support 1:2:3:10000" + Part,    "too large", "build " },
    { "ID far too large",     "build" + Out + " --support 1:2:3:123456789012345678901" + Part, "too large", "build " },
    { "ID not hex",           "build" + Out + " --support 1:2:3:G" + Part,        "bad subsystem ID", "build " },
    { "filler not a number",  "build" + Out + " --filler many" + Part,            "bad filler length", "build " },
    { "inspect no file",      "inspect",                                          "inspect needs a file", "inspect " },
    { "inspect two files",    "inspect a.img b.img",                              "inspect takes one file", "inspect " },
    { "inspect bad option",   "inspect --xml a.img",                              "unknown option \"--xml\"", "inspect " },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    RUN_RESULT  Result = Run (Case.Arguments);

    EXPECT_EQ (Result.Status, 2) << Result.Errors;
    EXPECT_EQ (Result.Output, "");
    EXPECT_EQ (Result.Errors.rfind ("ctlimage: ", 0), 0u) << Result.Errors;
    EXPECT_NE (Result.Errors.substr (0, Result.Errors.find ('\n')).find (Case.Message), std::string::npos) << Result.Errors;
    EXPECT_EQ (Result.Errors.substr (Result.Errors.find ('\n') + 1), std::string ("Try 'ctlimage ") + Case.Hint + "--help'.\n")
      << Result.Errors;
  }

  EXPECT_FALSE (std::filesystem::exists (Path ("x.img")));

  //
  // A header of an unknown type is skipped by the scan with its header
  // bytes: a payload of 4 bytes keeps the next header on the scan's grid.
  //
  Write ("q.bin", { 1, 2, 3, 4 });

  RUN_RESULT  Unknown = Run ("build" + Out + " --allow-unknown-codes --support 1F3A:0C31:1F3A:0101"
                             " --component 'TQ30:XYZW:" + Path ("q.bin") + "' --component 'TQ30:APP:" + Path ("q.bin") + "'");

  EXPECT_EQ (Unknown.Status, 0) << Unknown.Errors;
}

TEST_F (ImageToolCommand, FilesThatCannotBeReadOrWrittenGiveStatusFour) {
  Write ("p.bin", { 1, 2, 3, 4 });

  struct {
    const char     *Name;
    std::string    Arguments;
    std::string    Message;
  } const  Cases[] = {
    { "missing payload",      "build -o '" + Path ("x.img") + "' --support 1F3A:0C31:1F3A:0101 --component 'TQ30:APP:" + Path ("none.bin") + "'",
                              "ctlimage: cannot open \"" + Path ("none.bin") + "\"\n" },
    { "output not writable",  "build -o '" + Path ("no/x.img") + "' --support 1F3A:0C31:1F3A:0101 --component 'TQ30:APP:" + Path ("p.bin") + "'",
                              "ctlimage: cannot write \"" + Path ("no/x.img") + "\"\n" },
    { "inspect missing file", "inspect '" + Path ("none.img") + "'",
                              "ctlimage: cannot open \"" + Path ("none.img") + "\"\n" },
    { "json missing file",    "inspect --json '" + Path ("none.img") + "'",
                              "ctlimage: cannot open \"" + Path ("none.img") + "\"\n" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    RUN_RESULT  Result = Run (Case.Arguments);

    EXPECT_EQ (Result.Status, 4);
    EXPECT_EQ (Result.Output, "");
    EXPECT_EQ (Result.Errors, Case.Message);
  }
}

} // namespace
