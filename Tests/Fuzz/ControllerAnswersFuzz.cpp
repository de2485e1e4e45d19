/** @file
  libFuzzer target of what a controller answers. Every input describes one
  simulated controller: its product name and battery records, its logical
  drives (references, target ids, policies, failing reads and writes), the
  count its drive list claims, fault rules (a status instead of the answer,
  no answer at all, an answer late within the poll limit), and a stream of
  byte patches that the simulator's answer hook applies to every data
  answer (controller information, battery records, drive list, drive
  properties) as it is written.

  The application then runs four times against that controller, from a
  fresh start each time: the listing, a check, a forced update and an
  update. After each run the frame journal, the answers delivered and the
  console are held against what must never happen:
  - an access outside a buffer (AddressSanitizer, and the simulator's
    journal of bus-master accesses outside the mappings);
  - a flash request after a refused step;
  - more requests than the sequence allows;
  - a drive switched to write-through and neither restored nor reported;
  - pool memory left behind (besides the frames of requests that got no
    answer, which are kept on purpose) and any other leak (LeakSanitizer).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

//
// Before any EDK II header: those make every later declaration hidden.
//
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "HostTest.h"
#include "HostConsole.h"
#include "HostHarness.h"
#include "HostMemoryAllocationLib.h"
#include "HostShellLib.h"
#include "ImageBuilder.h"
#include "SimHost.h"

#include "Application/CommandLine.h"

namespace {

///
/// The image every update of the fuzzer flashes: two components, the first
/// of two pieces, the second of one.
///
constexpr UINT32  COMPONENTS     = 2;
constexpr UINT32  PIECES         = 3;
constexpr UINT32  INVENTORY      = 4;     ///< information and three battery requests
constexpr UINT32  MAX_DRIVES     = 8;
constexpr UINT32  MAX_FAULTS     = 6;
///
/// Longest delay a fault rule asks for: past the 5 s after which a wait is
/// shown, far below the poll limit of 180 s, so a delayed answer is never a
/// time-out (those come from no-answer rules only, whose commands never
/// run), and short enough to keep the runs quick.
///
constexpr UINT64  MAX_DELAY_US   = 8000000ull;

///
/// The controller of the run being checked, for the report of a violation.
///
SIM_CONTROLLER  *mCurrentSim;

[[noreturn]] VOID
Violation (
  const std::string  &What,
  const std::string  &Run,
  const std::string  &Console
  )
{
  std::string  Journal;

  for (UINT32 Index = 0; (mCurrentSim != NULL) && (Index < SimFrameCount (mCurrentSim)); Index++) {
    Journal += SimHostFrameText (mCurrentSim, Index) + "\n";
  }

  for (UINT32 Index = 0; (mCurrentSim != NULL) && (SimGetSetRecord (mCurrentSim, Index) != NULL); Index++) {
    CONST SIM_SET_RECORD  *Set = SimGetSetRecord (mCurrentSim, Index);

    Journal += "set " + std::to_string (Index) + " ref " + std::to_string (Set->Mailbox0) + " policy " +
               std::to_string (Set->Data[OFFSET_OF (LD_PROPERTIES, CachePolicy)]) + " status " + std::to_string (Set->Status) + "\n";
  }

  std::fprintf (stderr, "controller answers: %s (run: %s)\nconsole:\n%s\njournal:\n%s", What.c_str (), Run.c_str (),
                Console.c_str (), Journal.c_str ());
  std::abort ();
}

///
/// Bytes of the input, read front to back; zeros once they run out.
///
class READER {
public:
  READER (const std::uint8_t *Data, std::size_t Size) : mData (Data), mSize (Size) {}

  UINT8
  Byte ()
  {
    return (mPosition < mSize) ? mData[mPosition++] : 0;
  }

  UINT16
  Word ()
  {
    return static_cast<UINT16> (Byte () | (Byte () << 8));
  }

  UINT32
  Dword ()
  {
    return static_cast<UINT32> (Word ()) | (static_cast<UINT32> (Word ()) << 16);
  }

  /// The bytes not read yet.
  READER
  Rest () const
  {
    return READER (mData + mPosition, mSize - mPosition);
  }

private:
  const std::uint8_t  *mData;
  std::size_t         mSize;
  std::size_t         mPosition = 0;
};

///
/// One data answer as it reached the host.
///
struct ANSWER {
  UINT32                Opcode;
  UINT32                Mailbox0;
  std::vector<UINT8>    Bytes;
};

///
/// The answer hook's state: the patch stream (the same for every run, so
/// the controller answers alike each time) and the answers of this run.
///
struct PATCHER {
  READER                 Patches = READER (nullptr, 0);
  std::vector<ANSWER>    Delivered;

  static VOID
  Hook (
    VOID    *Context,
    UINT32  Opcode,
    UINT32  Mailbox0,
    UINT8   *Answer,
    UINT32  Length
    )
  {
    PATCHER  *Self  = static_cast<PATCHER *> (Context);
    UINT8    Count  = Self->Patches.Byte () % 8;

    for (UINT8 Index = 0; Index < Count; Index++) {
      UINT8   Where = Self->Patches.Byte ();
      UINT32  Offset;

      //
      // Mostly the first bytes, where counts, references and types are;
      // sometimes anywhere.
      //
      if (Where < 0xC0) {
        Offset = Where % 64;
        if ((Opcode == OP_LD_GET_PROPERTIES) && (Where & 1)) {
          Offset = OFFSET_OF (LD_PROPERTIES, CachePolicy);
        }
      } else {
        Offset = Self->Patches.Word ();
      }

      Answer[Offset % Length] = Self->Patches.Byte ();
    }

    Self->Delivered.push_back ({ Opcode, Mailbox0, std::vector<UINT8> (Answer, Answer + Length) });
  }
};

CONST UINT32  mOpcodes[] = {
  OP_CTRL_INFO, OP_BBU_STATUS, OP_BBU_INFO, OP_BBU_0507, OP_LD_LIST, OP_LD_GET_PROPERTIES,
  OP_LD_SET_PROPERTIES, OP_FLASH_OPEN, OP_FLASH_DOWNLOAD, OP_FLASH_COMMIT, OP_FLASH_CLOSE
};

/**
  The controller that the input describes.
**/
SIM_CONFIG
DescribeController (
  READER   &Input,
  PATCHER  &Patcher
  )
{
  SIM_CONFIG  Config = SimHostConfig (mSupportedControllers[Input.Byte () % SUPPORTED_CONTROLLER_COUNT].DeviceId);

  UINT8  NameLength = Input.Byte () % 48;

  for (UINT8 Index = 0; Index < NameLength; Index++) {
    Config.ProductName[Index] = static_cast<CHAR8> ((Input.Byte () % 95) + 0x20);
  }

  Config.ProductName[NameLength] = 0;

  UINT8  Flags = Input.Byte ();

  Config.ProductNameUnterminated = (Flags & 1) != 0;
  Config.BbuType                 = Input.Byte ();
  Config.BbuTypeVariant          = Input.Byte () % 3;
  for (UINTN Index = 0; Index < sizeof (Config.BbuName) - 1; Index++) {
    Config.BbuName[Index] = static_cast<CHAR8> ((Input.Byte () % 95) + 0x20);
  }

  Config.DriveCount = Input.Byte () % (MAX_DRIVES + 1);
  for (UINT32 Index = 0; Index < Config.DriveCount; Index++) {
    SIM_DRIVE_CONFIG  &Drive = Config.Drives[Index];
    UINT8             Kind   = Input.Byte ();

    Drive.Ref           = (static_cast<UINT32> (Input.Byte ()) << 8) | (Input.Byte () % 72);
    Drive.ReturnedRef   = ((Kind & 1) != 0) ? Input.Dword () : Drive.Ref;
    Drive.CachePolicy   = ((Kind & 6) == 0) ? Input.Byte () : (((Kind & 2) != 0) ? 0x01 : 0x00);
    Drive.GetFailStatus = ((Kind & 0x18) == 0x18) ? static_cast<UINT8> (Input.Byte () | 1) : 0;
    Drive.SetFailStatus = ((Kind & 0x60) == 0x60) ? static_cast<UINT8> (Input.Byte () | 1) : 0;
  }

  if ((Flags & 2) != 0) {
    Config.OverrideListCount = TRUE;
    Config.ListCount         = ((Flags & 4) != 0) ? Input.Dword () : Input.Byte ();
  }

  //
  // Fault rules. A status rule never answers 0 without running the
  // command, so an answer of 0 always means the command ran; at most one
  // rule leaves a request unanswered (each costs the full poll limit).
  //
  UINT32   Faults   = Input.Byte () % (MAX_FAULTS + 1);
  BOOLEAN  NoAnswer = FALSE;

  for (UINT32 Index = 0; Index < Faults; Index++) {
    SIM_FAULT  &Fault = Config.Faults[Config.FaultCount];
    UINT8      Action = Input.Byte ();

    Fault.Opcode     = mOpcodes[Input.Byte () % ARRAY_SIZE (mOpcodes)];
    Fault.Occurrence = Input.Byte () % 4;
    switch (Action % 3) {
      case 0:
        Fault.HasStatus = TRUE;
        Fault.Status    = static_cast<UINT8> (Input.Byte () | 1);
        break;
      case 1:
        if (NoAnswer) {
          continue;
        }

        NoAnswer       = TRUE;
        Fault.NoAnswer = TRUE;
        break;
      default:
        Fault.DelayUs = (static_cast<UINT64> (Input.Word ()) * 200ull) % MAX_DELAY_US;
        break;
    }

    Config.FaultCount++;
  }

  Patcher.Patches           = Input.Rest ();
  Config.AnswerHook         = PATCHER::Hook;
  Config.AnswerHookContext  = &Patcher;
  return Config;
}

