/** @file
  ctlimage inspect: runs the application's own signature check, support
  lookup and component scan on a file, prints what they see, and explains
  what the scan passed over.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "ImageInspect.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "ControllerInterface.h"
#include "Image/ImageFormat.h"

namespace ImageTool {

namespace {

///
/// Files of this size or more get no buffer in the application.
///
constexpr std::uint64_t  LOAD_SIZE_LIMIT = 0x7FFFFFFFu;

std::uint32_t
Le32 (
  const std::uint8_t  *Bytes
  )
{
  return static_cast<std::uint32_t> (Bytes[0]) |
         (static_cast<std::uint32_t> (Bytes[1]) << 8) |
         (static_cast<std::uint32_t> (Bytes[2]) << 16) |
         (static_cast<std::uint32_t> (Bytes[3]) << 24);
}

std::uint16_t
Le16 (
  const std::uint8_t  *Bytes
  )
{
  return static_cast<std::uint16_t> (Bytes[0] | (Bytes[1] << 8));
}

/// Four bytes as printable text; other bytes show as '.'.
std::string
CodeText (
  const std::uint8_t  *Bytes
  )
{
  std::string  Text;

  for (int Index = 0; Index < 4; Index++) {
    char  Character = static_cast<char> (Bytes[Index]);

    Text.push_back (((Character >= 0x20) && (Character < 0x7F)) ? Character : '.');
  }

  return Text;
}

std::string
Format (
  const char  *Format,
  ...
  ) __attribute__ ((format (printf, 1, 2)));

std::string
Format (
  const char  *Format,
  ...
  )
{
  char     Line[256];
  va_list  Marker;

  va_start (Marker, Format);
  std::vsnprintf (Line, sizeof (Line), Format, Marker);
  va_end (Marker);
  return Line;
}

bool
IsFamily (
  std::uint32_t  Word
  )
{
  for (std::uint32_t Code : IMAGE_FAMILY_CODES) {
    if (Word == Code) {
      return true;
    }
  }

  return false;
}

bool
IsType (
  std::uint32_t  Word
  )
{
  for (std::uint32_t Code : COMPONENT_TYPE_CODES) {
    if (Word == Code) {
      return true;
    }
  }

  return false;
}

/// True when the entry's vendor and device are one of the models that the
/// application drives: only such a controller is ever listed and updated.
bool
NamesSupportedModel (
  const UINT16  *Ids
  )
{
  if (Ids[0] != MAKER_VENDOR_ID) {
    return false;
  }

  for (const SUPPORTED_CONTROLLER &Model : mSupportedControllers) {
    if (Model.DeviceId == Ids[1]) {
      return true;
    }
  }

  return false;
}

///
/// The explaining walk: the scan's stepping, with a note or an error for
/// every header that the scan passes over or that stops it.
///
struct WALK {
  std::vector<std::size_t>    Accepted;    ///< area offsets
  std::vector<std::string>    Notes;
  std::vector<std::string>    Errors;
  std::vector<std::string>    Warnings;
};

/**
  Warn about a header that starts 1 to 3 bytes after a filler word: the
  scan steps over it and never sees it.
**/
void
CheckOffGrid (
  WALK                &Walk,
  const std::uint8_t  *Area,
  std::size_t         Length,
  std::size_t         AreaOffset,
  std::size_t         Position,
  std::uint32_t       Family
  )
{
  for (std::size_t Shift = 1; Shift < 4; Shift++) {
    std::size_t  At = Position + Shift;

    if ((At > Length) || (Length - At < COMPONENT_HEADER_SIZE)) {
      return;
    }

    std::uint32_t  Word = Le32 (Area + At);

    if (((Family == 0) ? IsFamily (Word) : (Word == Family)) && IsType (Le32 (Area + At + COMPONENT_TYPE_OFFSET))) {
      Walk.Warnings.push_back (Format ("a %s header at offset 0x%zX is %zu byte(s) off the 4-byte grid of the scan: "
                                       "the application does not find it", CodeText (Area + At).c_str (),
                                       AreaOffset + At, Shift));
    }
  }
}

