/** @file
  Scenario texts: a line-oriented description of a set of simulated
  controllers (Simulator/README.md describes the format).

  The parser never reads beyond the text it is given, keeps at most one line
  (1023 bytes) and 16 words at a time, and checks every number against the
  range of the field it fills.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimInternal.h"

namespace {

constexpr UINTN  SIM_MAX_LINE_LENGTH = 1023;
constexpr UINTN  SIM_MAX_WORDS       = 16;

struct WORD {
  CONST CHAR8    *Text;
  UINTN          Length;
  BOOLEAN        Quoted;
};

///
/// Parse state of one text.
///
struct PARSER {
  SIM_SCENARIO       *Scenario;
  SIM_PARSE_ERROR    *Error;
  UINT32             Line;
  SIM_CONFIG         *Current;          ///< controller being described, or NULL
  UINT32             CurrentLine;       ///< line of its "controller" keyword
  BOOLEAN            BarsGiven;         ///< a "bar" line replaced the default BARs
  BOOLEAN            StepsGiven;        ///< a "status" line replaced the default script
  WORD               Words[SIM_MAX_WORDS];
  UINTN              WordCount;
};

//
// ---------------------------------------------------------------------------
// Errors and words
// ---------------------------------------------------------------------------
//

VOID
AppendText (
  IN OUT CHAR8        *Buffer,
  IN     UINTN        Size,
  IN     CONST CHAR8  *Text,
  IN     UINTN        Length
  )
{
  UINTN  Used = SimStringLength (Buffer, Size);

  for (UINTN Index = 0; (Index < Length) && (Text[Index] != '\0') && (Used + 1 < Size); Index++) {
    Buffer[Used++] = Text[Index];
  }

  Buffer[Used] = '\0';
}

///
/// Record an error at Line; Word (may be NULL) is quoted after the message.
/// Always returns FALSE, so handlers can "return Fail (...)".
///
BOOLEAN
FailAt (
  IN OUT PARSER       *Parser,
  IN     UINT32       Line,
  IN     CONST CHAR8  *Message,
  IN     CONST WORD   *Word
  )
{
  SIM_PARSE_ERROR  *Error = Parser->Error;

  Error->Line       = Line;
  Error->Message[0] = '\0';
  AppendText (Error->Message, sizeof (Error->Message), Message, SIM_MAX_LINE_LENGTH);
  if (Word != NULL) {
    AppendText (Error->Message, sizeof (Error->Message), ": '", 3);
    AppendText (Error->Message, sizeof (Error->Message), Word->Text, (Word->Length > 40) ? 40 : Word->Length);
    AppendText (Error->Message, sizeof (Error->Message), "'", 1);
  }

  return FALSE;
}

BOOLEAN
Fail (
  IN OUT PARSER       *Parser,
  IN     CONST CHAR8  *Message,
  IN     CONST WORD   *Word = NULL
  )
{
  return FailAt (Parser, Parser->Line, Message, Word);
}

BOOLEAN
WordIs (
  IN CONST WORD   &Word,
  IN CONST CHAR8  *Text
  )
{
  UINTN  Length = SimStringLength (Text, SIM_MAX_LINE_LENGTH);

  if (Word.Quoted || (Word.Length != Length)) {
    return FALSE;
  }

  for (UINTN Index = 0; Index < Length; Index++) {
    if (Word.Text[Index] != Text[Index]) {
      return FALSE;
    }
  }

  return TRUE;
}

///
/// Split one line (without its end) into words. Quoted words keep
/// everything up to the closing quote; '#' at the start of a word begins a
/// comment.
///
BOOLEAN
SplitWords (
  IN OUT PARSER       *Parser,
  IN     CONST CHAR8  *Line,
  IN     UINTN        Length
  )
{
  UINTN  Position = 0;

  Parser->WordCount = 0;
  while (Position < Length) {
    CHAR8  Character = Line[Position];

    if ((Character == ' ') || (Character == '\t')) {
      Position++;
      continue;
    }

    if (Character == '#') {
      break;
    }

    if (Parser->WordCount == SIM_MAX_WORDS) {
      return Fail (Parser, "too many words on one line");
    }

    WORD  *Word = &Parser->Words[Parser->WordCount++];

    if (Character == '"') {
      UINTN  Start = ++Position;

      while ((Position < Length) && (Line[Position] != '"')) {
        Position++;
      }

      if (Position == Length) {
        return Fail (Parser, "string without closing quote");
      }

      Word->Text   = &Line[Start];
      Word->Length = Position - Start;
      Word->Quoted = TRUE;
      Position++;
      if ((Position < Length) && (Line[Position] != ' ') && (Line[Position] != '\t')) {
        return Fail (Parser, "closing quote must end the word");
      }

      continue;
    }

    UINTN  Start = Position;

    while ((Position < Length) && (Line[Position] != ' ') && (Line[Position] != '\t')) {
      if (Line[Position] == '"') {
        return Fail (Parser, "quote inside a word");
      }

      Position++;
    }

    Word->Text   = &Line[Start];
    Word->Length = Position - Start;
    Word->Quoted = FALSE;
  }

  return TRUE;
}

//
// ---------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------
//

///
/// A decimal or 0x-hexadecimal number of at most Maximum.
///
BOOLEAN
ParseNumber (
  IN OUT PARSER      *Parser,
  IN     UINTN       Index,
  IN     UINT64      Maximum,
  OUT    UINT64      *Value
  )
{
  if (Index >= Parser->WordCount) {
    return Fail (Parser, "a number is missing");
  }

  CONST WORD  *Word   = &Parser->Words[Index];
  UINT64      Result  = 0;
  UINT64      Base    = 10;
  UINTN       Start   = 0;

  if (Word->Quoted) {
    return Fail (Parser, "a number must not be quoted", Word);
  }

  if ((Word->Length > 2) && (Word->Text[0] == '0') && ((Word->Text[1] == 'x') || (Word->Text[1] == 'X'))) {
    Base  = 16;
    Start = 2;
  }

  if (Start == Word->Length) {
    return Fail (Parser, "not a number", Word);
  }

  for (UINTN Position = Start; Position < Word->Length; Position++) {
    CHAR8   Character = Word->Text[Position];
    UINT64  Digit;

    if ((Character >= '0') && (Character <= '9')) {
      Digit = static_cast<UINT64> (Character - '0');
    } else if ((Base == 16) && (Character >= 'a') && (Character <= 'f')) {
      Digit = static_cast<UINT64> (Character - 'a' + 10);
    } else if ((Base == 16) && (Character >= 'A') && (Character <= 'F')) {
      Digit = static_cast<UINT64> (Character - 'A' + 10);
    } else {
      return Fail (Parser, "not a number", Word);
    }

    if ((Digit > Maximum) || (Result > (Maximum - Digit) / Base)) {
      return Fail (Parser, "number out of range", Word);
    }

    Result = Result * Base + Digit;
  }

  *Value = Result;
  return TRUE;
}

BOOLEAN
ParseNumber8 (
  IN OUT PARSER  *Parser,
  IN     UINTN   Index,
  OUT    UINT8   *Value
  )
{
  UINT64  Number;

  if (!ParseNumber (Parser, Index, 0xFF, &Number)) {
    return FALSE;
  }

  *Value = static_cast<UINT8> (Number);
  return TRUE;
}

BOOLEAN
ParseNumber16 (
  IN OUT PARSER  *Parser,
  IN     UINTN   Index,
  OUT    UINT16  *Value
  )
{
  UINT64  Number;

  if (!ParseNumber (Parser, Index, 0xFFFF, &Number)) {
    return FALSE;
  }

  *Value = static_cast<UINT16> (Number);
  return TRUE;
}

BOOLEAN
ParseNumber32 (
  IN OUT PARSER  *Parser,
  IN     UINTN   Index,
  OUT    UINT32  *Value
  )
{
  UINT64  Number;

  if (!ParseNumber (Parser, Index, 0xFFFFFFFFu, &Number)) {
    return FALSE;
  }

  *Value = static_cast<UINT32> (Number);
  return TRUE;
}

///
/// An opcode by its OP_ name or as a number.
///
BOOLEAN
ParseOpcode (
  IN OUT PARSER  *Parser,
  IN     UINTN   Index,
  OUT    UINT32  *Opcode
  )
{
  if (Index < Parser->WordCount) {
    for (CONST CONTROLLER_COMMAND &Command : mControllerCommands) {
      if (WordIs (Parser->Words[Index], Command.Name)) {
        *Opcode = Command.Opcode;
        return TRUE;
      }
    }
  }

  return ParseNumber32 (Parser, Index, Opcode);
}

///
/// A name: copied NUL-terminated into Buffer, which has room for Capacity
/// characters and the NUL.
///
BOOLEAN
ParseName (
  IN OUT PARSER  *Parser,
  IN     UINTN   Index,
  OUT    CHAR8   *Buffer,
  IN     UINTN   Capacity
  )
{
  if (Index >= Parser->WordCount) {
    return Fail (Parser, "a name is missing");
  }

  CONST WORD  *Word = &Parser->Words[Index];

  if (Word->Length > Capacity) {
    return Fail (Parser, "name too long", Word);
  }

  SimCopyBytes (Buffer, Word->Text, Word->Length);
  SimZeroBytes (Buffer + Word->Length, Capacity + 1 - Word->Length);
  return TRUE;
}

BOOLEAN
ExpectWords (
  IN OUT PARSER  *Parser,
  IN     UINTN   Minimum,
  IN     UINTN   Maximum
  )
{
  if (Parser->WordCount < Minimum) {
    return Fail (Parser, "too few values", &Parser->Words[0]);
  }

  if (Parser->WordCount > Maximum) {
    return Fail (Parser, "too many values", &Parser->Words[0]);
  }

  return TRUE;
}

//
// ---------------------------------------------------------------------------
// Keywords
// ---------------------------------------------------------------------------
//

BOOLEAN
FinishController (
  IN OUT PARSER  *Parser
  )
{
  if (Parser->Current == NULL) {
    return TRUE;
  }

  CONST CHAR8  *Problem = SimCheckConfig (Parser->Current);

  Parser->Current = NULL;
  if (Problem != NULL) {
    return FailAt (Parser, Parser->CurrentLine, Problem, NULL);
  }

  return TRUE;
}

BOOLEAN
KeywordController (
  IN OUT PARSER  *Parser
  )
{
  UINT16  DeviceId = MAKER_DEVICE_ID_MODEL_1;

  if (!ExpectWords (Parser, 1, 2) || !FinishController (Parser)) {
    return FALSE;
  }

  if ((Parser->WordCount == 2) && !ParseNumber16 (Parser, 1, &DeviceId)) {
    return FALSE;
  }

  if (Parser->Scenario->ControllerCount == SIM_MAX_SCENARIO_CONTROLLERS) {
    return Fail (Parser, "too many controllers");
  }

  UINT32  Index = Parser->Scenario->ControllerCount++;

  Parser->Current     = &Parser->Scenario->Controllers[Index];
  Parser->CurrentLine = Parser->Line;
  Parser->BarsGiven   = FALSE;
  Parser->StepsGiven  = FALSE;
  SimConfigInit (Parser->Current, DeviceId, Index);
  return TRUE;
}

BOOLEAN
KeywordBar (
  IN OUT PARSER  *Parser
  )
{
  SIM_CONFIG  *Config = Parser->Current;
  UINT64      Index;
  UINT64      Address = 0;

  if (!ExpectWords (Parser, 3, 4) || !ParseNumber (Parser, 1, 5, &Index)) {
    return FALSE;
  }

  if (!Parser->BarsGiven) {
    SimZeroBytes (Config->Bars, sizeof (Config->Bars));
    Parser->BarsGiven = TRUE;
  }

  CONST WORD      &Kind = Parser->Words[2];
  SIM_BAR_CONFIG  *Bar  = &Config->Bars[Index];

  if (WordIs (Kind, "none")) {
    if (Parser->WordCount != 3) {
      return Fail (Parser, "an unused BAR takes no address");
    }

    Bar->Kind    = SIM_BAR_KIND::NONE;
    Bar->Address = 0;
    return TRUE;
  }

  if (WordIs (Kind, "io")) {
    Bar->Kind = SIM_BAR_KIND::IO;
  } else if (WordIs (Kind, "mem32")) {
    Bar->Kind = SIM_BAR_KIND::MEM32;
  } else if (WordIs (Kind, "mem64")) {
    Bar->Kind = SIM_BAR_KIND::MEM64;
  } else {
    return Fail (Parser, "BAR kind must be none, io, mem32 or mem64", &Kind);
  }

  if (!ParseNumber (Parser, 3, MAX_UINT64, &Address)) {
    return FALSE;
  }

  Bar->Address = Address;
  return TRUE;
}

BOOLEAN
KeywordStatus (
  IN OUT PARSER  *Parser
  )
{
  SIM_CONFIG  *Config = Parser->Current;
  UINT64      Target;

  if (!ExpectWords (Parser, 3, 5)) {
    return FALSE;
  }

  if (!Parser->StepsGiven) {
    Config->StatusStepCount = 0;
    Parser->StepsGiven      = TRUE;
  }

  if (Config->StatusStepCount == SIM_MAX_STATUS_STEPS) {
    return Fail (Parser, "too many status steps");
  }

  SIM_STATUS_STEP  *Step = &Config->StatusSteps[Config->StatusStepCount];

  Step->DoorbellStep = -1;
  if (!ParseNumber32 (Parser, 1, &Step->Value) || !ParseNumber32 (Parser, 2, &Step->Reads)) {
    return FALSE;
  }

  if (Parser->WordCount > 3) {
    if ((Parser->WordCount != 5) || !WordIs (Parser->Words[3], "doorbell")) {
      return Fail (Parser, "expected: status VALUE READS [doorbell STEP]");
    }

    if (!ParseNumber (Parser, 4, SIM_MAX_STATUS_STEPS, &Target)) {
      return FALSE;
    }

    if (Target == 0) {
      return Fail (Parser, "steps are numbered from 1", &Parser->Words[4]);
    }

    Step->DoorbellStep = static_cast<INT32> (Target - 1);
  }

  Config->StatusStepCount++;
  return TRUE;
}

BOOLEAN
KeywordDrive (
  IN OUT PARSER  *Parser
  )
{
  SIM_CONFIG  *Config = Parser->Current;

  if (!ExpectWords (Parser, 3, 9)) {
    return FALSE;
  }

  if (Config->DriveCount == SIM_MAX_DRIVES) {
    return Fail (Parser, "too many drives");
  }

  SIM_DRIVE_CONFIG  *Drive = &Config->Drives[Config->DriveCount];

  SimZeroBytes (Drive, sizeof (*Drive));
  if (!ParseNumber32 (Parser, 1, &Drive->Ref)) {
    return FALSE;
  }

  Drive->ReturnedRef = Drive->Ref;
  if (WordIs (Parser->Words[2], "wb")) {
    Drive->CachePolicy = LD_CACHE_POLICY_WRITE_BACK;
  } else if (WordIs (Parser->Words[2], "wt")) {
    Drive->CachePolicy = 0x00;
  } else if (!ParseNumber8 (Parser, 2, &Drive->CachePolicy)) {
    return FALSE;
  }

  for (UINTN Index = 3; Index < Parser->WordCount; Index += 2) {
    CONST WORD  &Option = Parser->Words[Index];
    BOOLEAN     Parsed;

    if (Index + 1 >= Parser->WordCount) {
      return Fail (Parser, "a value is missing", &Option);
    }

    if (WordIs (Option, "get-fail")) {
      Parsed = ParseNumber8 (Parser, Index + 1, &Drive->GetFailStatus);
    } else if (WordIs (Option, "set-fail")) {
      Parsed = ParseNumber8 (Parser, Index + 1, &Drive->SetFailStatus);
    } else if (WordIs (Option, "returns")) {
      Parsed = ParseNumber32 (Parser, Index + 1, &Drive->ReturnedRef);
    } else {
      return Fail (Parser, "drive option must be get-fail, set-fail or returns", &Option);
    }

    if (!Parsed) {
      return FALSE;
    }
  }

  Config->DriveCount++;
  return TRUE;
}

BOOLEAN
KeywordFault (
  IN OUT PARSER  *Parser,
  IN     BOOLEAN  DelayOnly
  )
{
  SIM_CONFIG  *Config = Parser->Current;

  if (Config->FaultCount == SIM_MAX_FAULTS) {
    return Fail (Parser, "too many fault rules");
  }

  SIM_FAULT  *Fault = &Config->Faults[Config->FaultCount];
  UINTN      Index;

  SimZeroBytes (Fault, sizeof (*Fault));
  if (DelayOnly) {
    if (!ExpectWords (Parser, 3, 3) || !ParseOpcode (Parser, 1, &Fault->Opcode) ||
        !ParseNumber (Parser, 2, MAX_UINT32, &Fault->DelayUs))
    {
      return FALSE;
    }

    Config->FaultCount++;
    return TRUE;
  }

  if (!ExpectWords (Parser, 4, 9) || !ParseOpcode (Parser, 1, &Fault->Opcode)) {
    return FALSE;
  }

  if (WordIs (Parser->Words[2], "all")) {
    Fault->Occurrence = SIM_EVERY_OCCURRENCE;
  } else {
    if (!ParseNumber32 (Parser, 2, &Fault->Occurrence)) {
      return FALSE;
    }

    if (Fault->Occurrence == 0) {
      return Fail (Parser, "occurrences are numbered from 1 (or use all)", &Parser->Words[2]);
    }
  }

  for (Index = 3; Index < Parser->WordCount; Index++) {
    CONST WORD  &Action = Parser->Words[Index];

    if (WordIs (Action, "no-answer")) {
      Fault->NoAnswer = TRUE;
    } else if (WordIs (Action, "status")) {
      if (!ParseNumber8 (Parser, ++Index, &Fault->Status)) {
        return FALSE;
      }

      Fault->HasStatus = TRUE;
    } else if (WordIs (Action, "delay")) {
      if (!ParseNumber (Parser, ++Index, MAX_UINT32, &Fault->DelayUs)) {
        return FALSE;
      }
    } else {
      return Fail (Parser, "fault action must be status, no-answer or delay", &Action);
    }
  }

  Config->FaultCount++;
  return TRUE;
}

///
/// One line's words, dispatched on the keyword.
///
BOOLEAN
ParseLine (
  IN OUT PARSER  *Parser
  )
{
  CONST WORD  &Keyword = Parser->Words[0];
  SIM_CONFIG  *Config;

  if (Keyword.Quoted) {
    return Fail (Parser, "a line must start with a keyword", &Keyword);
  }

  if (WordIs (Keyword, "controller")) {
    return KeywordController (Parser);
  }

  Config = Parser->Current;
  if (Config == NULL) {
    return Fail (Parser, "a 'controller' line must come first", &Keyword);
  }

  if (WordIs (Keyword, "vendor")) {
    return ExpectWords (Parser, 2, 2) && ParseNumber16 (Parser, 1, &Config->VendorId);
  }

  if (WordIs (Keyword, "device")) {
    if (!ExpectWords (Parser, 2, 2) || !ParseNumber16 (Parser, 1, &Config->DeviceId)) {
      return FALSE;
    }

    if (!Parser->BarsGiven) {
      SimConfigPlaceWindow (Config, Parser->Scenario->ControllerCount - 1);
    }

    return TRUE;
  }

  if (WordIs (Keyword, "subsystem")) {
    return ExpectWords (Parser, 3, 3) && ParseNumber16 (Parser, 1, &Config->SubsystemVendorId) &&
           ParseNumber16 (Parser, 2, &Config->SubsystemId);
  }

  if (WordIs (Keyword, "revision")) {
    return ExpectWords (Parser, 2, 2) && ParseNumber8 (Parser, 1, &Config->RevisionId);
  }

  if (WordIs (Keyword, "bar")) {
    return KeywordBar (Parser);
  }

  if (WordIs (Keyword, "window")) {
    return ExpectWords (Parser, 2, 2) && ParseNumber32 (Parser, 1, &Config->WindowSize);
  }

  if (WordIs (Keyword, "pci-read")) {
    if (!ExpectWords (Parser, 2, 2) || !WordIs (Parser->Words[1], "fail")) {
      return Fail (Parser, "expected: pci-read fail");
    }

    Config->PciReadFails = TRUE;
    return TRUE;
  }

  if (WordIs (Keyword, "bar-attributes")) {
    if (!ExpectWords (Parser, 2, 2) || !WordIs (Parser->Words[1], "unsupported")) {
      return Fail (Parser, "expected: bar-attributes unsupported");
    }

    Config->BarAttributesUnsupported = TRUE;
    return TRUE;
  }

  if (WordIs (Keyword, "dma")) {
    if (!ExpectWords (Parser, 2, 2)) {
      return FALSE;
    }

    if (WordIs (Parser->Words[1], "protected")) {
      Config->DmaProtected = TRUE;
      return TRUE;
    }

    if (WordIs (Parser->Words[1], "bounce")) {
      Config->DmaBounce = TRUE;
      return TRUE;
    }

    return Fail (Parser, "expected: dma protected or dma bounce");
  }

  if (WordIs (Keyword, "translation")) {
    return ExpectWords (Parser, 2, 2) && ParseNumber (Parser, 1, MAX_UINT64, &Config->MemoryTranslation);
  }

  if (WordIs (Keyword, "bus-master")) {
    if (!ExpectWords (Parser, 2, 2)) {
      return FALSE;
    }

    if (WordIs (Parser->Words[1], "stuck")) {
      Config->BusMasterStuck = TRUE;
      return TRUE;
    }

    if (!WordIs (Parser->Words[1], "off")) {
      return Fail (Parser, "expected: bus-master off or bus-master stuck");
    }

    Config->BusMasterOff = TRUE;
    return TRUE;
  }

  if (WordIs (Keyword, "attributes-set")) {
    if (!ExpectWords (Parser, 2, 2) || !WordIs (Parser->Words[1], "fail")) {
      return Fail (Parser, "expected: attributes-set fail");
    }

    Config->AttributesSetFails = TRUE;
    return TRUE;
  }

  if (WordIs (Keyword, "set-properties")) {
    if (!ExpectWords (Parser, 2, 2) || !WordIs (Parser->Words[1], "writes-back")) {
      return Fail (Parser, "expected: set-properties writes-back");
    }

    Config->SetWritesBack = TRUE;
    return TRUE;
  }

  if (WordIs (Keyword, "decoding")) {
    if (!ExpectWords (Parser, 2, 2) || !WordIs (Parser->Words[1], "off")) {
      return Fail (Parser, "expected: decoding off");
    }

    Config->DecodingOff = TRUE;
    return TRUE;
  }

  if (WordIs (Keyword, "persistent")) {
    if (!ExpectWords (Parser, 1, 1)) {
      return FALSE;
    }

    Config->Persistent = TRUE;
    return TRUE;
  }

  if (WordIs (Keyword, "map-limit")) {
    return ExpectWords (Parser, 2, 2) && ParseNumber32 (Parser, 1, &Config->MapLimit);
  }

  if (WordIs (Keyword, "location")) {
    return ExpectWords (Parser, 5, 5) && ParseNumber32 (Parser, 1, &Config->Location.Segment) &&
           ParseNumber8 (Parser, 2, &Config->Location.Bus) && ParseNumber8 (Parser, 3, &Config->Location.Device) &&
           ParseNumber8 (Parser, 4, &Config->Location.Function);
  }

  if (WordIs (Keyword, "status")) {
    return KeywordStatus (Parser);
  }

  if (WordIs (Keyword, "handshake")) {
    if (!ExpectWords (Parser, 2, 2)) {
      return FALSE;
    }

    if (WordIs (Parser->Words[1], "never")) {
      Config->HandshakeWrites = SIM_HANDSHAKE_NEVER;
      return TRUE;
    }

    UINT64  Writes;

    if (!ParseNumber (Parser, 1, SIM_HANDSHAKE_NEVER - 1, &Writes)) {
      return FALSE;
    }

    Config->HandshakeWrites = static_cast<UINT32> (Writes);
    return TRUE;
  }

  if (WordIs (Keyword, "product")) {
    if (!ExpectWords (Parser, 2, 3) || !ParseName (Parser, 1, Config->ProductName, CTRL_INFO_RESPONSE_SIZE - CTRL_INFO_PRODUCT_NAME)) {
      return FALSE;
    }

    Config->ProductNameUnterminated = FALSE;
    if (Parser->WordCount == 3) {
      if (!WordIs (Parser->Words[2], "unterminated")) {
        return Fail (Parser, "expected: product NAME [unterminated]");
      }

      Config->ProductNameUnterminated = TRUE;
    }

    return TRUE;
  }

  if (WordIs (Keyword, "battery")) {
    if (!ExpectWords (Parser, 3, 4) || !ParseNumber8 (Parser, 1, &Config->BbuType) ||
        !ParseNumber8 (Parser, 2, &Config->BbuTypeVariant))
    {
      return FALSE;
    }

    SimZeroBytes (Config->BbuName, sizeof (Config->BbuName));
    return (Parser->WordCount == 3) || ParseName (Parser, 3, Config->BbuName, sizeof (BBU_INFO_RESPONSE::Name));
  }

  if (WordIs (Keyword, "drive")) {
    return KeywordDrive (Parser);
  }

  if (WordIs (Keyword, "list-count")) {
    if (!ExpectWords (Parser, 2, 2) || !ParseNumber32 (Parser, 1, &Config->ListCount)) {
      return FALSE;
    }

    Config->OverrideListCount = TRUE;
    return TRUE;
  }

  if (WordIs (Keyword, "fault")) {
    return KeywordFault (Parser, FALSE);
  }

  if (WordIs (Keyword, "delay")) {
    return KeywordFault (Parser, TRUE);
  }

  return Fail (Parser, "unknown keyword", &Keyword);
}

} // namespace

BOOLEAN
SimParseScenario (
  IN  CONST CHAR8      *Text,
  IN  UINTN            Length,
  OUT SIM_SCENARIO     *Scenario,
  OUT SIM_PARSE_ERROR  *Error
  )
{
  PARSER  Parser;
  CHAR8   Line[SIM_MAX_LINE_LENGTH + 1];
  UINTN   Position = 0;

  SimZeroBytes (&Parser, sizeof (Parser));
  SimZeroBytes (Error, sizeof (*Error));
  Scenario->ControllerCount = 0;
  Parser.Scenario           = Scenario;
  Parser.Error              = Error;

  if ((Text == NULL) && (Length != 0)) {
    return Fail (&Parser, "no text");
  }

  while (Position < Length) {
    UINTN  End = Position;

    Parser.Line++;
    while ((End < Length) && (Text[End] != '\n')) {
      End++;
    }

    UINTN  LineLength = End - Position;

    if ((LineLength > 0) && (Text[End - 1] == '\r')) {
      LineLength--;
    }

    if (LineLength > SIM_MAX_LINE_LENGTH) {
      return Fail (&Parser, "line too long");
    }

    for (UINTN Index = 0; Index < LineLength; Index++) {
      CHAR8  Character = Text[Position + Index];

      if (((Character < ' ') && (Character != '\t')) || (static_cast<UINT8> (Character) >= 0x7F)) {
        return Fail (&Parser, "control character or non-ASCII byte");
      }

      Line[Index] = Character;
    }

    Line[LineLength] = '\0';
    Position         = End + 1;

    if (!SplitWords (&Parser, Line, LineLength)) {
      return FALSE;
    }

    if ((Parser.WordCount > 0) && !ParseLine (&Parser)) {
      return FALSE;
    }
  }

  return FinishController (&Parser);
}
