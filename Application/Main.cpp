/** @file
  Entry from the UEFI Shell and the command-line flow: the start-up and exit
  hooks around a run, the choice between the controller listing and a
  firmware update, the tests of the update arguments, the closing message
  of an update and the exit status.

  Command lines ("-sfo" may be added anywhere to any of them):
    ctlflash.efi                        listing of the supported controllers
    ctlflash.efi FwFile target          update of the target with FwFile
    ctlflash.efi FwFile target force    the same, logical drives left alone
    ctlflash.efi FwFile target check    every step of the update that only
                                        reads; nothing is written
    ctlflash.efi forget LOCATION        drop the update record of the
                                        controller at that PCI location
  A target is an index of the listing, a PCI location (SSSS:BB:DD.F or
  BB:DD.F) or "all".

  The help page (help ctlflash, ctlflash.efi -?) is the string
  STRING_TOKEN (STR_GET_HELP_CTLFLASH) of CtlFlash.uni, built into the
  image as an HII package list, where the shell looks for it. The mention
  here is what makes the build keep the string.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "CommandLine.h"
#include "ControllerRecords.h"
#include "StandardFormat.h"
#include "UpdateRun.h"

// The two modes of the third word; documented where CtlFlash.h declares them.
BOOLEAN  mForceUpdate;
BOOLEAN  mCheckOnly;

namespace {

constexpr UINT32  EXIT_HOOK_CAPACITY = 128;

///
/// The static initialisers laid out for the application: a single null
/// entry, so nothing runs from it.
///
constexpr APPLICATION_HOOK  mStartupInitializers[] = { NULL };

} // namespace

///
/// Exit hooks: a zero-filled pool table of EXIT_HOOK_CAPACITY entries created
/// at start-up; the first mExitHookCount entries are registered hooks. The
/// application registers none.
///
APPLICATION_HOOK  *mExitHooks;
UINT32            mExitHookCapacity;
UINT32            mExitHookCount;

VOID
CallHookRange (
  IN CONST APPLICATION_HOOK  *First,
  IN CONST APPLICATION_HOOK  *End
  )
{
  for (CONST APPLICATION_HOOK *Entry = First; Entry < End; Entry++) {
    if (*Entry != NULL) {
      (*Entry)();
    }
  }
}

//
// A table that cannot be allocated is not reported: nothing depends on it.
//
VOID
RunStartupHooks (
  VOID
  )
{
  mExitHookCapacity = EXIT_HOOK_CAPACITY;
  mExitHooks        = static_cast<APPLICATION_HOOK *> (AllocateZeroPool (EXIT_HOOK_CAPACITY * sizeof (APPLICATION_HOOK)));
  CallHookRange (mStartupInitializers, mStartupInitializers + ArrayCount (mStartupInitializers));
}

//
// The table is released so that no pool memory outlives the run.
//
VOID
RunExitHooks (
  VOID
  )
{
  if ((mExitHooks != NULL) && (mExitHookCount != 0)) {
    UINT32  Count = MIN (mExitHookCount, mExitHookCapacity);

    CallHookRange (mExitHooks, mExitHooks + Count);
  }

  if (mExitHooks != NULL) {
    FreePool (mExitHooks);
    mExitHooks = NULL;
  }

  mExitHookCapacity = 0;
  mExitHookCount    = 0;
}

CHAR8 *
UnicodeToAsciiCopy (
  OUT CHAR8         *Destination,
  IN  CONST CHAR16  *Source
  )
{
  CHAR8  *Next = Destination;

  for ( ; *Source != 0; Source++) {
    *Next++ = static_cast<CHAR8> (*Source & 0xFF);
  }

  *Next = 0;
  return Destination;
}

INT32
AsciiToInt (
  IN CONST CHAR8  *String
  )
{
  while ((*String == ' ') || (*String == '\t')) {
    String++;
  }

  UINT32  Sign = 1;

  if (*String == '-') {
    Sign = static_cast<UINT32> (-1);
    String++;
  } else if (*String == '+') {
    String++;
  }

  UINT32  Value = 0;

  for ( ; (*String >= '0') && (*String <= '9'); String++) {
    Value = Value * 10 + static_cast<UINT32> (*String - '0');
  }

  return static_cast<INT32> (Value * Sign);
}

namespace {

///
/// What is wrong with a refused update command line; each has its own
/// line after "Invalid arguments ..".
///
enum class ARGUMENT_FAULT : UINT8 {
  NONE,
  COUNT,      ///< not FwFile, a target and an optional word
  TOO_LONG,   ///< an argument of more than 255 characters
  TARGET,     ///< the target is no index, PCI location or "all"
  MODE        ///< the third word is not "force" or "check"
};

///
/// The command line without "-sfo": at most three words are kept, Count
/// says how many there were.
///
struct COMMAND_WORDS {
  CONST CHAR16    *Word[3];
  UINTN           Count;
  BOOLEAN         Sfo;
};

///
/// TRUE when the argument, with its NUL, fits the argument buffer.
///
BOOLEAN
FitsArgumentBuffer (
  IN CONST CHAR16  *Argument
  )
{
  return StrnLenS (Argument, ARGUMENT_BUFFER_SIZE) < ARGUMENT_BUFFER_SIZE;
}

///
/// Split off "-sfo" (wherever it stands, once) from the other words.
///
VOID
SplitCommandLine (
  IN  UINTN          Argc,
  IN  CHAR16         **Argv,
  OUT COMMAND_WORDS  *Words
  )
{
  Words->Count = 0;
  Words->Sfo   = FALSE;
  for (UINTN Index = 1; Index < Argc; Index++) {
    if (!Words->Sfo && (StrCmp (Argv[Index], CTL_WSTR ("-sfo")) == 0)) {
      Words->Sfo = TRUE;
      continue;
    }

    if (Words->Count < ArrayCount (Words->Word)) {
      Words->Word[Words->Count] = Argv[Index];
    }

    Words->Count++;
  }
}

/**
  The tests of the update command line, in order: two or three words (the
  file, the target, "force" or "check"), each of at most 255 characters, a
  valid target, a valid third word. Sets mForceUpdate when the third word
  is "force" and mCheckOnly when it is "check".
**/
ARGUMENT_FAULT
CheckUpdateWords (
  IN  CONST COMMAND_WORDS  *Words,
  OUT UPDATE_TARGET        *Target
  )
{
  if ((Words->Count != 2) && (Words->Count != 3)) {
    return ARGUMENT_FAULT::COUNT;
  }

  for (UINTN Index = 0; Index < Words->Count; Index++) {
    if (!FitsArgumentBuffer (Words->Word[Index])) {
      return ARGUMENT_FAULT::TOO_LONG;
    }
  }

  if (!ParseTarget (Words->Word[1], Target)) {
    return ARGUMENT_FAULT::TARGET;
  }

  if (Words->Count == 3) {
    if (StrCmp (Words->Word[2], CTL_WSTR ("force")) == 0) {
      mForceUpdate = TRUE;
    } else if (StrCmp (Words->Word[2], CTL_WSTR ("check")) == 0) {
      mCheckOnly = TRUE;
    } else {
      return ARGUMENT_FAULT::MODE;
    }
  }

  return ARGUMENT_FAULT::NONE;
}