WALK
WalkArea (
  const std::uint8_t  *Area,
  std::size_t         Length,
  std::size_t         AreaOffset
  )
{
  WALK           Walk;
  std::uint32_t  Family   = 0;
  std::size_t    Position = 0;

  while ((Position < Length) && (Length - Position >= 4)) {
    std::uint32_t  Word   = Le32 (Area + Position);
    std::size_t    AtFile = AreaOffset + Position;

    if ((Family != 0) && (Word != Family)) {
      if (IsFamily (Word)) {
        Walk.Notes.push_back (Format ("header of family %s at offset 0x%zX passed over as filler: the image's family is %s",
                                      CodeText (Area + Position).c_str (), AtFile,
                                      CodeText (reinterpret_cast<const std::uint8_t *> (&Family)).c_str ()));
      }

      CheckOffGrid (Walk, Area, Length, AreaOffset, Position, Family);
      Position += 4;
      continue;
    }

    if ((Family == 0) && !IsFamily (Word)) {
      CheckOffGrid (Walk, Area, Length, AreaOffset, Position, Family);
      Position += 4;
      continue;
    }

    if (Length - Position < COMPONENT_HEADER_SIZE) {
      Walk.Errors.push_back (Format ("component header at offset 0x%zX is cut off by the end of the file (%zu of %u bytes): "
                                     "the application refuses the whole image", AtFile, Length - Position, COMPONENT_HEADER_SIZE));
      break;
    }

    std::uint32_t  Type = Le32 (Area + Position + COMPONENT_TYPE_OFFSET);
    std::uint32_t  Size = Le32 (Area + Position + COMPONENT_SIZE_OFFSET);

    if (!IsType (Type)) {
      Walk.Notes.push_back (Format ("header at offset 0x%zX has the unknown type \"%s\": skipped with its %u header bytes",
                                    AtFile, CodeText (Area + Position + COMPONENT_TYPE_OFFSET).c_str (),
                                    COMPONENT_HEADER_SIZE));
      Position += COMPONENT_HEADER_SIZE;
      continue;
    }

    if (Size < COMPONENT_HEADER_SIZE) {
      Walk.Errors.push_back (Format ("component at offset 0x%zX has the size %u, smaller than its header: "
                                     "the application refuses the whole image", AtFile, Size));
      break;
    }

    if (Size > Length - Position) {
      Walk.Errors.push_back (Format ("component at offset 0x%zX of %u bytes runs past the end of the file (%zu bytes left): "
                                     "the application refuses the whole image", AtFile, Size, Length - Position));
      break;
    }

    if (Walk.Accepted.size () == MAX_IMAGE_COMPONENTS) {
      Walk.Errors.push_back (Format ("more than %u components (the one at offset 0x%zX is one too many): "
                                     "the application refuses the whole image",
                                     MAX_IMAGE_COMPONENTS, AtFile));
      break;
    }

    Walk.Accepted.push_back (Position);
    Family    = Word;
    Position += Size;
  }

  //
  // An error refuses the whole image, as the application's scan does: no
  // component is accepted.
  //
  if (!Walk.Errors.empty ()) {
    Walk.Accepted.clear ();
  }

  return Walk;
}

/// An error that ends the inspection: printed, recorded, and the verdict.
INSPECTION &
Stop (
  INSPECTION         &Inspection,
  std::ostream       &Text,
  const std::string  &Error
  )
{
  Text << "error: " << Error << "\n";
  Text << "Result:         malformed\n";
  Inspection.Errors.push_back (Error);
  Inspection.Verdict = VERDICT::Refused;
  return Inspection;
}

/// Text as the inside of a JSON string.
std::string
JsonText (
  const std::string  &Text
  )
{
  std::string  Escaped;

  for (char Character : Text) {
    unsigned char  Byte = static_cast<unsigned char> (Character);

    if ((Character == '"') || (Character == '\\')) {
      Escaped.push_back ('\\');
      Escaped.push_back (Character);
    } else if (Byte < 0x20) {
      Escaped += Format ("\\u%04X", Byte);
    } else {
      Escaped.push_back (Character);
    }
  }

  return "\"" + Escaped + "\"";
}

void
WriteJsonList (
  std::ostream                    &Out,
  const char                      *Name,
  const std::vector<std::string>  &Items
  )
{
  Out << "  \"" << Name << "\": [";
  for (std::size_t Index = 0; Index < Items.size (); Index++) {
    Out << (Index == 0 ? "\n    " : ",\n    ") << JsonText (Items[Index]);
  }

  Out << (Items.empty () ? "],\n" : "\n  ],\n");
}

const char *
VerdictName (
  VERDICT  Verdict
  )
{
  switch (Verdict) {
    case VERDICT::Ok:
      return "ok";
    case VERDICT::Partial:
      return "partial";
    case VERDICT::Refused:
      break;
  }

  return "malformed";
}

} // namespace

