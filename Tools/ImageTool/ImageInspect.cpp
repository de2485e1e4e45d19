/** @file
  ctlimage inspect: runs the application's own signature check, support
  lookup and component scan on a file, prints what they see, and explains
  what the scan passed over.
**/

#include "ImageInspect.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

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

/// The last line for an image that the application refuses outright.
int
Refused (
  std::ostream  &Out
  )
{
  Out << "Result:         malformed\n";
  return INSPECT_MALFORMED;
}

} // namespace

int
InspectImage (
  const std::vector<std::uint8_t>  &File,
  std::ostream                     &Out
  )
{
  std::size_t  FileSize = File.size ();

  Out << "File size:      " << FileSize << " bytes\n";
  if (FileSize == 0) {
    Out << "error: the file is empty\n";
    return Refused (Out);
  }

  if (FileSize >= LOAD_SIZE_LIMIT) {
    Out << "error: the file is too large for the application (2^31 - 1 bytes or more)\n";
    return Refused (Out);
  }

  //
  // Loaded as the application loads it: one zero-filled buffer one byte
  // longer than the file.
  //
  std::vector<std::uint8_t>  Buffer (FileSize + 1, 0);

  std::copy (File.begin (), File.end (), Buffer.begin ());
  UINT32  Length = static_cast<UINT32> (FileSize);

  if (!CheckImageSignature (Buffer.data (), Length)) {
    Out << "Signature:      mismatch\n";
    Out << "error: not a firmware image: the first " << IMAGE_SIGNATURE_SIZE
        << " bytes are not the image signature, or the file is not longer than them\n";
    return Refused (Out);
  }

  Out << "Signature:      ok\n";
  if (FileSize < IMAGE_SUPPORT_TABLE_OFFSET) {
    Out << "error: the file ends before the support count\n";
    return Refused (Out);
  }

  std::uint32_t  Count = Le32 (Buffer.data () + IMAGE_SUPPORT_COUNT_OFFSET);

  Out << "Support count:  " << Count << "\n";
  if (IMAGE_SUPPORT_TABLE_OFFSET + 8 * static_cast<std::uint64_t> (Count) > FileSize) {
    Out << Format ("error: a support table of %u entries needs %llu bytes; the file has %zu\n", Count,
                   static_cast<unsigned long long> (IMAGE_SUPPORT_TABLE_OFFSET + 8 * static_cast<std::uint64_t> (Count)),
                   FileSize);
    return Refused (Out);
  }

  bool  Malformed = false;

  if (Count == 0) {
    Out << "error: the support table is empty: the application refuses the image for every controller\n";
    Malformed = true;
  } else {
    Out << "    #  Vendor  Device  SubVendor  Subsystem\n";
  }

  for (std::uint32_t Entry = 0; Entry < Count; Entry++) {
    const std::uint8_t  *At = Buffer.data () + IMAGE_SUPPORT_TABLE_OFFSET + 8 * static_cast<std::size_t> (Entry);
    UINT16              Ids[4] = { Le16 (At), Le16 (At + 2), Le16 (At + 4), Le16 (At + 6) };

    Out << Format ("  %3u  %04X    %04X    %04X       %04X\n", Entry, Ids[0], Ids[1], Ids[2], Ids[3]);
    if (!IsControllerSupported (Ids)) {
      Out << "error: the application does not find this entry in the table\n";
      Malformed = true;
    }
  }

  //
  // The scan, with the very arguments that the update driver passes.
  //
  UINT32       AreaLength = Length - mSupportTableSize - IMAGE_SIGNATURE_SIZE;
  std::size_t  AreaOffset = static_cast<std::size_t> (mComponentArea - Buffer.data ());
  UINT32       Found      = ScanImageComponents (mComponentArea, AreaLength);

  Out << Format ("Component area: offset 0x%zX, %u bytes\n", AreaOffset, AreaLength);
  Out << "Components:     " << Found << "\n";
  if (Found > 0) {
    Out << "    #  Offset      Family  Type  Size\n";
  }

  for (UINT32 Index = 0; Index < Found; Index++) {
    const IMAGE_COMPONENT  &Component = mComponentTable[Index];

    Out << Format ("  %3u  0x%08zX  %s    %s  %u\n", Index,
                   static_cast<std::size_t> (Component.Start - Buffer.data ()),
                   CodeText (Component.Header + COMPONENT_FAMILY_OFFSET).c_str (),
                   CodeText (Component.Header + COMPONENT_TYPE_OFFSET).c_str (),
                   Le32 (Component.Header + COMPONENT_SIZE_OFFSET));
  }

  WALK  Walk = WalkArea (mComponentArea, AreaLength, AreaOffset);

  bool  Agree = (Walk.Accepted.size () == Found);

  for (UINT32 Index = 0; Agree && (Index < Found); Index++) {
    Agree = (Walk.Accepted[Index] == static_cast<std::size_t> (mComponentTable[Index].Start - mComponentArea));
  }

  for (const std::string &Note : Walk.Notes) {
    Out << "note: " << Note << "\n";
  }

  for (const std::string &Warning : Walk.Warnings) {
    Out << "warning: " << Warning << "\n";
  }

  for (const std::string &Error : Walk.Errors) {
    Out << "error: " << Error << "\n";
    Malformed = true;
  }

  if (!Agree) {
    Out << "error: the tool's walk of the component area does not match the application's scan\n";
    Malformed = true;
  }

  if (Found == 0) {
    Out << "error: no component that the application accepts: it reports \"Not a valid firmware image..\"\n";
    Malformed = true;
  }

  Out << (Malformed ? "Result:         malformed\n" : "Result:         ok\n");
  return Malformed ? INSPECT_MALFORMED : INSPECT_OK;
}

} // namespace ImageTool
