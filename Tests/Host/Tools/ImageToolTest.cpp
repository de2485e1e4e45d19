/** @file
  Tests of the ctlimage command: build writes what the builder API writes,
  inspect shows what the application sees and fails with status 2 on every
  kind of malformed image, and bad command lines fail with status 1.
**/

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ImageBuilder.h"

namespace {

using ImageTool::COMPONENT_SOURCE;
using ImageTool::IMAGE_BUILDER;

struct RUN_RESULT {
  int            Status;
  std::string    Output;     ///< stdout and stderr together
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
  static RUN_RESULT
  Run (
    const std::string  &Arguments
    )
  {
    RUN_RESULT  Result { -1, "" };

#ifdef CTL_IMAGE_TOOL
    std::string  Command = std::string ("'") + CTL_IMAGE_TOOL + "' " + Arguments + " 2>&1";
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

TEST_F (ImageToolCommand, BuildWritesWhatTheBuilderWritesAndInspectShowsIt) {
  std::vector<std::uint8_t>  App (5000);
  std::vector<std::uint8_t>  Bios (123);

  for (std::size_t Index = 0; Index < App.size (); Index++) {
    App[Index] = static_cast<std::uint8_t> (Index * 7);
  }

  Write ("app.bin", App);
  Write ("bios.bin", Bios);

  RUN_RESULT  Built = Run ("build -o '" + Path ("out.img") + "' --support 1F3A:0A11:1F3A:0101 --support 0x1F3A:0xc31:1028:1F2B"
                           " --filler 8 --component 'TQ10:APP:" + Path ("app.bin") + "' --filler 4:255"
                           " --component 'TQ10:BIOS:" + Path ("bios.bin") + "'");

  ASSERT_EQ (Built.Status, 0) << Built.Output;

  std::vector<std::uint8_t>  Expected = IMAGE_BUILDER ()
                                          .Support ({ 0x1F3A, 0x0A11, 0x1F3A, 0x0101 })
                                          .Support ({ 0x1F3A, 0x0C31, 0x1028, 0x1F2B })
                                          .Filler (8)
                                          .Component (COMPONENT_SOURCE { "TQ10", "APP ", App, std::nullopt, {} })
                                          .Filler (4, 0xFF)
                                          .Component (COMPONENT_SOURCE { "TQ10", "BIOS", Bios, std::nullopt, {} })
                                          .Build ();

  EXPECT_EQ (Read ("out.img"), Expected);

  RUN_RESULT  Shown = Run ("inspect '" + Path ("out.img") + "'");

  EXPECT_EQ (Shown.Status, 0) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("Signature:      ok\n"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("    0  1F3A    0A11    1F3A       0101\n"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("    1  1F3A    0C31    1028       1F2B\n"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("Components:     2\n"), std::string::npos) << Shown.Output;
  //
  // The area starts at 59; 8 filler bytes; APP is 6084 bytes; 4 filler bytes.
  //
  EXPECT_NE (Shown.Output.find ("    0  0x00000043  TQ10    APP   6084\n"), std::string::npos) << Shown.Output;
  EXPECT_NE (Shown.Output.find ("    1  0x0000180B  TQ10    BIOS  1207\n"), std::string::npos) << Shown.Output;
  EXPECT_EQ (Shown.Output.find ("error:"), std::string::npos) << Shown.Output;
}

TEST_F (ImageToolCommand, InspectFailsOnMalformedImages) {
  auto  Good = [] () {
                 return IMAGE_BUILDER ().Support ({ 0x1F3A, 0x0A11, 0x1F3A, 0x0101 }).Component ("TQ20", "APP ", 64)
                          .Component ("TQ20", "BIOS", 64);
               };

  std::vector<std::uint8_t>  BadSignature    = Good ().Build ();
  std::vector<std::uint8_t>  NoCount         = ImageTool::ImageSignature ();
  std::vector<std::uint8_t>  CutComponent    = Good ().Build ();
  std::vector<std::uint8_t>  CutHeader       = Good ().Raw (ImageTool::ComponentHeader ("TQ20", "BOOT", 2000)).Build ();

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

  struct {
    const char                   *Name;
    std::vector<std::uint8_t>    Image;
    const char                   *Message;
  } const  Cases[] = {
    { "empty file",               {},                  "error: the file is empty" },
    { "wrong signature",          BadSignature,        "error: not a firmware image" },
    { "signature only",           ImageTool::ImageSignature (), "error: not a firmware image" },
    { "no room for the count",    NoCount,             "error: the file ends before the support count" },
    { "empty support table",      IMAGE_BUILDER ().Component ("TQ20", "APP ", 64).Build (),
                                                       "error: the support table is empty" },
    { "table past the end",       Good ().SupportCountField (0x20000000).Build (),
                                                       "error: a support table of 536870912 entries" },
    { "truncated component",      CutComponent,        "runs past the end of the file" },
    { "truncated header",         CutHeader,           "is cut off by the end of the file" },
    { "size smaller than header", Good ().Component (COMPONENT_SOURCE { "TQ20", "BOOT", {}, 16, {} }).Build (),
                                                       "smaller than its header: the application refuses the whole image" },
    { "no component",             IMAGE_BUILDER ().Support ({ 1, 2, 3, 4 }).Filler (4000).Build (),
                                                       "error: no component that the application accepts" },
    { "65 components",            Many.Build (),       "error: more than 64 components" },
    { "cut header after the 64th", ManyCut,            "is cut off by the end of the file" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    RUN_RESULT  Shown = Inspect (Case.Image);

    EXPECT_EQ (Shown.Status, 2) << Shown.Output;
    EXPECT_NE (Shown.Output.find (Case.Message), std::string::npos) << Shown.Output;
    EXPECT_NE (Shown.Output.find ("Result:         malformed\n"), std::string::npos) << Shown.Output;
  }
}

TEST_F (ImageToolCommand, InspectWarnsAboutHeadersTheScanDoesNotSee) {
  struct {
    const char                   *Name;
    std::vector<std::uint8_t>    Image;
    const char                   *Message;
  } const  Cases[] = {
    { "off the grid",
      IMAGE_BUILDER ().Support ({ 1, 2, 3, 4 }).Component ("TQ30", "APP ", 4).Filler (3).Component ("TQ30", "BIOS", 4).Build (),
      "warning: a TQ30 header at offset 0x" },
    { "unknown type",
      IMAGE_BUILDER ().Support ({ 1, 2, 3, 4 }).Raw (ImageTool::ComponentHeader ("TQ30", "ZZZZ", 1084))
        .Component ("TQ30", "APP ", 4).Build (),
      "note: header at offset 0x33 has the unknown type \"ZZZZ\"" },
    { "other family",
      IMAGE_BUILDER ().Support ({ 1, 2, 3, 4 }).Component ("TQ30", "APP ", 4).Component ("TQ31", "APP ", 4).Build (),
      "note: header of family TQ31" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    RUN_RESULT  Shown = Inspect (Case.Image);

    EXPECT_EQ (Shown.Status, 0) << Shown.Output;
    EXPECT_NE (Shown.Output.find (Case.Message), std::string::npos) << Shown.Output;
  }
}

TEST_F (ImageToolCommand, BadCommandLinesFailWithStatusOne) {
  Write ("p.bin", { 1, 2, 3 });

  const std::string  Out  = " -o '" + Path ("x.img") + "'";
  const std::string  Part = " --component 'TQ10:APP:" + Path ("p.bin") + "'";

  struct {
    const char     *Name;
    std::string    Arguments;
    const char     *Message;
  } const  Cases[] = {
    { "no command",           "",                                                 "usage:" },
    { "unknown command",      "frobnicate",                                       "unknown command" },
    { "no output",            "build" + Part,                                     "build needs -o OUT" },
    { "unknown family",       "build" + Out + " --component 'TQ99:APP:" + Path ("p.bin") + "'", "unknown family \"TQ99\"" },
    { "unknown type",         "build" + Out + " --component 'TQ10:XYZW:" + Path ("p.bin") + "'", "unknown type \"XYZW\"" },
    { "long family",          "build" + Out + " --component 'TQ100:APP:" + Path ("p.bin") + "'", "four characters" },
    { "missing payload",      "build" + Out + " --component 'TQ10:APP:" + Path ("none.bin") + "'", "cannot open" },
    { "three IDs",            "build" + Out + " --support 1:2:3" + Part,          "VID:DID:SVID:SID" },
    { "ID too large",         "build" + Out + " --support 1:2:3:10000" + Part,    "too large" },
    { "ID not hex",           "build" + Out + " --support 1:2:3:G" + Part,        "bad subsystem ID" },
    { "filler not a number",  "build" + Out + " --filler many" + Part,            "bad filler length" },
    { "inspect missing file", "inspect '" + Path ("none.img") + "'",              "cannot open" },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);

    RUN_RESULT  Result = Run (Case.Arguments);

    EXPECT_EQ (Result.Status, 1) << Result.Output;
    EXPECT_NE (Result.Output.find (Case.Message), std::string::npos) << Result.Output;
  }

  EXPECT_FALSE (std::filesystem::exists (Path ("x.img")));

  RUN_RESULT  Unknown = Run ("build" + Out + " --allow-unknown-codes --component 'TQ99:XYZW:" + Path ("p.bin") + "'");

  EXPECT_EQ (Unknown.Status, 0) << Unknown.Output;
}

} // namespace
