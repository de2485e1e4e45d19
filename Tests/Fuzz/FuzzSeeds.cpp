/** @file
  Writes the seed corpus of the image format fuzzer with the image tool's
  builder (small well-formed images and one of each kind of malformed
  image) and a dictionary of the words the scan compares (the signature,
  the family and type codes, the header size).

    ctl_fuzz_seeds CORPUS_DIRECTORY DICTIONARY_FILE

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ImageBuilder.h"

using ImageTool::COMPONENT_SOURCE;
using ImageTool::IMAGE_BUILDER;

int
main (
  int   argc,
  char  **argv
  )
{
  if (argc != 3) {
    std::fprintf (stderr, "usage: ctl_fuzz_seeds CORPUS_DIRECTORY DICTIONARY_FILE\n");
    return 1;
  }

  const ImageTool::SUPPORT_ID  Id = { 0x1F3A, 0x0A11, 0x1F3A, 0x0101 };

  auto  Good = [&Id] () {
                 return IMAGE_BUILDER ().Support (Id).Component ("TQ10", "APP ", 16).Filler (4).Component ("TQ10", "BIOS", 8);
               };

  std::vector<std::uint8_t>  Truncated = Good ().Build ();

  Truncated.resize (Truncated.size () - 5);

  std::vector<std::uint8_t>  ShortCount = ImageTool::ImageSignature ();

  ShortCount.resize (41, 0);

  const struct {
    const char                   *Name;
    std::vector<std::uint8_t>    Bytes;
  } Seeds[] = {
    { "two-components",     Good ().Build () },
    { "empty-table",        IMAGE_BUILDER ().Component ("TQ11", "CTLR", 4).Build () },
    { "three-entries",      IMAGE_BUILDER ().Support ({ 1, 2, 3, 4 }).Support (Id).Support ({ 5, 6, 7, 8 })
                              .Filler (8, 0x54).Component ("TQ62", "TMMB", 0).Build () },
    { "unknown-type",       IMAGE_BUILDER ().Support (Id).Raw (ImageTool::ComponentHeader ("TQ20", "XXXX", 1084))
                              .Component ("TQ20", "BOOT", 12).Build () },
    { "two-families",       Good ().Component ("TQ30", "NVDT", 4).Component ("TQ10", "HIIM", 4).Build () },
    { "off-grid",           IMAGE_BUILDER ().Support (Id).Filler (3).Component ("TQ10", "APP ", 4).Build () },
    { "undersized",         Good ().Component (COMPONENT_SOURCE { "TQ10", "PCLI", {}, 4, {} }).Build () },
    { "oversized",          Good ().Component (COMPONENT_SOURCE { "TQ10", "BQMI", {}, 0xFFFFFFF0, {} }).Build () },
    { "truncated",          Truncated },
    { "table-past-end",     Good ().SupportCountField (9).Build () },
    { "table-wraps",        Good ().SupportCountField (0x20000001).Build () },
    { "short-count",        ShortCount },
  };

  for (const auto &Seed : Seeds) {
    std::ofstream  Out (std::string (argv[1]) + "/" + Seed.Name + ".img", std::ios::binary);

    Out.write (reinterpret_cast<const char *> (Seed.Bytes.data ()), static_cast<std::streamsize> (Seed.Bytes.size ()));
    if (!Out) {
      std::fprintf (stderr, "cannot write seed %s\n", Seed.Name);
      return 1;
    }
  }

  std::ofstream  Dictionary (argv[2]);

  Dictionary << "# Words that the image code compares.\n";
  Dictionary << "header_size=\"\\x3C\\x04\\x00\\x00\"\n";
  Dictionary << "signature=\"";
  for (std::uint8_t Byte : ImageTool::ImageSignature ()) {
    char  Escaped[8];

    std::snprintf (Escaped, sizeof (Escaped), "\\x%02X", Byte);
    Dictionary << Escaped;
  }

  Dictionary << "\"\n";
  for (const std::string &Code : ImageTool::KnownFamilies ()) {
    Dictionary << "\"" << Code << "\"\n";
  }

  for (const std::string &Code : ImageTool::KnownTypes ()) {
    Dictionary << "\"" << Code << "\"\n";
  }

  if (!Dictionary) {
    std::fprintf (stderr, "cannot write the dictionary %s\n", argv[2]);
    return 1;
  }

  return 0;
}
