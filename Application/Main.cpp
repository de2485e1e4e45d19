/** @file
  Entry from the UEFI Shell and the command-line flow: the start-up and exit
  hooks around a run, the choice between the controller listing and a
  firmware update, the tests of the update arguments, the closing message
  of an update and the exit status.

  Command lines:
    ctlflash.efi                     listing of the supported controllers
    ctlflash.efi FwFile idx          update of controller idx with FwFile
    ctlflash.efi FwFile idx force    the same, logical drives left alone
    ctlflash.efi FwFile idx check    every step of the update that only
                                     reads; nothing is written
**/

#include "CommandLine.h"

///
/// TRUE when the third argument is "force". Cleared at the start of every
/// command line, read by the write-cache guard.
///
BOOLEAN  mForceUpdate;

///
/// TRUE when the third argument is "check". Cleared at the start of every
/// command line, read by the update driver and the write-cache guard.
///
BOOLEAN  mCheckOnly;

namespace {

constexpr UINT32  EXIT_HOOK_CAPACITY   = 128;
constexpr UINTN   ARGUMENT_BUFFER_SIZE = 256;

///
/// Index of each argument in Argv.
///
constexpr UINTN  ARG_FILE  = 1;
constexpr UINTN  ARG_INDEX = 2;
constexpr UINTN  ARG_MODE  = 3;

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

BOOLEAN
IsDecimalDigit (
  IN CHAR16  Character
  )
{
  return (Character >= L'0') && (Character <= L'9');
}

///
/// TRUE when Index is one or more decimal digits, every CHAR16 of it as the
/// shell gives it ("0x1", "1a", "1O", " 1", "-1" and "" are not), and their
/// value fits 32 bits. A typo must never select another controller.
///
BOOLEAN
IndexIsStrictDecimal (
  IN CONST CHAR16  *Index
  )
{
  UINT64  Value = 0;

  if (*Index == 0) {
    return FALSE;
  }

  for ( ; *Index != 0; Index++) {
    if (!IsDecimalDigit (*Index)) {
      return FALSE;
    }

    Value = Value * 10 + (*Index - L'0');
    if (Value > MAX_UINT32) {
      return FALSE;
    }
  }

  return TRUE;
}

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

/**
  The tests of the update command line, in order. Sets mForceUpdate when the
  third argument is "force" and mCheckOnly when it is "check".

  Besides the tests of the command line, an argument that does not fit the
  256-byte argument buffer is refused here too, rather than overrunning the
  buffer.
**/
BOOLEAN
UpdateArgumentsAreValid (
  IN UINTN   Argc,
  IN CHAR16  **Argv
  )
{
  if ((Argc != 3) && (Argc != 4)) {
    return FALSE;
  }

  if (!FitsArgumentBuffer (Argv[ARG_FILE]) || !FitsArgumentBuffer (Argv[ARG_INDEX])) {
    return FALSE;
  }

  if (!IndexIsStrictDecimal (Argv[ARG_INDEX])) {
    return FALSE;
  }

  if (Argc == 4) {
    if (StrCmp (Argv[ARG_MODE], CTL_WSTR ("force")) == 0) {
      mForceUpdate = TRUE;
    } else if (StrCmp (Argv[ARG_MODE], CTL_WSTR ("check")) == 0) {
      mCheckOnly = TRUE;
    } else {
      return FALSE;
    }
  }

  return TRUE;
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
  mForceUpdate = FALSE;
  mCheckOnly   = FALSE;

  DiscoverControllers ();

  //
  // Without a supported controller the run ends silently, whatever the
  // command line says; the exit status still tells a script what happened.
  //
  if (mControllerTable.ControllerCount == 0) {
    if (Argc == 1) {
      return EFI_SUCCESS;
    }

    return UpdateArgumentsAreValid (Argc, Argv) ? EFI_NOT_FOUND : EFI_INVALID_PARAMETER;
  }

  if (Argc == 1) {
    CollectControllerInventory ();
    PrintControllerListing ();
    return EFI_SUCCESS;
  }

  if (!UpdateArgumentsAreValid (Argc, Argv)) {
    AsciiPrint ("\nInvalid arguments ..");
    return EFI_INVALID_PARAMETER;
  }

  if (!FileNameIsLatin1 (Argv[ARG_FILE])) {
    AsciiPrint ("\nFwFile has a character above U+00FF; such a file name cannot be opened..");
    return EFI_INVALID_PARAMETER;
  }

  CollectControllerInventory ();

  CHAR8  Argument[ARGUMENT_BUFFER_SIZE];
  INT32  Index = AsciiToInt (UnicodeToAsciiCopy (Argument, Argv[ARG_INDEX]));

  if (static_cast<UINT32> (Index) >= mControllerTable.ControllerCount) {
    AsciiPrint ("\nInvalid controller index (idx = %d) !", Index);
    return EFI_NOT_FOUND;
  }

  CONTROLLER_CONTEXT  *Controller = GetControllerContext (static_cast<UINT32> (Index));

  //
  // A controller that did not answer the inventory is refused here, before
  // the file is read: an update attempt could only fail further on, with a
  // message that says nothing about the real cause. That is a failed
  // information request (Disabled) as much as a battery request that timed
  // out (NotAnswering: every later request would fail at once).
  //
  if (Controller->Disabled || Controller->NotAnswering) {
    AsciiPrint ("\nController %d did not answer; it is not updated..", Index);
    return EFI_NO_RESPONSE;
  }

  UPDATE_OUTCOME  Outcome = UpdateFirmware (UnicodeToAsciiCopy (Argument, Argv[ARG_FILE]), Controller);

  if (mCheckOnly) {
    if (Outcome.Status == EFI_SUCCESS) {
      AsciiPrint ("\nCheck passed: the update would go ahead..\n");
    } else {
      AsciiPrint ("\nCheck failed: the update would not go ahead..");
    }
  } else if (Outcome.FirmwareWritten) {
    AsciiPrint ("\nSuccessfully updated firmware..\n");
  } else {
    AsciiPrint ("\nUpdated failed..");
  }

  return Outcome.Status;
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
  RunExitHooks ();
  return static_cast<INTN> (Status);
}