///
/// A word as the fault line shows it: each CHAR16 narrowed to its low byte,
/// a byte outside printable ASCII shown as ?. The word fits the buffer.
///
CONST CHAR8 *
ShownWord (
  OUT CHAR8         *Text,
  IN  CONST CHAR16  *Word
  )
{
  UINTN  Length = 0;

  for ( ; (*Word != 0) && (Length + 1 < ARGUMENT_BUFFER_SIZE); Word++) {
    CHAR8  Character = static_cast<CHAR8> (*Word & 0xFF);

    Text[Length++] = ((*Word < 0x20) || (*Word > 0x7E)) ? '?' : Character;
  }

  Text[Length] = 0;
  return Text;
}

VOID
PrintArgumentFault (
  IN ARGUMENT_FAULT       Fault,
  IN CONST COMMAND_WORDS  *Words
  )
{
  CHAR8  Text[ARGUMENT_BUFFER_SIZE];

  AsciiPrint ("\nInvalid arguments ..");
  switch (Fault) {
    case ARGUMENT_FAULT::COUNT:
      AsciiPrint ("\nExpected: ctlflash.efi FwFile idx|SSSS:BB:DD.F|BB:DD.F|all [force|check] [-sfo]");
      break;
    case ARGUMENT_FAULT::TOO_LONG:
      AsciiPrint ("\nAn argument is longer than 255 characters.");
      break;
    case ARGUMENT_FAULT::TARGET:
      AsciiPrint ("\nNot a controller index, a PCI location (SSSS:BB:DD.F or BB:DD.F) or all: \"%a\"", ShownWord (Text, Words->Word[1]));
      break;
    default:
      AsciiPrint ("\nThe third word must be force or check, not \"%a\"", ShownWord (Text, Words->Word[2]));
      break;
  }
}

