/** @file
  Tests of the PCI location parser: both forms, either case, and every way
  a near-miss must be refused rather than select another function.
**/

#include "HostTest.h"

#include "Application/PciLocation.h"

namespace {

struct ACCEPTED_CASE {
  const char16_t  *Text;
  UINT32          Segment;
  UINT8           Bus;
  UINT8           Device;
  UINT8           Function;
};

constexpr ACCEPTED_CASE  ACCEPTED[] = {
  { u"0000:03:00.0",     0x0000,     0x03, 0x00, 0 },
  { u"03:00.0",          0x0000,     0x03, 0x00, 0 },
  { u"0001:ff:1f.7",     0x0001,     0xFF, 0x1F, 7 },
  { u"ABCD:Ef:0A.3",     0xABCD,     0xEF, 0x0A, 3 },
  { u"00010000:00:01.0", 0x00010000, 0x00, 0x01, 0 },  // a wide segment prints wider
  { u"ffffffff:80:10.1", 0xFFFFFFFF, 0x80, 0x10, 1 },
};

TEST (PCI_LOCATION_PARSE, AcceptsBothFormsInEitherCase) {
  for (const ACCEPTED_CASE &Case : ACCEPTED) {
    PCI_LOCATION  Location = { 0x5A5A, 0x5A, 0x5A, 0x5A };

    ASSERT_TRUE (ParsePciLocation (reinterpret_cast<CONST CHAR16 *>(Case.Text), &Location)) << "case index " << (&Case - ACCEPTED);
    EXPECT_EQ (Case.Segment, Location.Segment);
    EXPECT_EQ (Case.Bus, Location.Bus);
    EXPECT_EQ (Case.Device, Location.Device);
    EXPECT_EQ (Case.Function, Location.Function);
  }
}

TEST (PCI_LOCATION_PARSE, RefusesNearMissesAndLeavesTheResultAlone) {
  const char16_t  *Refused[] = {
    u"",
    u"1",                   // an index, not a location
    u"all",
    u"3:00.0",              // bus of one digit
    u"003:00.0",            // bus of three digits
    u"03:0.0",              // device of one digit
    u"03:00.00",            // function of two digits
    u"03:20.0",             // device above 1F
    u"03:00.8",             // function above 7
    u"000:03:00.0",         // segment of three digits
    u"000000000:03:00.0",   // segment of nine digits
    u"0000:03:00:0",        // a colon in place of the dot
    u"0000:0000:03:00.0",   // three colons
    u"03.00.0",
    u"03:00.",
    u":03:00.0",
    u"03:00.0 ",            // trailing blank
    u" 03:00.0",            // leading blank
    u"0x03:00.0",
    u"+03:00.0",
    u"0g:00.0",
    u"03:00.0\x0100",       // a CHAR16 whose low byte is '\0' would narrow to a match
    u"03:00.\x0130",        // a CHAR16 whose low byte is '0'
  };

  for (const char16_t *Text : Refused) {
    PCI_LOCATION  Location = { 0x5A5A, 0x5A, 0x5A, 0x5A };

    EXPECT_FALSE (ParsePciLocation (reinterpret_cast<CONST CHAR16 *>(Text), &Location)) << "case index " << (&Text - Refused);
    EXPECT_EQ (0x5A5Au, Location.Segment);
    EXPECT_EQ (0x5A, Location.Bus);
    EXPECT_EQ (0x5A, Location.Device);
    EXPECT_EQ (0x5A, Location.Function);
  }

  PCI_LOCATION  Location;

  EXPECT_FALSE (ParsePciLocation (NULL, &Location));
  EXPECT_FALSE (ParsePciLocation (reinterpret_cast<CONST CHAR16 *>(u"03:00.0"), NULL));
}

TEST (PCI_LOCATION_PARSE, AsciiFollowsTheSameRules) {
  PCI_LOCATION  Location = { };

  ASSERT_TRUE (ParsePciLocationAscii ("0002:0a:1e.6", &Location));
  EXPECT_EQ (2u, Location.Segment);
  EXPECT_EQ (0x0A, Location.Bus);
  EXPECT_EQ (0x1E, Location.Device);
  EXPECT_EQ (6, Location.Function);

  EXPECT_FALSE (ParsePciLocationAscii ("unknown location", &Location));
  EXPECT_FALSE (ParsePciLocationAscii ("0a:1e.6x", &Location));
}

TEST (PCI_LOCATION_PARSE, ShortFormEqualsSegmentZero) {
  PCI_LOCATION  Short = { };
  PCI_LOCATION  Long  = { };
  PCI_LOCATION  Other = { };

  ASSERT_TRUE (ParsePciLocation (reinterpret_cast<CONST CHAR16 *>(u"03:00.0"), &Short));
  ASSERT_TRUE (ParsePciLocationAscii ("0000:03:00.0", &Long));
  EXPECT_TRUE (PciLocationsEqual (&Short, &Long));

  for (const char *Text : { "0001:03:00.0", "0000:04:00.0", "0000:03:01.0", "0000:03:00.1" }) {
    ASSERT_TRUE (ParsePciLocationAscii (Text, &Other));
    EXPECT_FALSE (PciLocationsEqual (&Short, &Other)) << Text;
  }
}

} // namespace
