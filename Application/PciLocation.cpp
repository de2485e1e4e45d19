/** @file
  Parser of PCI locations typed on the command line or kept as text.
**/

#include "PciLocation.h"

namespace {

constexpr UINTN   SEGMENT_DIGITS_MIN = 4;
constexpr UINTN   SEGMENT_DIGITS_MAX = 8;
constexpr UINTN   BUS_DIGITS         = 2;
constexpr UINTN   DEVICE_DIGITS      = 2;
constexpr UINTN   FUNCTION_DIGITS    = 1;
constexpr UINT32  DEVICE_MAX         = 0x1F;
constexpr UINT32  FUNCTION_MAX       = 0x7;

///
/// Value of a hexadecimal digit, or -1 for any other code unit.
///
INT32
HexDigitValue (
  IN UINT32  Character
  )
{
  if ((Character >= '0') && (Character <= '9')) {
    return static_cast<INT32> (Character - '0');
  }

  if ((Character >= 'a') && (Character <= 'f')) {
    return static_cast<INT32> (Character - 'a' + 10);
  }

  if ((Character >= 'A') && (Character <= 'F')) {
    return static_cast<INT32> (Character - 'A' + 10);
  }

  return -1;
}

///
/// Read a run of hexadecimal digits at Text[*Position]: TRUE when the run
/// holds MinDigits to MaxDigits digits. Advances *Position past the run.
/// At most 8 digits are read, so the value always fits 32 bits.
///
template<typename CHAR_TYPE>
BOOLEAN
ReadHexField (
  IN     CONST CHAR_TYPE  *Text,
  IN OUT UINTN            *Position,
  IN     UINTN            MinDigits,
  IN     UINTN            MaxDigits,
  OUT    UINT32           *Value
  )
{
  UINTN   Digits = 0;
  UINT32  Result = 0;

  while (Digits < MaxDigits) {
    INT32  Digit = HexDigitValue (static_cast<UINT32> (Text[*Position]));

    if (Digit < 0) {
      break;
    }

    Result = (Result << 4) | static_cast<UINT32> (Digit);
    Digits++;
    (*Position)++;
  }

  if (Digits < MinDigits) {
    return FALSE;
  }

  *Value = Result;
  return TRUE;
}

///
/// The parser for both kinds of string. The segment is present exactly when
/// the text holds two colons.
///
template<typename CHAR_TYPE>
BOOLEAN
ParseLocation (
  IN  CONST CHAR_TYPE  *Text,
  OUT PCI_LOCATION     *Location
  )
{
  if ((Text == NULL) || (Location == NULL)) {
    return FALSE;
  }

  UINTN  Colons = 0;

  for (CONST CHAR_TYPE *Next = Text; *Next != 0; Next++) {
    if (*Next == ':') {
      Colons++;
    }
  }

  if ((Colons != 1) && (Colons != 2)) {
    return FALSE;
  }

  UINTN   Position = 0;
  UINT32  Segment  = 0;
  UINT32  Bus      = 0;
  UINT32  Device   = 0;
  UINT32  Function = 0;

  if (Colons == 2) {
    if (!ReadHexField (Text, &Position, SEGMENT_DIGITS_MIN, SEGMENT_DIGITS_MAX, &Segment) || (Text[Position] != ':')) {
      return FALSE;
    }

    Position++;
  }

  if (!ReadHexField (Text, &Position, BUS_DIGITS, BUS_DIGITS, &Bus) || (Text[Position] != ':')) {
    return FALSE;
  }

  Position++;
  if (!ReadHexField (Text, &Position, DEVICE_DIGITS, DEVICE_DIGITS, &Device) || (Text[Position] != '.')) {
    return FALSE;
  }

  Position++;
  if (!ReadHexField (Text, &Position, FUNCTION_DIGITS, FUNCTION_DIGITS, &Function) || (Text[Position] != 0)) {
    return FALSE;
  }

  if ((Device > DEVICE_MAX) || (Function > FUNCTION_MAX)) {
    return FALSE;
  }

  Location->Segment  = Segment;
  Location->Bus      = static_cast<UINT8> (Bus);
  Location->Device   = static_cast<UINT8> (Device);
  Location->Function = static_cast<UINT8> (Function);
  return TRUE;
}

} // namespace

BOOLEAN
ParsePciLocation (
  IN  CONST CHAR16  *Text,
  OUT PCI_LOCATION  *Location
  )
{
  return ParseLocation (Text, Location);
}

BOOLEAN
ParsePciLocationAscii (
  IN  CONST CHAR8   *Text,
  OUT PCI_LOCATION  *Location
  )
{
  return ParseLocation (Text, Location);
}

BOOLEAN
PciLocationsEqual (
  IN CONST PCI_LOCATION  *First,
  IN CONST PCI_LOCATION  *Second
  )
{
  return (First->Segment == Second->Segment) && (First->Bus == Second->Bus) &&
         (First->Device == Second->Device) && (First->Function == Second->Function);
}