///
/// "forget LOCATION": drop the update record kept for that location. It
/// needs no controller, so it runs before discovery.
///
EFI_STATUS
ForgetCommand (
  IN CONST CHAR16  *LocationText
  )
{
  PCI_LOCATION  Location;
  CHAR8         Text[CONTROLLER_LOCATION_SIZE];

  if (!ParsePciLocation (LocationText, &Location)) {
    AsciiPrint ("\nInvalid arguments ..");
    return EFI_INVALID_PARAMETER;
  }

  //
  // The record is named by the location as the messages print it.
  //
  AsciiSPrint (Text, sizeof (Text), "%04x:%02x:%02x.%x", Location.Segment, Location.Bus, Location.Device, Location.Function);
  return ForgetUpdateRecord (Text);
}

///
/// TRUE when every character of Name is in Latin-1 (U+0001 to U+00FF): the
/// file name goes on as one byte per character, and a character above
/// U+00FF has no such byte (U+0100 would become a NUL and end the name
/// early, so another file than the one named would be read).
///
BOOLEAN
FileNameIsLatin1 (
  IN CONST CHAR16  *Name
  )
{
  for ( ; *Name != 0; Name++) {
    if (*Name > 0xFF) {
      return FALSE;
    }
  }

  return TRUE;
}

} // namespace

EFI_STATUS
ProcessCommandLine (
  IN UINTN   Argc,
  IN CHAR16  **Argv
  )
{
  COMMAND_WORDS  Words;
  UPDATE_TARGET  Target;

  mForceUpdate = FALSE;
  mCheckOnly   = FALSE;
  ResetResultLine ();

  SplitCommandLine (Argc, Argv, &Words);
  if (Words.Sfo) {
    SfoStart ("ctlflash");
  }

  if ((Words.Count == 2) && (StrCmp (Words.Word[0], CTL_WSTR ("forget")) == 0)) {
    return ForgetCommand (Words.Word[1]);
  }

  DiscoverControllers ();

  //
  // Without a supported controller nothing is printed but, for an update
  // or check command line, its result line; the exit status still tells a
  // script what happened.
  //
  if (mControllerTable.ControllerCount == 0) {
    if (Words.Count == 0) {
      WriteControllerRecords ();
      return EFI_SUCCESS;
    }

    NoteRunRefused ();
    return (CheckUpdateWords (&Words, &Target) == ARGUMENT_FAULT::NONE) ? EFI_NOT_FOUND : EFI_INVALID_PARAMETER;
  }

  if (Words.Count == 0) {
    CollectControllerInventory ();
    if (Words.Sfo) {
      WriteControllerRecords ();
    } else {
      PrintControllerListing ();
    }

    return EFI_SUCCESS;
  }

  ARGUMENT_FAULT  Fault = CheckUpdateWords (&Words, &Target);

  if (Fault != ARGUMENT_FAULT::NONE) {
    PrintArgumentFault (Fault, &Words);
    NoteRunRefused ();
    return EFI_INVALID_PARAMETER;
  }

  if (!FileNameIsLatin1 (Words.Word[0])) {
    AsciiPrint ("\nFwFile has a character above U+00FF; such a file name cannot be opened..");
    NoteRunRefused ();
    return EFI_INVALID_PARAMETER;
  }

  CollectControllerInventory ();
  return RunUpdate (Words.Word[0], &Target);
}

/**
  Entry from the shell-entry library, which hands the result on unchanged as
  the image's exit status.

  @param[in] Argc  Number of arguments, the program name included.
  @param[in] Argv  The arguments.

  @return The EFI_STATUS of ProcessCommandLine (see CommandLine.h).
**/
extern "C" INTN
EFIAPI
ShellAppMain (
  IN UINTN   Argc,
  IN CHAR16  **Argv
  )
{
  RunStartupHooks ();
  EFI_STATUS  Status = ProcessCommandLine (Argc, Argv);
  RestoreControllerAttributes ();
  //
  // Last, so that nothing follows the result line; before the records'
  // output is given back, so that it goes with the messages.
  //
  PrintResultLine (Status);
  SfoStop ();
  RunExitHooks ();
  return static_cast<INTN> (Status);
}
