/** @file
  Tests of the write-cache guard against simulated controllers: what the
  console shows, which logical-drive requests reach the controller (and with
  which records), and the drives' cache policies afterwards, for the switch
  to write-through, the restore, "force", failed list, get and set requests,
  and lists that the per-drive arrays cannot hold.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "HostConsole.h"
#include "HostHandleDatabase.h"
#include "HostMemoryAllocationLib.h"
#include "SimHost.h"

#include "Management/CachePolicyInternal.h"

namespace {

constexpr UINT32  LD_LIST_SIZE       = sizeof (LD_LIST);
constexpr UINT32  LD_PROPERTIES_SIZE = sizeof (LD_PROPERTIES);
constexpr UINTN   POLICY_OFFSET      = OFFSET_OF (LD_PROPERTIES, CachePolicy);

std::string
Hex (
  UINT32  Value
  )
{
  char  Text[16];

  std::snprintf (Text, sizeof (Text), "0x%X", Value);
  return Text;
}

///
/// What one step returned and printed.
///
struct STEP {
  BOOLEAN        Result;
  std::string    Console;
};

class CachePolicy : public HOST_TEST {
protected:
  SIM_HOST    mSim;

  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    mForceUpdate = FALSE;
    mCheckOnly   = FALSE;
  }

  ///
  /// Create the controllers of a scenario text in Host (which must be
  /// empty) and discover them, with every earlier handle and the guard's
  /// saved policies gone. Returns the record of slot Slot, or NULL after a
  /// test failure.
  ///
  CONTROLLER_CONTEXT *
  Bring (
    SIM_HOST           &Host,
    const std::string  &Scenario,
    UINT32             Slot = 0
    )
  {
    std::string  Error;

    HostClearHandles ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    std::memset (mSavedCachePolicy, 0, sizeof (mSavedCachePolicy));
    if (!Host.Load (Scenario, &Error)) {
      ADD_FAILURE () << "scenario: " << Error;
      return nullptr;
    }

    DiscoverControllers ();
    if (mControllerTable.ControllerCount != Host.Count ()) {
      ADD_FAILURE () << "discovery found " << mControllerTable.ControllerCount << " controllers";
      return nullptr;
    }

    return GetControllerContext (Slot);
  }

  CONTROLLER_CONTEXT *
  Bring (
    const std::string  &Scenario
    )
  {
    return Bring (mSim, Scenario);
  }

  STEP
  Switch (
    CONTROLLER_CONTEXT  *Controller
    )
  {
    HostConsoleClear ();
    BOOLEAN  Result = SwitchToWriteThrough (Controller);

    return { Result, HostConsoleText () };
  }

  STEP
  Restore (
    CONTROLLER_CONTEXT  *Controller
    )
  {
    HostConsoleClear ();
    BOOLEAN  Result = RestoreWriteCachePolicy (Controller);

    return { Result, HostConsoleText () };
  }
};

///
/// The logical-drive requests in the journal, as "list", "get TID" and
/// "set REF". Every one must have the frame layout the controller expects:
/// direction "from controller", one SG entry, mailbox words 1 and 2 zero.
///
std::vector<std::string>
Requests (
  SIM_CONTROLLER  *Sim
  )
{
  std::vector<std::string>  Seen;

  for (UINT32 Index = 0; Index < SimFrameCount (Sim); Index++) {
    CONST SIM_FRAME_RECORD  *Frame = SimGetFrame (Sim, Index);
    std::string             Name;
    UINT32                  Length = LD_PROPERTIES_SIZE;

    switch (Frame->Opcode) {
      case OP_LD_LIST:
        Name   = "list";
        Length = LD_LIST_SIZE;
        EXPECT_EQ (0u, Frame->Mailbox[0]);
        break;
      case OP_LD_GET_PROPERTIES:
        Name = "get " + std::to_string (Frame->Mailbox[0]);
        break;
      case OP_LD_SET_PROPERTIES:
        Name = "set " + Hex (Frame->Mailbox[0]);
        break;
      default:
        Name = "opcode " + Hex (Frame->Opcode);
        break;
    }

    std::string  Shown = Name + ": " + SimHostFrameText (Sim, Index);

    EXPECT_EQ (SIM_FRAME_CHECK::OK, Frame->Check) << Shown;
    EXPECT_EQ (DIRECTION_FROM_CONTROLLER, Frame->Direction) << Shown;
    EXPECT_EQ (1u, Frame->SgeCount) << Shown;
    EXPECT_EQ (Length, Frame->DataTransferLength) << Shown;
    EXPECT_EQ (Length, Frame->SgeLength[0]) << Shown;
    EXPECT_EQ (0u, Frame->Mailbox[1]) << Shown;
    EXPECT_EQ (0u, Frame->Mailbox[2]) << Shown;
    Seen.push_back (Name);
  }

  return Seen;
}

///
/// Host address of the record that the request of frame Index carried.
///
UINT64
BufferOf (
  SIM_CONTROLLER  *Sim,
  UINT32          Index
  )
{
  return SimGetFrame (Sim, Index)->SgeAddress[0];
}

std::vector<SIM_SET_RECORD>
SetRecords (
  SIM_CONTROLLER  *Sim
  )
{
  std::vector<SIM_SET_RECORD>  Records;

  for (UINT32 Index = 0; Index < SimSetRecordCount (Sim); Index++) {
    Records.push_back (*SimGetSetRecord (Sim, Index));
  }

  return Records;
}

///
/// The properties record a drive answers now.
///
std::vector<UINT8>
PropertiesOf (
  SIM_CONTROLLER  *Sim,
  UINT8           TargetId
  )
{
  CONST SIM_DRIVE  *Drive = SimFindDrive (Sim, TargetId);

  if (Drive == nullptr) {
    ADD_FAILURE () << "no drive " << unsigned (TargetId);
    return {};
  }

  return std::vector<UINT8> (Drive->Properties, Drive->Properties + LD_PROPERTIES_SIZE);
}

///
/// The record a set request must carry: the properties as read, the list
/// entry's Ref in bytes 0-3 and the given policy byte.
///
std::vector<UINT8>
SentRecord (
  std::vector<UINT8>  AsRead,
  UINT32              ListRef,
  UINT8               Policy
  )
{
  AsRead.resize (LD_PROPERTIES_SIZE);
  for (UINTN Byte = 0; Byte < 4; Byte++) {
    AsRead[Byte] = static_cast<UINT8> (ListRef >> (8 * Byte));
  }

  AsRead[POLICY_OFFSET] = Policy;
  return AsRead;
}

std::vector<UINT8>
DataOf (
  const SIM_SET_RECORD  &Record
  )
{
  return std::vector<UINT8> (Record.Data, Record.Data + LD_PROPERTIES_SIZE);
}

UINT8
PolicyOf (
  SIM_CONTROLLER  *Sim,
  UINT8           TargetId
  )
{
  CONST SIM_DRIVE  *Drive = SimFindDrive (Sim, TargetId);

  return (Drive == nullptr) ? 0xEE : SimDriveCachePolicy (Drive);
}

std::string
WbToWt (
  UINT32  Drive
  )
{
  return "\nModifying write cache policy for VD(" + std::to_string (Drive) + ") WB->WT.";
}

std::string
WtToWb (
  UINT32  Drive
  )
{
  return "\nModifying write cache policy for VD(" + std::to_string (Drive) + ") WT->WB.";
}

const std::string  READ_FAILED = "\nFailed to get LD properties..\nError getting LD information..";
const std::string  LIST_FAILED = "\nError getting ld list..\n\nFailed to get LD List..\nError getting LD information..";

} // namespace

//
// Successful steps
//

TEST_F (CachePolicy, WithoutDrivesEachStepPrintsTwoNewlinesAndSucceeds) {
  CONTROLLER_CONTEXT  *Controller = Bring ("controller\n");

  ASSERT_NE (nullptr, Controller);

  STEP  Switched = Switch (Controller);

  EXPECT_TRUE (Switched.Result);
  EXPECT_EQ ("\n\n", Switched.Console);

  STEP  Restored = Restore (Controller);

  EXPECT_TRUE (Restored.Result);
  EXPECT_EQ ("\n\n", Restored.Console);
  EXPECT_EQ ((std::vector<std::string> { "list", "list" }), Requests (mSim[0]));
}

TEST_F (CachePolicy, AWriteBackDriveIsSwitchedAndRestoredAndEveryDriveIsSent) {
  //
  // Target id 0 in write-back with bit 4 and another bit set; target id 1
  // in write-through.
  //
  CONTROLLER_CONTEXT  *Controller = Bring (
                                      "controller\n"
                                      "drive 0 0x13\n"
                                      "drive 1 0x02\n"
                                      );

  ASSERT_NE (nullptr, Controller);
  SIM_CONTROLLER            *Sim    = mSim[0];
  const std::vector<UINT8>  Drive0  = PropertiesOf (Sim, 0);
  const std::vector<UINT8>  Drive1  = PropertiesOf (Sim, 1);

  STEP  Switched = Switch (Controller);

  EXPECT_TRUE (Switched.Result);
  EXPECT_EQ ("\n" + WbToWt (0) + "\n", Switched.Console);
  EXPECT_EQ ((std::vector<std::string> { "list", "get 0", "get 1", "set 0x0", "set 0x1" }), Requests (Sim));

  std::vector<SIM_SET_RECORD>  Sets = SetRecords (Sim);

  ASSERT_EQ (2u, Sets.size ());
  EXPECT_EQ (SentRecord (Drive0, 0, 0x02), DataOf (Sets[0])) << "bits 0 and 4 cleared, the rest as read";
  EXPECT_EQ (SentRecord (Drive1, 1, 0x02), DataOf (Sets[1])) << "sent back unchanged";
  EXPECT_EQ (0x02, PolicyOf (Sim, 0));
  EXPECT_EQ (0x02, PolicyOf (Sim, 1));

  //
  // The records of target ids 0 and 1 lie next to each other; each set
  // sends its record through a common buffer of its own, given back after
  // the request.
  //
  EXPECT_EQ (BufferOf (Sim, 1) + LD_PROPERTIES_SIZE, BufferOf (Sim, 2));
  EXPECT_NE (BufferOf (Sim, 1), BufferOf (Sim, 3));
  EXPECT_EQ (0u, SimDmaLiveBuffers (SimGetDma (Sim)));

  SimClearJournal (Sim);
  STEP  Restored = Restore (Controller);

  EXPECT_TRUE (Restored.Result);
  EXPECT_EQ ("\n" + WtToWb (0) + "\n", Restored.Console);
  EXPECT_EQ ((std::vector<std::string> { "list", "get 0", "get 1", "set 0x0", "set 0x1" }), Requests (Sim));

  Sets = SetRecords (Sim);
  ASSERT_EQ (2u, Sets.size ());
  EXPECT_EQ (SentRecord (Drive0, 0, 0x13), DataOf (Sets[0])) << "the whole saved byte is written back";
  EXPECT_EQ (SentRecord (Drive1, 1, 0x02), DataOf (Sets[1]));
  EXPECT_EQ (0x13, PolicyOf (Sim, 0));
  EXPECT_EQ (0x02, PolicyOf (Sim, 1));
}

TEST_F (CachePolicy, AControllerThatWritesTheSetRecordBackIsServedOnEveryPlatform) {
  //
  // A controller that follows the set request's flag (see
  // OP_LD_SET_PROPERTIES in the command set) writes the record back; behind
  // an IOMMU that write must be allowed, and on a bouncing platform the
  // write-back must not disturb the records.
  //
  for (const char *Platform : { "dma protected\n", "dma bounce\n", "dma protected\ndma bounce\n" }) {
    SCOPED_TRACE (Platform);
    SIM_HOST            Host;
    CONTROLLER_CONTEXT  *Controller = Bring (Host, std::string ("controller\n") + Platform + "set-properties writes-back\ndrive 0 wb\ndrive 1 wt\n");

    ASSERT_NE (nullptr, Controller);
    STEP  Switched = Switch (Controller);

    EXPECT_TRUE (Switched.Result) << Switched.Console;
    EXPECT_EQ (0x00, PolicyOf (Host[0], 0));
    EXPECT_EQ (0x00, PolicyOf (Host[0], 1));

    STEP  Restored = Restore (Controller);

    EXPECT_TRUE (Restored.Result) << Restored.Console;
    EXPECT_EQ (0x01, PolicyOf (Host[0], 0));
    EXPECT_EQ (0x00, PolicyOf (Host[0], 1));

    const SIM_DMA  *Dma = SimGetDma (Host[0]);

    EXPECT_EQ (0u, Dma->Counters.WrongDirection + Dma->Counters.Strays);
    EXPECT_EQ (0u, SimDmaLiveMappings (Dma));
    EXPECT_EQ (0u, SimDmaLiveBuffers (Dma));
  }
}

TEST_F (CachePolicy, ForceLeavesTheControllerAlone) {
  CONTROLLER_CONTEXT  *Controller = Bring ("controller\ndrive 0 wb\ndrive 1 wt\n");

  ASSERT_NE (nullptr, Controller);
  mForceUpdate = TRUE;

  STEP  Switched = Switch (Controller);

  EXPECT_TRUE (Switched.Result);
  EXPECT_EQ ("\nIgnoring VD write policy..", Switched.Console);

  STEP  Restored = Restore (Controller);

  EXPECT_TRUE (Restored.Result);
  EXPECT_EQ ("", Restored.Console);

  EXPECT_EQ (0u, SimFrameCount (mSim[0]));
  EXPECT_EQ (0x01, PolicyOf (mSim[0], 0));
}

TEST_F (CachePolicy, PolicyBytesThroughSwitchAndRestore) {
  struct {
    UINT8      Before;
    BOOLEAN    WriteBack;      ///< saved, switched and mentioned
    UINT8      Switched;
  } CONST  Cases[] = {
    { 0x01, TRUE,  0x00 },
    { 0x11, TRUE,  0x00 },
    { 0x81, TRUE,  0x80 },
    { 0xFF, TRUE,  0xEE },
    { 0x10, FALSE, 0x10 },     // bit 4 alone is not write-back
    { 0x00, FALSE, 0x00 },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE ("policy " + Hex (Case.Before));
    SIM_HOST            Host;
    CONTROLLER_CONTEXT  *Controller = Bring (Host, "controller\ndrive 3 " + Hex (Case.Before) + "\n");

    ASSERT_NE (nullptr, Controller);
    SIM_CONTROLLER            *Sim        = Host[0];
    const std::vector<UINT8>  AsRead      = PropertiesOf (Sim, 3);

    STEP  Switched = Switch (Controller);

    EXPECT_TRUE (Switched.Result);
    EXPECT_EQ ("\n" + (Case.WriteBack ? WbToWt (3) : "") + "\n", Switched.Console);
    EXPECT_EQ (Case.WriteBack ? Case.Before : 0, mSavedCachePolicy[3]);
    ASSERT_EQ (1u, SimSetRecordCount (Sim)) << "the drive is sent in any case";
    EXPECT_EQ (SentRecord (AsRead, 3, Case.Switched), DataOf (*SimGetSetRecord (Sim, 0)));
    EXPECT_EQ (Case.Switched, PolicyOf (Sim, 3));

    SimClearJournal (Sim);
    STEP  Restored = Restore (Controller);

    EXPECT_TRUE (Restored.Result);
    EXPECT_EQ ("\n" + (Case.WriteBack ? WtToWb (3) : "") + "\n", Restored.Console);
    ASSERT_EQ (1u, SimSetRecordCount (Sim));
    EXPECT_EQ (SentRecord (AsRead, 3, Case.Before), DataOf (*SimGetSetRecord (Sim, 0)));
    EXPECT_EQ (Case.Before, PolicyOf (Sim, 3));
  }
}

TEST_F (CachePolicy, ListOrderAndTargetIdsDiffer) {
  //
  // References with upper bytes set: the get request carries the target id
  // alone, the set request the whole reference. Drive 9 answers a record
  // whose reference says 11; the message shows what the controller
  // answered, the set request carries the list's reference again.
  //
  CONTROLLER_CONTEXT  *Controller = Bring (
                                      "controller\n"
                                      "drive 0x00010005 wb\n"
                                      "drive 0x00020002 wt\n"
                                      "drive 0x00030009 0x81 returns 0x0000000B\n"
                                      );

  ASSERT_NE (nullptr, Controller);
  SIM_CONTROLLER            *Sim   = mSim[0];
  const std::vector<UINT8>  Drive5 = PropertiesOf (Sim, 5);
  const std::vector<UINT8>  Drive2 = PropertiesOf (Sim, 2);
  const std::vector<UINT8>  Drive9 = PropertiesOf (Sim, 9);

  STEP  Switched = Switch (Controller);

  EXPECT_TRUE (Switched.Result);
  EXPECT_EQ ("\n" + WbToWt (5) + WbToWt (11) + "\n", Switched.Console);
  EXPECT_EQ (
    (std::vector<std::string> { "list", "get 5", "get 2", "get 9", "set 0x10005", "set 0x20002", "set 0x30009" }),
    Requests (Sim)
    );

  //
  // The records sit at positions 5, 2 and 9 of one array of 32-byte records.
  //
  EXPECT_EQ (BufferOf (Sim, 2) + 3 * LD_PROPERTIES_SIZE, BufferOf (Sim, 1));
  EXPECT_EQ (BufferOf (Sim, 2) + 7 * LD_PROPERTIES_SIZE, BufferOf (Sim, 3));

  for (UINT8 TargetId = 0; TargetId < 64; TargetId++) {
    UINT8  Saved = (TargetId == 5) ? 0x01 : (TargetId == 9) ? 0x81 : 0x00;

    EXPECT_EQ (Saved, mSavedCachePolicy[TargetId]) << "target id " << unsigned (TargetId);
  }

  std::vector<SIM_SET_RECORD>  Sets = SetRecords (Sim);

  ASSERT_EQ (3u, Sets.size ());
  EXPECT_EQ (SentRecord (Drive5, 0x00010005, 0x00), DataOf (Sets[0]));
  EXPECT_EQ (SentRecord (Drive2, 0x00020002, 0x00), DataOf (Sets[1]));
  EXPECT_EQ (SentRecord (Drive9, 0x00030009, 0x80), DataOf (Sets[2]));
  EXPECT_EQ (0x00, PolicyOf (Sim, 5));
  EXPECT_EQ (0x80, PolicyOf (Sim, 9));

  SimClearJournal (Sim);
  STEP  Restored = Restore (Controller);

  EXPECT_TRUE (Restored.Result);
  //
  // The set request of the switch wrote reference 9 into drive 9's record,
  // so the controller now answers 9 for it.
  //
  EXPECT_EQ ("\n" + WtToWb (5) + WtToWb (9) + "\n", Restored.Console);
  EXPECT_EQ (0x01, PolicyOf (Sim, 5));
  EXPECT_EQ (0x00, PolicyOf (Sim, 2));
  EXPECT_EQ (0x81, PolicyOf (Sim, 9));
}

TEST_F (CachePolicy, TheRestoreMatchesDrivesByTargetIdAndSendsNewDrivesUnchanged) {
  //
  // The second controller stands for the first one answering another list
  // after the flash: its drives in another order, and target id 7 that the
  // switch never saw. The restore runs on it with the policies that the
  // switch saved on the first.
  //
  CONTROLLER_CONTEXT  *Before = Bring (
                                  "controller\n"
                                  "drive 2 0x11\n"
                                  "drive 4 0x05\n"
                                  "controller\n"
                                  "drive 7 0x01\n"
                                  "drive 4 0x04\n"
                                  "drive 2 0x00\n"
                                  );

  ASSERT_NE (nullptr, Before);
  CONTROLLER_CONTEXT  *After = GetControllerContext (1);
  SIM_CONTROLLER      *Sim   = mSim[1];

  STEP  Switched = Switch (Before);

  EXPECT_TRUE (Switched.Result);
  EXPECT_EQ ("\n" + WbToWt (2) + WbToWt (4) + "\n", Switched.Console);

  const std::vector<UINT8>  Drive7 = PropertiesOf (Sim, 7);
  const std::vector<UINT8>  Drive4 = PropertiesOf (Sim, 4);
  const std::vector<UINT8>  Drive2 = PropertiesOf (Sim, 2);

  STEP  Restored = Restore (After);

  EXPECT_TRUE (Restored.Result);
  EXPECT_EQ ("\n" + WtToWb (4) + WtToWb (2) + "\n", Restored.Console) << "in the order of the restore's list";
  EXPECT_EQ ((std::vector<std::string> { "list", "get 7", "get 4", "get 2", "set 0x7", "set 0x4", "set 0x2" }), Requests (Sim));

  std::vector<SIM_SET_RECORD>  Sets = SetRecords (Sim);

  ASSERT_EQ (3u, Sets.size ());
  EXPECT_EQ (SentRecord (Drive7, 7, 0x01), DataOf (Sets[0])) << "a drive the switch did not see is sent as read";
  EXPECT_EQ (SentRecord (Drive4, 4, 0x05), DataOf (Sets[1]));
  EXPECT_EQ (SentRecord (Drive2, 2, 0x11), DataOf (Sets[2]));
}

//
// Failed requests
//

TEST_F (CachePolicy, ASetFailurePutsTheSwitchedDrivesBackAtOnce) {
  //
  // The second set request of the run fails; the drive's later requests
  // succeed. Nothing has been flashed, so the switch puts drives 0 and 2
  // back itself; drive 1 was never changed and is sent as it is.
  //
  CONTROLLER_CONTEXT  *Controller = Bring (
                                      "controller\n"
                                      "drive 0 wb\n"
                                      "drive 1 0x05\n"
                                      "drive 2 wb\n"
                                      "fault OP_LD_SET_PROPERTIES 2 status 12\n"
                                      );

  ASSERT_NE (nullptr, Controller);
  SIM_CONTROLLER  *Sim    = mSim[0];
  const auto      Drive1  = PropertiesOf (Sim, 1);

  STEP  Switched = Switch (Controller);

  EXPECT_FALSE (Switched.Result);
  EXPECT_EQ (
    "\n" + WbToWt (0) + WbToWt (1) + WbToWt (2) + "\nFailed to set LD(1) properties Err(12).\n"
    "\n" + WtToWb (0) + WtToWb (2) + "\n",
    Switched.Console
    ) << "no drive is left in write-through, so none is named";
  EXPECT_EQ (
    (std::vector<std::string> { "list", "get 0", "get 1", "get 2", "set 0x0", "set 0x1", "set 0x2",
                                "list", "get 0", "get 1", "get 2", "set 0x0", "set 0x1", "set 0x2" }),
    Requests (Sim)
    ) << "the drives after the failed one are still sent, then all are put back";
  EXPECT_EQ (0x01, PolicyOf (Sim, 0));
  EXPECT_EQ (0x05, PolicyOf (Sim, 1));
  EXPECT_EQ (0x01, PolicyOf (Sim, 2));
  EXPECT_EQ (0u, DrivesLeftInWriteThrough ());

  std::vector<SIM_SET_RECORD>  Sets = SetRecords (Sim);

  //
  // The refused set is not kept: switch 0 and 2, then put back 0, 1, 2.
  //
  ASSERT_EQ (5u, Sets.size ());
  EXPECT_EQ (SentRecord (Drive1, 1, 0x05), DataOf (Sets[3])) << "sent as it is now";
}

TEST_F (CachePolicy, DrivesThatCannotBePutBackAreNamed) {
  //
  // The switch of drive 1 fails; putting drives 0 and 2 back then fails
  // in two ways: the list cannot be read, or drive 2's set fails.
  //
  struct {
    const char     *Name;
    const char     *Faults;
    std::string    PutBack;
    UINT8          Policies[3];
    UINT32         Left;
  } CONST  Cases[] = {
    {
      "list fails",
      "fault OP_LD_LIST 2 status 9\n",
      LIST_FAILED + "\nWrite-through kept for VD(0) VD(2): restoring write-back failed; switch back by hand.",
      { 0x00, 0x05, 0x00 }, 2
    },
    {
      "set of drive 2 fails",
      "fault OP_LD_SET_PROPERTIES 6 status 13\n",
      "\n" + WtToWb (0) + WtToWb (2) + "\nFailed to set LD(2) properties Err(13).\n"
      "\nWrite-through kept for VD(2): restoring write-back failed; switch back by hand.",
      { 0x01, 0x05, 0x00 }, 1
    },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SIM_HOST            Host;
    CONTROLLER_CONTEXT  *Controller = Bring (
                                        Host,
                                        std::string ("controller\ndrive 0 wb\ndrive 1 0x05\ndrive 2 wb\n"
                                                     "fault OP_LD_SET_PROPERTIES 2 status 12\n") + Case.Faults
                                        );

    ASSERT_NE (nullptr, Controller);
    STEP  Switched = Switch (Controller);

    EXPECT_FALSE (Switched.Result);
    EXPECT_EQ (
      "\n" + WbToWt (0) + WbToWt (1) + WbToWt (2) + "\nFailed to set LD(1) properties Err(12).\n" + Case.PutBack,
      Switched.Console
      );
    for (UINT8 Drive = 0; Drive < 3; Drive++) {
      EXPECT_EQ (Case.Policies[Drive], PolicyOf (Host[0], Drive)) << "drive " << unsigned (Drive);
    }

    EXPECT_EQ (Case.Left, DrivesLeftInWriteThrough ());
  }
}

TEST_F (CachePolicy, TheDrivesLeftInWriteThroughAreThoseNotYetPutBack) {
  //
  // List order 5, 2, 9 with VD numbers that differ from the target ids:
  // the report follows list order and shows the VD numbers.
  //
  CONTROLLER_CONTEXT  *Controller = Bring (
                                      "controller\n"
                                      "drive 5 wb returns 0x15\n"
                                      "drive 2 wt\n"
                                      "drive 9 wb returns 0x19\n"
                                      );

  ASSERT_NE (nullptr, Controller);

  EXPECT_TRUE (Switch (Controller).Result);
  EXPECT_EQ (2u, DrivesLeftInWriteThrough ());

  HostConsoleClear ();
  EXPECT_TRUE (ReportDrivesLeftInWriteThrough (WRITE_THROUGH_REASON::FLASH_FAILED));
  EXPECT_EQ (
    "\nWrite-through kept for VD(21) VD(25): the flash failed; switch back by hand once the controller is updated.",
    HostConsoleText ()
    );

  EXPECT_TRUE (Restore (Controller).Result);
  EXPECT_EQ (0u, DrivesLeftInWriteThrough ());
  HostConsoleClear ();
  EXPECT_FALSE (ReportDrivesLeftInWriteThrough (WRITE_THROUGH_REASON::RESTORE_FAILED));
  EXPECT_EQ ("", HostConsoleText ());

  //
  // With "force" nothing is switched, and nothing of an earlier switch is
  // reported.
  //
  EXPECT_TRUE (Switch (Controller).Result);
  mForceUpdate = TRUE;
  EXPECT_TRUE (Switch (Controller).Result);
  EXPECT_EQ (0u, DrivesLeftInWriteThrough ());
}

TEST_F (CachePolicy, ACheckReadsTheDrivesAndSendsNoSet) {
  CONTROLLER_CONTEXT  *Controller = Bring ("controller\ndrive 0 wb\ndrive 1 wt\ndrive 2 0x11\n");

  ASSERT_NE (nullptr, Controller);
  mCheckOnly = TRUE;
  STEP  Checked = Switch (Controller);

  mCheckOnly = FALSE;

  EXPECT_TRUE (Checked.Result);
  EXPECT_EQ ("\n\nWould switch VD(0) WB->WT.\nWould switch VD(2) WB->WT.", Checked.Console);
  EXPECT_EQ ((std::vector<std::string> { "list", "get 0", "get 1", "get 2" }), Requests (mSim[0]));
  EXPECT_EQ (0x01, PolicyOf (mSim[0], 0));
  EXPECT_EQ (0x11, PolicyOf (mSim[0], 2));
  EXPECT_EQ (0u, DrivesLeftInWriteThrough ());
}

TEST_F (CachePolicy, AGetFailureDiscardsTheWholeReadAndChangesNothing) {
  struct {
    const char     *Fault;
    const char     *Err;
    bool           Silent;     ///< the controller is not asked again
  } CONST  Cases[] = {
    { "status 7",  "7",   false },
    { "no-answer", "255", true  },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Fault);
    SIM_HOST  Host;
    //
    // The third get request of the run fails; the restore's read succeeds.
    //
    CONTROLLER_CONTEXT  *Controller = Bring (
                                        Host,
                                        std::string ("controller\n"
                                                     "drive 0 wb\ndrive 1 wb\ndrive 2 wb\ndrive 3 wb\ndrive 4 wb\n"
                                                     "fault OP_LD_GET_PROPERTIES 3 ") + Case.Fault + "\n"
                                        );

    ASSERT_NE (nullptr, Controller);
    SIM_CONTROLLER  *Sim = Host[0];

    STEP  Switched = Switch (Controller);

    EXPECT_FALSE (Switched.Result);
    EXPECT_EQ ((Case.Silent ? SimHostNoAnswerNotices ("0000:03:00.0", "drive properties") : "") +
               "\nFailed to get LD(2) properties Err(" + std::string (Case.Err) + ").\n" + READ_FAILED, Switched.Console);
    EXPECT_EQ ((std::vector<std::string> { "list", "get 0", "get 1", "get 2" }), Requests (Sim));
    for (UINT8 TargetId = 0; TargetId < 64; TargetId++) {
      EXPECT_EQ (0, mSavedCachePolicy[TargetId]) << "target id " << unsigned (TargetId);
    }

    SimClearJournal (Sim);
    STEP  Restored = Restore (Controller);

    if (Case.Silent) {
      EXPECT_FALSE (Restored.Result);
      EXPECT_EQ ("\nError getting ld list..\n\nFailed to get LD List..\nError getting LD information..", Restored.Console);
      EXPECT_EQ (0u, SimFrameCount (Sim)) << "the silent controller is not asked again";
    } else {
      EXPECT_TRUE (Restored.Result);
      EXPECT_EQ ("\n\n", Restored.Console) << "nothing was saved, so nothing is restored";
    }

    for (UINT8 TargetId = 0; TargetId < 5; TargetId++) {
      EXPECT_EQ (0x01, PolicyOf (Sim, TargetId));
    }

    //
    // A request that got no answer keeps its frame: the controller may
    // still write it.
    //
    for (const HOST_POOL_BLOCK &Block : HostPoolBlocks ()) {
      EXPECT_EQ (FRAME_BUFFER_SIZE, Block.Size);
      HostPoolDeclareDeliberate (Block.Buffer);
    }

    HostPoolFreeDeliberate ();
  }
}

TEST_F (CachePolicy, AFailedListRequestEndsEitherStep) {
  //
  // The first list request (the switch's) fails, then the third (the
  // restore's after a second, successful switch).
  //
  CONTROLLER_CONTEXT  *Controller = Bring (
                                      "controller\n"
                                      "drive 0 wb\n"
                                      "fault OP_LD_LIST 1 status 9\n"
                                      "fault OP_LD_LIST 3 status 9\n"
                                      );

  ASSERT_NE (nullptr, Controller);
  SIM_CONTROLLER  *Sim = mSim[0];

  STEP  Refused = Switch (Controller);

  EXPECT_FALSE (Refused.Result);
  EXPECT_EQ (LIST_FAILED, Refused.Console);
  EXPECT_EQ ((std::vector<std::string> { "list" }), Requests (Sim));

  STEP  Switched = Switch (Controller);

  EXPECT_TRUE (Switched.Result);
  EXPECT_EQ (0x00, PolicyOf (Sim, 0));

  SimClearJournal (Sim);
  STEP  Restored = Restore (Controller);

  EXPECT_FALSE (Restored.Result);
  EXPECT_EQ (LIST_FAILED, Restored.Console);
  EXPECT_EQ ((std::vector<std::string> { "list" }), Requests (Sim));
  EXPECT_EQ (0x00, mSavedCachePolicy[0]) << "the saved policies are gone";
  EXPECT_EQ (0x00, PolicyOf (Sim, 0)) << "the drive stays in write-through";
}

//
// Answers that the arrays cannot hold
//

TEST_F (CachePolicy, AListOfMoreThan256DrivesFailsTheStep) {
  for (UINT32 Count : { 257u, 4096u, 0xFFFFFFFFu }) {
    SCOPED_TRACE ("Count " + std::to_string (Count));
    SIM_HOST  Host;
    CONTROLLER_CONTEXT  *Controller = Bring (Host, "controller\ndrive 0 wb\nlist-count " + std::to_string (Count) + "\n");

    ASSERT_NE (nullptr, Controller);
    STEP  Switched = Switch (Controller);

    EXPECT_FALSE (Switched.Result);
    EXPECT_EQ (
      "\nLD list reports " + std::to_string (Count) + " drives, more than the 256 supported..\n"
      "\nFailed to get LD List..\nError getting LD information..",
      Switched.Console
      );
    EXPECT_EQ ((std::vector<std::string> { "list" }), Requests (Host[0]));
    EXPECT_EQ (0x01, PolicyOf (Host[0], 0));
  }
}

TEST_F (CachePolicy, ATargetIdAbove63FailsTheStepBeforeAnySet) {
  struct {
    const char                  *Drives;
    UINT32                      TargetId;
    std::vector<std::string>    Requests;
  } CONST  Cases[] = {
    { "drive 0 wb\ndrive 64 wb\ndrive 1 wb\n", 64,  { "list", "get 0" } },
    { "drive 0x1FF wb\ndrive 0 wb\n",          255, { "list" }          },
  };

  for (const auto &Case : Cases) {
    SCOPED_TRACE (Case.Drives);
    SIM_HOST  Host;
    CONTROLLER_CONTEXT  *Controller = Bring (Host, std::string ("controller\n") + Case.Drives);

    ASSERT_NE (nullptr, Controller);
    STEP  Switched = Switch (Controller);

    EXPECT_FALSE (Switched.Result);
    EXPECT_EQ (
      "\nLD(" + std::to_string (Case.TargetId) + ") target id is above the supported 63.\n" + READ_FAILED,
      Switched.Console
      );
    EXPECT_EQ (Case.Requests, Requests (Host[0]));
    EXPECT_EQ (0x01, PolicyOf (Host[0], 0));
  }
}
