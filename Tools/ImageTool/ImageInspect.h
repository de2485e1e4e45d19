/** @file
  Inspection of a firmware image file as the application sees it: the
  signature check, the support table and the component scan are those of
  the application itself (Image/ImageFormat.cpp, linked into the tool), run
  on a buffer loaded the way the application loads it (file + one 0 byte).

  A second, independent walk of the component area explains what the scan
  passed over: headers of unknown type, headers of another family, headers
  whose size field is smaller than a header, and headers or components cut
  off by the end of the file.
**/

#ifndef IMAGE_TOOL_IMAGE_INSPECT_H_
#define IMAGE_TOOL_IMAGE_INSPECT_H_

#include <cstdint>
#include <ostream>
#include <vector>

namespace ImageTool {

///
/// Exit statuses of ctlimage.
///
enum INSPECT_RESULT : int {
  INSPECT_OK        = 0,   ///< the application accepts the image as a whole
  INSPECT_USAGE     = 1,   ///< bad command line or unreadable file
  INSPECT_MALFORMED = 2    ///< the application refuses the image, or would
                           ///< flash only part of what the file holds
};

/**
  Print a readable account of an image to Out; errors also go to Out, each
  on a line that starts with "error:".

  @param[in] File  The whole file.
  @param[in] Out   Where the account goes.

  @return INSPECT_OK or INSPECT_MALFORMED.
**/
int
InspectImage (
  const std::vector<std::uint8_t>  &File,
  std::ostream                     &Out
  );

} // namespace ImageTool

#endif
