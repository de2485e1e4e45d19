/** @file
  PCI locations as the user types them: "SSSS:BB:DD.F" or "BB:DD.F" in
  hexadecimal, the form in which the application prints a controller's
  location.
**/

#ifndef PCI_LOCATION_H_
#define PCI_LOCATION_H_

extern "C" {
#include <Uefi.h>
}

///
/// A PCI function's address. Filled by ParsePciLocation or
/// ParsePciLocationAscii; a location typed without a segment has segment 0.
///
struct PCI_LOCATION {
  UINT32    Segment;
  UINT8     Bus;
  UINT8     Device;
  UINT8     Function;
};

/**
  Parse a PCI location, strictly: "SSSS:BB:DD.F" or "BB:DD.F", hexadecimal
  digits of either case, the segment of 4 to 8 digits, the bus and the device
  of exactly 2, the function of exactly 1, the device at most 1F and the
  function at most 7. Nothing may come before or after it (no blanks, no
  sign, no "0x").

  @param[in]  Text      NUL-terminated CHAR16 string, as the shell gives it.
  @param[out] Location  Receives the location; left unchanged when Text is
                        refused.

  @retval TRUE   Text is a PCI location.
  @retval FALSE  Text is not (or Text or Location is NULL).
**/
BOOLEAN
ParsePciLocation (
  IN  CONST CHAR16  *Text,
  OUT PCI_LOCATION  *Location
  );

/**
  Parse a PCI location given in ASCII, with the rules of ParsePciLocation.

  @param[in]  Text      NUL-terminated ASCII string.
  @param[out] Location  Receives the location; left unchanged when Text is
                        refused.

  @retval TRUE   Text is a PCI location.
  @retval FALSE  Text is not (or Text or Location is NULL).
**/
BOOLEAN
ParsePciLocationAscii (
  IN  CONST CHAR8   *Text,
  OUT PCI_LOCATION  *Location
  );

/**
  Compare two PCI locations.

  @param[in] First   A location.
  @param[in] Second  Another location.

  @retval TRUE   Both name the same segment, bus, device and function.
  @retval FALSE  They differ.
**/
BOOLEAN
PciLocationsEqual (
  IN CONST PCI_LOCATION  *First,
  IN CONST PCI_LOCATION  *Second
  );

#endif