INSPECTION
InspectImage (
  const std::vector<std::uint8_t>  &File,
  std::ostream                     &Text
  )
{
  INSPECTION   Inspection;
  std::size_t  FileSize = File.size ();

  Inspection.FileSize = FileSize;
  Text << "File size:      " << FileSize << " bytes\n";
  if (FileSize == 0) {
    return Stop (Inspection, Text, "the file is empty");
  }

  if (FileSize >= LOAD_SIZE_LIMIT) {
    return Stop (Inspection, Text, "the file is too large for the application (2^31 - 1 bytes or more)");
  }

  //
  // Loaded as the application loads it: one zero-filled buffer one byte
  // longer than the file.
  //
  std::vector<std::uint8_t>  Buffer (FileSize + 1, 0);

  std::copy (File.begin (), File.end (), Buffer.begin ());
  UINT32  Length = static_cast<UINT32> (FileSize);

  Inspection.Signature = CheckImageSignature (Buffer.data (), Length) != FALSE;
  if (!*Inspection.Signature) {
    Text << "Signature:      mismatch\n";
    return Stop (Inspection, Text, Format ("not a firmware image: the first %u bytes are not the image signature, "
                                           "or the file is not longer than them", IMAGE_SIGNATURE_SIZE));
  }

  Text << "Signature:      ok\n";
  if (FileSize < IMAGE_SUPPORT_TABLE_OFFSET) {
    return Stop (Inspection, Text, "the file ends before the support count");
  }

  std::uint32_t  Count = Le32 (Buffer.data () + IMAGE_SUPPORT_COUNT_OFFSET);

  Inspection.SupportCount = Count;
  Text << "Support count:  " << Count << "\n";
  if (IMAGE_SUPPORT_TABLE_OFFSET + 8 * static_cast<std::uint64_t> (Count) > FileSize) {
    return Stop (Inspection, Text,
                 Format ("a support table of %u entries needs %llu bytes; the file has %zu", Count,
                         static_cast<unsigned long long> (IMAGE_SUPPORT_TABLE_OFFSET + 8 * static_cast<std::uint64_t> (Count)),
                         FileSize));
  }

  auto  Error = [&Inspection, &Text](const std::string &Message) {
                  Text << "error: " << Message << "\n";
                  Inspection.Errors.push_back (Message);
                };

  if (Count == 0) {
    Error ("the support table is empty: the application refuses the image for every controller");
  } else {
    Text << "    #  Vendor  Device  SubVendor  Subsystem\n";
  }

  bool  AnyModel = false;

  for (std::uint32_t Entry = 0; Entry < Count; Entry++) {
    const std::uint8_t  *At = Buffer.data () + IMAGE_SUPPORT_TABLE_OFFSET + 8 * static_cast<std::size_t> (Entry);
    UINT16              Ids[4] = { Le16 (At), Le16 (At + 2), Le16 (At + 4), Le16 (At + 6) };
    bool                Known  = NamesSupportedModel (Ids);

    AnyModel = AnyModel || Known;
    Inspection.Support.push_back (SUPPORT_FINDING { { Ids[0], Ids[1], Ids[2], Ids[3] }, Known });
    Text << Format ("  %3u  %04X    %04X    %04X       %04X\n", Entry, Ids[0], Ids[1], Ids[2], Ids[3]);
    if (!Known) {
      std::string  Note = Format ("support entry %u (%04X:%04X:%04X:%04X) names no model that the application "
                                  "drives: no controller matches it", Entry, Ids[0], Ids[1], Ids[2], Ids[3]);

      Text << "note: " << Note << "\n";
      Inspection.Notes.push_back (Note);
    }

    if (!IsControllerSupported (Ids)) {
      Error ("the application does not find this entry in the table");
    }
  }

  if ((Count > 0) && !AnyModel) {
    Error ("no support entry names a model that the application drives: no controller is ever updated with this image");
  }

  //
  // The scan, with the very arguments that the update driver passes.
  //
  UINT32       AreaLength = Length - mSupportTableSize - IMAGE_SIGNATURE_SIZE;
  std::size_t  AreaOffset = static_cast<std::size_t> (mComponentArea - Buffer.data ());
  UINT32       Found      = ScanImageComponents (mComponentArea, AreaLength);

  Inspection.AreaOffset = AreaOffset;
  Inspection.AreaLength = AreaLength;
  Text << Format ("Component area: offset 0x%zX, %u bytes\n", AreaOffset, AreaLength);
  Text << "Components:     " << Found << "\n";
  if (Found > 0) {
    Text << "    #  Offset      Family  Type  Size\n";
  }

  for (UINT32 Index = 0; Index < Found; Index++) {
    const IMAGE_COMPONENT  &Component = mComponentTable[Index];
    COMPONENT_FINDING      Finding {
      static_cast<std::size_t> (Component.Start - Buffer.data ()),
      CodeText (Component.Header + COMPONENT_FAMILY_OFFSET),
      CodeText (Component.Header + COMPONENT_TYPE_OFFSET),
      Le32 (Component.Header + COMPONENT_SIZE_OFFSET)
    };

    Text << Format ("  %3u  0x%08zX  %s    %s  %u\n", Index, Finding.Offset, Finding.Family.c_str (),
                    Finding.Type.c_str (), Finding.Size);
    Inspection.Components.push_back (Finding);
  }

  WALK  Walk = WalkArea (mComponentArea, AreaLength, AreaOffset);

  bool  Agree = (Walk.Accepted.size () == Found);

  for (UINT32 Index = 0; Agree && (Index < Found); Index++) {
    Agree = (Walk.Accepted[Index] == static_cast<std::size_t> (mComponentTable[Index].Start - mComponentArea));
  }

  for (const std::string &Note : Walk.Notes) {
    Text << "note: " << Note << "\n";
    Inspection.Notes.push_back (Note);
  }

  for (const std::string &Warning : Walk.Warnings) {
    Text << "warning: " << Warning << "\n";
    Inspection.Warnings.push_back (Warning);
  }

  for (const std::string &WalkError : Walk.Errors) {
    Error (WalkError);
  }

  if (!Agree) {
    Error ("the tool's walk of the component area does not match the application's scan");
  }

  if (Found == 0) {
    Error ("no component that the application accepts: it reports \"Not a valid firmware image..\"");
  }

  if (!Inspection.Errors.empty ()) {
    Inspection.Verdict = VERDICT::Refused;
  } else if (!Inspection.Warnings.empty ()) {
    Inspection.Verdict = VERDICT::Partial;
  } else {
    Inspection.Verdict = VERDICT::Ok;
  }

  Text << "Result:         " << VerdictName (Inspection.Verdict) << "\n";
  return Inspection;
}

