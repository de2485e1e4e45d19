/** @file
  Inspection of a firmware image file as the application sees it: the
  signature check, the support table and the component scan are those of
  the application itself (Image/ImageFormat.cpp, linked into the tool), run
  on a buffer loaded the way the application loads it (file + one 0 byte).

  A second, independent walk of the component area explains what the scan
  passed over: headers of unknown type, headers of another family, headers
  whose size field is smaller than a header, and headers or components cut
  off by the end of the file.

  The findings are collected in an INSPECTION record, which is printed as
  text (ctlimage inspect) or as a JSON document (ctlimage inspect --json).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef IMAGE_TOOL_IMAGE_INSPECT_H_
#define IMAGE_TOOL_IMAGE_INSPECT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace ImageTool {

///
/// Exit statuses of ctlimage.
///
enum EXIT_STATUS : int {
  EXIT_OK      = 0,  ///< done; inspect: the application flashes every component of the file
  EXIT_REFUSED = 1,  ///< the application refuses the image (build: nothing written)
  EXIT_USAGE   = 2,  ///< bad command line
  EXIT_PARTIAL = 3,  ///< inspect: the application accepts the image but flashes only part of it
  EXIT_FILE    = 4   ///< a file cannot be read or written
};

///
/// What the application does with an image.
///
enum class VERDICT {
  Ok,        ///< accepted as a whole
  Partial,   ///< accepted, but some of what the file holds is not flashed
  Refused    ///< refused outright
};

///
/// One support table entry.
///
struct SUPPORT_FINDING {
  std::uint16_t    Ids[4];     ///< vendor, device, subsystem vendor, subsystem
  bool             Known;      ///< the application's controller table lists it
};

///
/// One component that the application's scan accepts.
///
struct COMPONENT_FINDING {
  std::size_t      Offset;     ///< file offset of the header
  std::string      Family;     ///< four characters; unprintable bytes as '.'
  std::string      Type;
  std::uint32_t    Size;       ///< the size field, header included
};

///
/// Everything that InspectImage found. The optional fields stay empty when
/// the inspection stopped before it reached them.
///
struct INSPECTION {
  std::uint64_t                      FileSize = 0;
  std::optional<bool>                Signature;         ///< the signature matches
  std::optional<std::uint32_t>       SupportCount;      ///< the count field
  std::vector<SUPPORT_FINDING>       Support;
  std::optional<std::size_t>         AreaOffset;        ///< file offset of the component area
  std::uint32_t                      AreaLength = 0;
  std::vector<COMPONENT_FINDING>     Components;
  std::vector<std::string>           Notes;             ///< passed over, harmless
  std::vector<std::string>           Warnings;          ///< not flashed although in the file
  std::vector<std::string>           Errors;            ///< the application refuses the image
  VERDICT                            Verdict = VERDICT::Refused;
};

/**
  Inspect an image and print a readable account of it to Text: errors on
  lines that start with "error:", warnings with "warning:", notes with
  "note:", and a last line "Result:" with ok, partial or malformed.

  @param[in] File  The whole file.
  @param[in] Text  Where the account goes.

  @return The findings; Verdict is Refused when there is an error, else
          Partial when there is a warning, else Ok.
**/
INSPECTION
InspectImage (
  const std::vector<std::uint8_t>  &File,
  std::ostream                     &Text
  );

/**
  Print the findings as one JSON document: file name, size, signature,
  support entries, component area, components, notes, warnings, errors and
  verdict ("ok", "partial" or "malformed").

  @param[in] Inspection  The findings of InspectImage.
  @param[in] FileName    The name of the file, as given on the command line.
  @param[in] Out         Where the document goes.
**/
void
WriteInspectionJson (
  const INSPECTION   &Inspection,
  const std::string  &FileName,
  std::ostream       &Out
  );

/**
  @return The exit status of ctlimage inspect for a verdict.
**/
int
VerdictExitStatus (
  VERDICT  Verdict
  );

} // namespace ImageTool

#endif