BOOLEAN
IsInventory (
  UINT32  Opcode
  )
{
  return (Opcode == OP_CTRL_INFO) || (Opcode == OP_BBU_STATUS) || (Opcode == OP_BBU_INFO) || (Opcode == OP_BBU_0507);
}

BOOLEAN
IsFlash (
  UINT32  Opcode
  )
{
  return (Opcode == OP_FLASH_OPEN) || (Opcode == OP_FLASH_DOWNLOAD) || (Opcode == OP_FLASH_COMMIT) || (Opcode == OP_FLASH_CLOSE);
}

BOOLEAN
IsDriveRequest (
  UINT32  Opcode
  )
{
  return (Opcode == OP_LD_LIST) || (Opcode == OP_LD_GET_PROPERTIES) || (Opcode == OP_LD_SET_PROPERTIES);
}

enum class RUN_KIND {
  LISTING,
  CHECK,
  FORCED,
  UPDATE
};

///
/// The checks of one run, against the journal of the controller.
///
VOID
CheckRun (
  RUN_KIND            Kind,
  const std::string   &Name,
  SIM_CONTROLLER      *Sim,
  const PATCHER       &Patcher,
  const std::string   &Console,
  EFI_STATUS          Status
  )
{
  std::map<UINT32, UINT32>  Count;
  UINT32                    Frames = SimFrameCount (Sim);
  UINT32                    Unanswered = 0;

  for (UINT32 Index = 0; Index < Frames; Index++) {
    CONST SIM_FRAME_RECORD  *Frame = SimGetFrame (Sim, Index);

    if (Frame->Check != SIM_FRAME_CHECK::OK) {
      Violation ("a malformed frame: " + SimHostFrameText (Sim, Index), Name, Console);
    }

    //
    // A status of 0xFF written by the controller is the host's preset: to
    // the host that is no answer either.
    //
    Count[Frame->Opcode]++;
    if (!Frame->Answered || (Frame->Status == 0xFF)) {
      //
      // Its frame stays the controller's, and so does the common buffer of
      // a set-properties record.
      //
      Unanswered += (Frame->Opcode == OP_LD_SET_PROPERTIES) ? 2 : 1;
    }
  }

  //
  // Bus-master accesses outside the mappings, or against their direction.
  //
  CONST SIM_DMA  *Dma = SimGetDma (Sim);

  if ((Dma->Counters.Strays != 0) || (Dma->Counters.WrongDirection != 0)) {
    Violation ("the controller reached memory outside the mapped buffers", Name, Console);
  }

  //
  // The sequence: the inventory first, once; drive requests only where the
  // run has a guard step; flash requests only in an update.
  //
  for (UINT32 Opcode : { OP_CTRL_INFO, OP_BBU_STATUS, OP_BBU_INFO, OP_BBU_0507 }) {
    if (Count[Opcode] > 1) {
      Violation ("an inventory request sent twice", Name, Console);
    }
  }

  UINT32  MaxLists = (Kind == RUN_KIND::UPDATE) ? 2 : ((Kind == RUN_KIND::CHECK) ? 1 : 0);

  if ((Count[OP_LD_LIST] > MaxLists) ||
      (Count[OP_LD_GET_PROPERTIES] > MaxLists * MAX_LD_LIST_ENTRIES) ||
      (Count[OP_LD_SET_PROPERTIES] > ((Kind == RUN_KIND::UPDATE) ? 2 * MAX_LD_LIST_ENTRIES : 0)))
  {
    Violation ("more drive requests than the run allows", Name, Console);
  }

  BOOLEAN  Flashes = (Kind == RUN_KIND::UPDATE) || (Kind == RUN_KIND::FORCED);

  if (!Flashes && (Count[OP_FLASH_OPEN] + Count[OP_FLASH_DOWNLOAD] + Count[OP_FLASH_COMMIT] + Count[OP_FLASH_CLOSE] != 0)) {
    Violation ("a flash request in a run that only reads", Name, Console);
  }

  if ((Count[OP_FLASH_OPEN] > COMPONENTS) || (Count[OP_FLASH_COMMIT] > COMPONENTS) ||
      (Count[OP_FLASH_DOWNLOAD] > PIECES) || (Count[OP_FLASH_CLOSE] > 2 * COMPONENTS))
  {
    Violation ("more flash requests than the image needs", Name, Console);
  }

  //
  // A flash request only after every step before it was accepted: the
  // inventory answered, and in an update the drive list (within its
  // limits) and every drive request before the first flash request.
  //
  UINT32  FirstFlash = Frames;

  for (UINT32 Index = 0; Index < Frames; Index++) {
    if (IsFlash (SimGetFrame (Sim, Index)->Opcode)) {
      FirstFlash = Index;
      break;
    }
  }

  BOOLEAN  InventoryRefused = FALSE;

  for (UINT32 Index = 0; Index < Frames; Index++) {
    CONST SIM_FRAME_RECORD  *Frame = SimGetFrame (Sim, Index);

    if (IsInventory (Frame->Opcode) &&
        (!Frame->Answered || (Frame->Status == 0xFF) || ((Frame->Opcode == OP_CTRL_INFO) && (Frame->Status != 0))))
    {
      InventoryRefused = TRUE;
    }
  }

  if (InventoryRefused && (Kind != RUN_KIND::LISTING)) {
    for (UINT32 Index = 0; Index < Frames; Index++) {
      if (!IsInventory (SimGetFrame (Sim, Index)->Opcode)) {
        Violation ("a request to a controller that did not answer its inventory", Name, Console);
      }
    }
  }

  if ((Kind == RUN_KIND::FORCED) && ((Count[OP_LD_LIST] + Count[OP_LD_GET_PROPERTIES] + Count[OP_LD_SET_PROPERTIES]) != 0)) {
    Violation ("a drive request in a forced update", Name, Console);
  }

  if ((Kind == RUN_KIND::UPDATE) && (FirstFlash < Frames)) {
    for (UINT32 Index = 0; Index < FirstFlash; Index++) {
      CONST SIM_FRAME_RECORD  *Frame = SimGetFrame (Sim, Index);

      if (IsDriveRequest (Frame->Opcode) && (!Frame->Answered || (Frame->Status != 0))) {
        Violation ("a flash request after a failed drive request", Name, Console);
      }
    }

    const ANSWER  *List = nullptr;

    for (const ANSWER &Answer : Patcher.Delivered) {
      if (Answer.Opcode == OP_LD_LIST) {
        List = &Answer;
        break;
      }
    }

    if (List == nullptr) {
      Violation ("a flash request without a drive list read", Name, Console);
    }

    UINT32  Listed = ReadUnaligned32 (reinterpret_cast<CONST UINT32 *> (List->Bytes.data ()));

    if (Listed > MAX_LD_LIST_ENTRIES) {
      Violation ("a flash request after a drive list longer than the tool can hold", Name, Console);
    }

    for (UINT32 Entry = 0; Entry < Listed; Entry++) {
      if (List->Bytes[OFFSET_OF (LD_LIST, Entries) + Entry * sizeof (LD_LIST_ENTRY)] >= 64) {
        Violation ("a flash request after a target id the tool cannot hold", Name, Console);
      }
    }
  }

  //
  // After a flash request that failed, only a close may follow among the
  // flash requests: no later component is started.
  //
  BOOLEAN  FlashFailed = FALSE;

  for (UINT32 Index = 0; Index < Frames; Index++) {
    CONST SIM_FRAME_RECORD  *Frame = SimGetFrame (Sim, Index);

    if (!IsFlash (Frame->Opcode) || (Frame->Opcode == OP_FLASH_CLOSE)) {
      continue;
    }

    if (FlashFailed) {
      Violation ("a flash request after a failed one", Name, Console);
    }

    FlashFailed = !Frame->Answered || (Frame->Status != 0);
  }

  //
  // Drives switched to write-through: a successful set without the
  // write-back bit for a target id whose last properties read showed it.
  // Each must be switched back by a later successful set, or named on the
  // console with the run failing. Answered data and successful sets pair
  // up with the journal in order: a status of 0 always means the command
  // ran.
  //
  //
  // The simulator keeps SIM_MAX_SET_RECORDS set records; a run with more
  // sets (up to 256 drives, twice) cannot be followed drive by drive, and
  // only the other checks apply to it.
  //
  BOOLEAN  SetsKept = (SimGetCounters (Sim)->SetOverflow == 0) && (SimGetCounters (Sim)->FrameOverflow == 0);

  std::map<UINT8, UINT8>  LastReadPolicy;
  std::map<UINT8, BOOLEAN> Switched;
  UINTN                   NextAnswer = 0;
  UINT32                  NextSet    = 0;

  for (UINT32 Index = 0; SetsKept && (Index < Frames); Index++) {
    CONST SIM_FRAME_RECORD  *Frame = SimGetFrame (Sim, Index);

    if (!Frame->Answered || (Frame->Status != 0)) {
      continue;
    }

    if (Frame->Opcode == OP_LD_GET_PROPERTIES) {
      while ((NextAnswer < Patcher.Delivered.size ()) && (Patcher.Delivered[NextAnswer].Opcode != OP_LD_GET_PROPERTIES)) {
        NextAnswer++;
      }

      if (NextAnswer == Patcher.Delivered.size ()) {
        Violation ("the fuzzer lost track of the properties answers", Name, Console);
      }

      const ANSWER  &Answer = Patcher.Delivered[NextAnswer++];

      LastReadPolicy[LdRefTargetId (Answer.Mailbox0)] = Answer.Bytes[OFFSET_OF (LD_PROPERTIES, CachePolicy)];
    } else if (Frame->Opcode == OP_LD_SET_PROPERTIES) {
      CONST SIM_SET_RECORD  *Set = NULL;

      while ((Set = SimGetSetRecord (Sim, NextSet++)) != NULL) {
        if (Set->Status == 0) {
          break;
        }
      }

      if (Set == NULL) {
        Violation ("the fuzzer lost track of the set requests", Name, Console);
      }

      UINT8  Target = LdRefTargetId (Set->Mailbox0);
      UINT8  Policy = Set->Data[OFFSET_OF (LD_PROPERTIES, CachePolicy)];

      if ((Policy & LD_CACHE_POLICY_WRITE_BACK) != 0) {
        Switched.erase (Target);
      } else if ((LastReadPolicy.count (Target) != 0) && ((LastReadPolicy[Target] & LD_CACHE_POLICY_WRITE_BACK) != 0)) {
        Switched[Target] = TRUE;
      }
    }
  }

  if (!Switched.empty () &&
      ((Console.find ("Write-through kept for") == std::string::npos) || (Status == EFI_SUCCESS)))
  {
    Violation ("a drive left in write-through without a word", Name, Console);
  }

  //
  // Pool memory: only the pages of unanswered requests may stay.
  //
  UINT32  Kept = 0;

  for (const HOST_POOL_BLOCK &Block : HostPoolBlocks ()) {
    if (Block.Size != FRAME_BUFFER_SIZE) {
      Violation ("pool memory left behind: " + std::to_string (Block.Size) + " bytes", Name, Console);
    }

    Kept++;
  }

  if (Kept > Unanswered) {
    Violation ("more frames kept (" + std::to_string (Kept) + ") than requests went unanswered (" +
               std::to_string (Unanswered) + ")", Name, Console);
  }
}