void
WriteInspectionJson (
  const INSPECTION   &Inspection,
  const std::string  &FileName,
  std::ostream       &Out
  )
{
  Out << "{\n";
  Out << "  \"file\": " << JsonText (FileName) << ",\n";
  Out << "  \"size\": " << Inspection.FileSize << ",\n";
  Out << "  \"signature\": "
      << (Inspection.Signature.has_value () ? (*Inspection.Signature ? "true" : "false") : "null") << ",\n";
  Out << "  \"supportCount\": ";
  if (Inspection.SupportCount.has_value ()) {
    Out << *Inspection.SupportCount;
  } else {
    Out << "null";
  }

  Out << ",\n  \"support\": [";
  for (std::size_t Index = 0; Index < Inspection.Support.size (); Index++) {
    const SUPPORT_FINDING  &Entry = Inspection.Support[Index];

    Out << (Index == 0 ? "\n    " : ",\n    ")
        << Format ("{ \"vendor\": \"%04X\", \"device\": \"%04X\", \"subsystemVendor\": \"%04X\", "
                   "\"subsystem\": \"%04X\", \"known\": %s }",
                   Entry.Ids[0], Entry.Ids[1], Entry.Ids[2], Entry.Ids[3], Entry.Known ? "true" : "false");
  }

  Out << (Inspection.Support.empty () ? "],\n" : "\n  ],\n");
  if (Inspection.AreaOffset.has_value ()) {
    Out << "  \"componentArea\": { \"offset\": " << *Inspection.AreaOffset << ", \"length\": "
        << Inspection.AreaLength << " },\n";
  } else {
    Out << "  \"componentArea\": null,\n";
  }

  Out << "  \"components\": [";
  for (std::size_t Index = 0; Index < Inspection.Components.size (); Index++) {
    const COMPONENT_FINDING  &Component = Inspection.Components[Index];

    Out << (Index == 0 ? "\n    " : ",\n    ")
        << "{ \"offset\": " << Component.Offset << ", \"family\": " << JsonText (Component.Family)
        << ", \"type\": " << JsonText (Component.Type) << ", \"size\": " << Component.Size << " }";
  }

  Out << (Inspection.Components.empty () ? "],\n" : "\n  ],\n");
  WriteJsonList (Out, "notes", Inspection.Notes);
  WriteJsonList (Out, "warnings", Inspection.Warnings);
  WriteJsonList (Out, "errors", Inspection.Errors);
  Out << "  \"verdict\": \"" << VerdictName (Inspection.Verdict) << "\"\n";
  Out << "}\n";
}

int
VerdictExitStatus (
  VERDICT  Verdict
  )
{
  switch (Verdict) {
    case VERDICT::Ok:
      return EXIT_OK;
    case VERDICT::Partial:
      return EXIT_PARTIAL;
    case VERDICT::Refused:
      break;
  }

  return EXIT_REFUSED;
}

} // namespace ImageTool