std::vector<UINT8>
ImageFor (
  const SIM_CONFIG  &Config
  )
{
  ImageTool::IMAGE_BUILDER  Image;

  Image.Support ({ Config.VendorId, Config.DeviceId, Config.SubsystemVendorId, Config.SubsystemId })
    .Component (ImageTool::KnownFamilies ()[0], "APP ", 40000, 1)
    .Component (ImageTool::KnownFamilies ()[0], "BIOS", 100, 2);
  return Image.Build ();
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput (
  const std::uint8_t  *Data,
  std::size_t         Size
  )
{
  struct {
    RUN_KIND                       Kind;
    const char                     *Name;
    std::vector<std::u16string>    Arguments;
  } const  Runs[] = {
    { RUN_KIND::LISTING, "listing",        {} },
    { RUN_KIND::CHECK,   "check",          { u"fw.bin", u"0", u"check" } },
    { RUN_KIND::FORCED,  "forced update",  { u"fw.bin", u"0", u"force" } },
    { RUN_KIND::UPDATE,  "update",         { u"fw.bin", u"0" } },
  };

  for (const auto &Run : Runs) {
    READER   Input (Data, Size);
    PATCHER  Patcher;

    HostReset ();
    HostShellReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));

    SIM_CONFIG  Config = DescribeController (Input, Patcher);

    //
    // A configuration the model cannot play (an empty name that should
    // repeat, say) describes no controller.
    //
    if (SimCheckConfig (&Config) != NULL) {
      continue;
    }

    HostShellWriteFile ("fw.bin", ImageFor (Config));

    std::string  Console;
    EFI_STATUS   Status = EFI_SUCCESS;

    {
      SIM_HOST        Host;
      SIM_CONTROLLER  *Sim = Host.Add (Config);

      if (Sim == nullptr) {
        Violation ("the simulator refused a configuration it checked as usable", Run.Name, "");
      }

      Console     = HostRunApplication (Run.Arguments, &Status);
      mCurrentSim = Sim;
      CheckRun (Run.Kind, Run.Name, Sim, Patcher, Console, Status);

      if ((Run.Kind == RUN_KIND::LISTING) && (SimFrameCount (Sim) > INVENTORY)) {
        Violation ("the listing sent more than the inventory", Run.Name, Console);
      }

      for (const HOST_POOL_BLOCK &Block : HostPoolBlocks ()) {
        HostPoolDeclareDeliberate (Block.Buffer);
      }

      HostPoolFreeDeliberate ();
      mCurrentSim = NULL;
    }

    HostShellReset ();
    HostReset ();
  }

  return 0;
}
