/** @file
  Tests of the controller inventory and the listing against simulated
  controllers: the four requests per controller and where their answers
  land, what a failed information request does and what failed battery
  requests do not, the battery type names, and the listing text byte for
  byte as the console shows it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "HostClock.h"
#include "HostConsole.h"
#include "HostMemoryAllocationLib.h"
#include "SimHost.h"

#include "Application/CommandLine.h"

namespace {

//
// The fixed parts of the listing. Rows and headings are laid out by the
// print library: "%-5d", "%-13a", "%-6x" and "%-30a" pad on the right and
// never cut; "%x" is upper case without leading zeros.
//
const std::string  BANNER    = "\n                   ORN TQ Firmware update tool v1.1\n";
const std::string  HEADER    = "\nidx   BBU/SuperCap  vid    did    svid   sdid   Product name                  ";
const std::string  SEPARATOR = "\n" + std::string (79, '-');
const std::string  USAGE     = "\n\n"
                               "Command for Firmware update:\nctlflash.efi FwFile idx [force]\n"
                               "[force] - Ignore VD write policy, while updating the firmware\n";

constexpr UINT64  POLL_US = 1000;

struct CONTROLLER_SETUP {
  UINT16         DeviceId;
  UINT16         SubsystemVendorId;
  UINT16         SubsystemId;
  UINT8          BbuType;
  UINT8          BbuTypeVariant;
  CONST CHAR8    *BbuName;
  CONST CHAR8    *ProductName;
};

class Inventory : public HOST_TEST {
protected:
  SIM_HOST    mSim;

  void
  SetUp (
    ) override
  {
    HOST_TEST::SetUp ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    //
    // Left-overs that the collection must clear before it asks.
    //
    std::memset (mCtrlInfo, 0xCC, sizeof (mCtrlInfo));
    std::memset (mBbuStatus, 0xCC, sizeof (mBbuStatus));
    std::memset (mBbuInfo, 0xCC, sizeof (mBbuInfo));
    std::memset (mBbu0507, 0xCC, sizeof (mBbu0507));
  }

  ///
  /// A controller of the maker with the given identity, numbered after
  /// those added so far, and fault rules.
  ///
  SIM_CONTROLLER *
  Add (
    const CONTROLLER_SETUP            &Setup,
    std::initializer_list<SIM_FAULT>  Faults = {}
    )
  {
    SIM_CONFIG  Config;

    SimConfigInit (&Config, Setup.DeviceId, static_cast<UINT32> (mSim.Count ()));
    Config.SubsystemVendorId = Setup.SubsystemVendorId;
    Config.SubsystemId       = Setup.SubsystemId;
    Config.BbuType           = Setup.BbuType;
    Config.BbuTypeVariant    = Setup.BbuTypeVariant;
    std::memset (Config.BbuName, 0, sizeof (Config.BbuName));
    std::strncpy (Config.BbuName, Setup.BbuName, sizeof (BBU_INFO_RESPONSE::Name));
    std::memset (Config.ProductName, 0, sizeof (Config.ProductName));
    std::strncpy (Config.ProductName, Setup.ProductName, CTRL_INFO_RESPONSE_SIZE - CTRL_INFO_PRODUCT_NAME);
    for (const SIM_FAULT &Fault : Faults) {
      Config.Faults[Config.FaultCount++] = Fault;
    }

    return mSim.Add (Config);
  }

  ///
  /// Run the application with the given arguments after the program name
  /// and return what the console shows.
  ///
  static std::string
  Run (
    std::initializer_list<std::u16string>  Arguments = {},
    EFI_STATUS                             Expected  = EFI_SUCCESS
    )
  {
    EFI_STATUS   Status  = EFI_SUCCESS;
    std::string  Console = HostRunApplication (Arguments, &Status);

    EXPECT_EQ (Expected, Status);
    return Console;
  }

  static std::vector<UINT32>
  Opcodes (
    SIM_CONTROLLER  *Sim
    )
  {
    std::vector<UINT32>  Opcodes;

    for (UINT32 Index = 0; Index < SimFrameCount (Sim); Index++) {
      Opcodes.push_back (SimGetFrame (Sim, Index)->Opcode);
    }

    return Opcodes;
  }

  ///
  /// Free the frame of a request that got no answer, which the product
  /// keeps on purpose.
  ///
  static VOID
  ReleaseKeptFrames (
    UINTN  Expected
    )
  {
    std::vector<HOST_POOL_BLOCK>  Blocks = HostPoolBlocks ();

    ASSERT_EQ (Expected, Blocks.size ());
    for (const HOST_POOL_BLOCK &Block : Blocks) {
      EXPECT_EQ (FRAME_BUFFER_SIZE, Block.Size);
      HostPoolDeclareDeliberate (Block.Buffer);
      HostPoolFreeDeliberate ();
    }
  }
};

template <typename T>
std::vector<UINT8>
BytesOf (
  const T  &Record
  )
{
  const UINT8  *First = reinterpret_cast<const UINT8 *> (&Record);

  return std::vector<UINT8> (First, First + sizeof (Record));
}

const std::vector<UINT32>  ALL_FOUR = { OP_CTRL_INFO, OP_BBU_STATUS, OP_BBU_INFO, OP_BBU_0507 };

//
// Identities used by the listing cases.
//
constexpr CONTROLLER_SETUP  EIGHT_PORT   = { MAKER_DEVICE_ID_MODEL_1, 0x1F3A, 0x4D21, 2, 0, "", "TQ-8i RAID Adapter" };
constexpr CONTROLLER_SETUP  SIXTEEN_PORT = { MAKER_DEVICE_ID_MODEL_11, 0x2B1C, 0x0100, 5, 0, "", "TQ-16e Dual Port" };
constexpr CONTROLLER_SETUP  TWENTY_FOUR  = { MAKER_DEVICE_ID_MODEL_8, 0x1F3A, 0x0003, 1, 0, "", "TQ-24i" };

} // namespace

//
// Collecting
//

TEST_F (Inventory, FourRequestsPerControllerIntoTheEntriesOfItsSlot) {
  SIM_CONTROLLER  *Devices[] = { Add (EIGHT_PORT), Add (SIXTEEN_PORT) };

  Run ();

  for (UINT32 Slot = 0; Slot < 2; Slot++) {
    SCOPED_TRACE (testing::Message () << "slot " << Slot);
    struct REQUEST {
      UINT32    Opcode;
      VOID      *Buffer;
      UINT32    Length;
    };

    const REQUEST  Expected[] = {
      { OP_CTRL_INFO,  &mCtrlInfo[Slot],  CTRL_INFO_RESPONSE_SIZE },
      { OP_BBU_STATUS, &mBbuStatus[Slot], BBU_RESPONSE_SIZE       },
      { OP_BBU_INFO,   &mBbuInfo[Slot],   BBU_RESPONSE_SIZE       },
      { OP_BBU_0507,   &mBbu0507[Slot],   BBU_RESPONSE_SIZE       },
    };

    ASSERT_EQ (ArrayCount (Expected), SimFrameCount (Devices[Slot]));
    for (UINT32 Index = 0; Index < ArrayCount (Expected); Index++) {
      CONST SIM_FRAME_RECORD  *Frame = SimGetFrame (Devices[Slot], Index);

      EXPECT_EQ (Expected[Index].Opcode, Frame->Opcode);
      EXPECT_EQ (SIM_FRAME_CHECK::OK, Frame->Check);
      EXPECT_EQ (DIRECTION_FROM_CONTROLLER, Frame->Direction);
      EXPECT_EQ (1, Frame->SgeCount);
      EXPECT_EQ (reinterpret_cast<UINTN> (Expected[Index].Buffer), Frame->SgeAddress[0]);
      EXPECT_EQ (Expected[Index].Length, Frame->SgeLength[0]);
      EXPECT_EQ (Expected[Index].Length, Frame->DataTransferLength);
      EXPECT_EQ (0u, Frame->SgeAddress[1]);
      EXPECT_EQ (0u, Frame->SgeLength[1]);
      EXPECT_EQ (0u, Frame->Mailbox[0]);
      EXPECT_EQ (0u, Frame->Mailbox[1]);
      EXPECT_EQ (0u, Frame->Mailbox[2]);
      EXPECT_EQ (0, Frame->Status);
    }

    EXPECT_FALSE (GetControllerContext (Slot)->Disabled);
  }

  // Every answer is kept, the one that nobody reads included.
  EXPECT_EQ (std::string ("TQ-16e Dual Port"), reinterpret_cast<const char *> (&mCtrlInfo[1].Bytes[CTRL_INFO_PRODUCT_NAME]));
  EXPECT_EQ (5, mBbuStatus[1].Type);
  EXPECT_EQ (0xA5 ^ 63, mBbu0507[1].Bytes[63]);

  // The slots beyond the count were cleared, not asked.
  for (UINT32 Slot = 2; Slot < MAX_CONTROLLERS; Slot++) {
    EXPECT_EQ (0, mCtrlInfo[Slot].Bytes[CTRL_INFO_PRODUCT_NAME]) << "slot " << Slot;
    EXPECT_EQ (0, mBbuStatus[Slot].Type) << "slot " << Slot;
    EXPECT_EQ (0, mBbuInfo[Slot].Name[0]) << "slot " << Slot;
    EXPECT_EQ (0, mBbu0507[Slot].Bytes[0]) << "slot " << Slot;
  }
}

TEST_F (Inventory, EveryFailedInformationRequestDisablesItsControllerForGood) {
  SIM_CONTROLLER  *Healthy   = Add (EIGHT_PORT);
  SIM_CONTROLLER  *Refusing  = Add (EIGHT_PORT, { { OP_CTRL_INFO, 1, FALSE, TRUE, 0x01, 0 } });
  SIM_CONTROLLER  *Silent    = Add (EIGHT_PORT, { { OP_CTRL_INFO, 1, TRUE, FALSE, 0, 0 } });
  SIM_CONTROLLER  *Status59  = Add (EIGHT_PORT, { { OP_CTRL_INFO, 1, FALSE, TRUE, 0x59, 0 } });
  SIM_CONTROLLER  *LastToo   = Add (TWENTY_FOUR);

  DiscoverControllers ();
  ASSERT_EQ (5u, mControllerTable.ControllerCount);
  UINT64  Polls = HostStallCountOf (POLL_US);

  CollectControllerInventory ();

  // A failure asks no battery question and leaves the other slots alone.
  EXPECT_EQ (ALL_FOUR, Opcodes (Healthy));
  EXPECT_EQ (std::vector<UINT32> { OP_CTRL_INFO }, Opcodes (Refusing));
  EXPECT_EQ (std::vector<UINT32> { OP_CTRL_INFO }, Opcodes (Silent));
  EXPECT_EQ (std::vector<UINT32> { OP_CTRL_INFO }, Opcodes (Status59));
  EXPECT_EQ (ALL_FOUR, Opcodes (LastToo));
  const BOOLEAN  Disabled[] = { FALSE, TRUE, TRUE, TRUE, FALSE };

  for (UINT32 Slot = 0; Slot < 5; Slot++) {
    EXPECT_EQ (Disabled[Slot], GetControllerContext (Slot)->Disabled) << "slot " << Slot;
  }

  // The unanswered request waited out the poll limit; its frame is kept.
  EXPECT_EQ (FRAME_POLL_LIMIT, HostStallCountOf (POLL_US) - Polls);
  ReleaseKeptFrames (1);

  // Later requests to a disabled controller never reach it.
  for (UINT32 Slot = 1; Slot <= 3; Slot++) {
    SIM_CONTROLLER       *Device  = mSim[Slot];
    UINT32               Accesses = SimAccessCount (Device);
    BBU_STATUS_RESPONSE  Response;

    EXPECT_EQ (COMMAND_NOT_COMPLETED, IssueCommand (GetControllerContext (Slot), OP_BBU_STATUS, DIRECTION_FROM_CONTROLLER, 0, 0, 0, sizeof (Response), &Response, 0, NULL, 1)) << "slot " << Slot;
    EXPECT_EQ (Accesses, SimAccessCount (Device)) << "slot " << Slot;
    EXPECT_EQ (1u, SimFrameCount (Device)) << "slot " << Slot;
  }

  EXPECT_EQ (SimHostNoAnswerNotices (GetControllerContext (2)->Location, "controller information"), HostConsoleText ())
    << "the collection prints nothing but the long wait";
}

TEST_F (Inventory, FailedBatteryRequestsAreNotCheckedAndLeaveZeros) {
  //
  // A platform that bounces DMA copies the whole bounce buffer back on
  // Unmap, whatever the controller wrote: the failed requests' areas then
  // hold the buffer's old bytes until the inventory clears them.
  //
  for (BOOLEAN Bounce : { FALSE, TRUE }) {
    SCOPED_TRACE (Bounce ? "bouncing platform" : "ordinary platform");
    SIM_HOST  Sim;

    HostReset ();
    std::memset (&mControllerTable, 0, sizeof (mControllerTable));
    std::memset (mBbuStatus, 0xCC, sizeof (mBbuStatus));
    std::memset (mBbuInfo, 0xCC, sizeof (mBbuInfo));
    std::memset (mBbu0507, 0xCC, sizeof (mBbu0507));

    SIM_CONFIG  Config;

    SimConfigInit (&Config, MAKER_DEVICE_ID_MODEL_4, 0);
    Config.SubsystemVendorId = 0x1F3A;
    Config.SubsystemId       = 0x0002;
    Config.BbuType           = 4;
    Config.DmaBounce         = Bounce;
    std::strcpy (Config.BbuName, "Pack");
    std::strcpy (Config.ProductName, "TQ-4i");
    Config.Faults[Config.FaultCount++] = { OP_BBU_STATUS, 1, FALSE, TRUE, 0x02, 0 };
    Config.Faults[Config.FaultCount++] = { OP_BBU_INFO,   1, FALSE, TRUE, 0x59, 0 };
    Config.Faults[Config.FaultCount++] = { OP_BBU_0507,   1, FALSE, TRUE, 0x03, 0 };
    SIM_CONTROLLER  *Device = Sim.Add (Config);

    std::string  Console = Run ();

    EXPECT_EQ (ALL_FOUR, Opcodes (Device));
    EXPECT_EQ (Bounce ? 4u : 0u, SimGetDma (Device)->Counters.Bounced);
    EXPECT_FALSE (GetControllerContext (0)->Disabled);
    EXPECT_EQ (std::vector<UINT8> (BBU_RESPONSE_SIZE, 0), BytesOf (mBbuStatus[0]));
    EXPECT_EQ (std::vector<UINT8> (BBU_RESPONSE_SIZE, 0), BytesOf (mBbuInfo[0]));
    EXPECT_EQ (std::vector<UINT8> (BBU_RESPONSE_SIZE, 0), BytesOf (mBbu0507[0]));

    // A status that never arrived reads as type 0.
    EXPECT_EQ (
      BANNER + HEADER + SEPARATOR
      + "\n0     None          1F3A   B21    1F3A   2      TQ-4i                         "
      + USAGE,
      Console
      );
  }
}

//
// Battery type names
//

TEST_F (Inventory, BatteryTypeNames) {
  struct CASE {
    UINT8          Type;
    UINT8          Variant;
    CONST CHAR8    *Name;        ///< the battery-information name, NUL-terminated
    CONST CHAR8    *Expected;
  };

  const CASE  Cases[] = {
    { 0,   0,    "Pack", "None"       },
    { 0,   9,    "Pack", "None"       },
    { 1,   0,    "Pack", "Velka"      },
    { 2,   3,    "Pack", "BBU"        },
    { 3,   0,    "Pack", "DORNIS_OLD" },
    { 4,   0xFF, "Pack", "Tavesk"     },
    { 5,   0,    "Pack", "Sorvik"     },
    { 5,   1,    "Pack", "Pack"       },
    { 5,   0xFF, "Pack", "Pack"       },
    { 6,   0,    "Pack", "Pack"       },
    { 200, 0,    "",     ""           },
    { 255, 7,    "Supercap Module 2", "Supercap Module 2" },
  };

  // The last slot: a name read past its record would leave the array.
  constexpr UINT32  SLOT = MAX_CONTROLLERS - 1;

  for (const CASE &Case : Cases) {
    SCOPED_TRACE (testing::Message () << "type " << static_cast<int> (Case.Type) << " variant " << static_cast<int> (Case.Variant));
    std::memset (&mBbuStatus[SLOT], 0, sizeof (mBbuStatus[SLOT]));
    std::memset (&mBbuInfo[SLOT], 0, sizeof (mBbuInfo[SLOT]));
    mBbuStatus[SLOT].Type        = Case.Type;
    mBbuStatus[SLOT].TypeVariant = Case.Variant;
    std::strcpy (mBbuInfo[SLOT].Name, Case.Name);

    EXPECT_EQ (std::string (Case.Expected), GetBatteryTypeName (SLOT));
  }

  // A name that fills all 38 bytes without a NUL is cut at the record's end.
  const std::string  Full (sizeof (mBbuInfo[SLOT].Name), 'N');

  mBbuStatus[SLOT].Type = 7;
  std::memcpy (mBbuInfo[SLOT].Name, Full.data (), Full.size ());
  EXPECT_EQ (Full, GetBatteryTypeName (SLOT));
}

//
// The listing, as the console shows it
//

TEST_F (Inventory, TwoControllers) {
  Add (EIGHT_PORT);
  Add (SIXTEEN_PORT);

  EXPECT_EQ (
    BANNER + HEADER + SEPARATOR
    + "\n0     BBU           1F3A   A11    1F3A   4D21   TQ-8i RAID Adapter            "
    + "\n1     Sorvik        1F3A   D41    2B1C   100    TQ-16e Dual Port              "
    + USAGE,
    Run ()
    );
}

TEST_F (Inventory, ADisabledControllerKeepsItsIndexAndLosesItsRow) {
  Add (EIGHT_PORT);
  Add (SIXTEEN_PORT, { { OP_CTRL_INFO, 1, FALSE, TRUE, 0x04, 0 } });
  Add (TWENTY_FOUR);

  EXPECT_EQ (
    BANNER + HEADER + SEPARATOR
    + "\n0     BBU           1F3A   A11    1F3A   4D21   TQ-8i RAID Adapter            "
    + "\n2     Velka         1F3A   C31    1F3A   3      TQ-24i                        "
    + USAGE,
    Run ()
    );
}

TEST_F (Inventory, AllControllersDisabled) {
  Add (EIGHT_PORT, { { OP_CTRL_INFO, 1, FALSE, TRUE, 0x01, 0 } });
  Add (SIXTEEN_PORT, { { OP_CTRL_INFO, 1, FALSE, TRUE, 0x02, 0 } });

  EXPECT_EQ (BANNER + HEADER + SEPARATOR + USAGE, Run ());
}

TEST_F (Inventory, LongNamesArePrintedWholeAndPushTheRowRight) {
  Add ({ MAKER_DEVICE_ID_MODEL_5, 0x1F3A, 0x7001, 6, 0, "Lithium-Ion 4S2P Pack", "TQ-7710-8i SAS/SATA 12Gb/s RAID Controller x8" });
  Add ({ MAKER_DEVICE_ID_MODEL_6, 0x1F3A, 0x7002, 5, 1, "Exactly13Char", "Exactly-thirty-characters-long" });

  EXPECT_EQ (
    BANNER + HEADER + SEPARATOR
    + "\n0     Lithium-Ion 4S2P Pack 1F3A   B22    1F3A   7001   TQ-7710-8i SAS/SATA 12Gb/s RAID Controller x8"
    + "\n1     Exactly13Char 1F3A   B23    1F3A   7002   Exactly-thirty-characters-long"
    + USAGE,
    Run ()
    );
}

TEST_F (Inventory, ShortIdsAndAnEmptyBatteryName) {
  // Type 200 with a battery-information answer of zeros: an empty name.
  Add ({ MAKER_DEVICE_ID_MODEL_1, 0x00AB, 0x0000, 200, 0, "", "TQ-2i" });
  Add ({ MAKER_DEVICE_ID_MODEL_3, 0x0001, 0x000F, 3, 0, "", "" });

  EXPECT_EQ (
    BANNER + HEADER + SEPARATOR
    + "\n0                   1F3A   A11    AB     0      TQ-2i                         "
    + "\n1     DORNIS_OLD    1F3A   A13    1      F                                    "
    + USAGE,
    Run ()
    );
}

TEST_F (Inventory, NamesShowOnlyPrintableAscii) {
  //
  // A controller's names are its own bytes: control characters and bytes
  // above 0x7E are shown as '?', never sent to the console as they are.
  //
  Add ({ MAKER_DEVICE_ID_MODEL_5, 0x1F3A, 0x7001, 6, 0, "Li\x1B[2J\xBE ~", "TQ\r\n\x7F-8i \xE9\x80z" });

  EXPECT_EQ (
    BANNER + HEADER + SEPARATOR
    + "\n0     Li?[2J? ~     1F3A   B22    1F3A   7001   TQ\?\?\?-8i \?\?z                  "
    + USAGE,
    Run ()
    );
}

TEST_F (Inventory, AnUnterminatedProductNameEndsWithItsRecord) {
  //
  // The last of 32 slots, so that a name read past its record would read
  // past the response array. The whole record, 704 characters, is printed.
  //
  constexpr UINT32  SLOT = MAX_CONTROLLERS - 1;

  mControllerTable.ControllerCount = MAX_CONTROLLERS;
  for (UINT32 Slot = 0; Slot < SLOT; Slot++) {
    mControllerTable.Controllers[Slot].Disabled = TRUE;
  }

  CONTROLLER_CONTEXT  &Last = mControllerTable.Controllers[SLOT];

  Last.VendorId          = MAKER_VENDOR_ID;
  Last.DeviceId          = MAKER_DEVICE_ID_MODEL_1;
  Last.SubsystemVendorId = 0x1F3A;
  Last.SubsystemId       = 0x0001;
  std::memset (&mBbuStatus[SLOT], 0, sizeof (mBbuStatus[SLOT]));

  std::string  Name;

  for (UINTN Index = 0; Index < CTRL_INFO_RESPONSE_SIZE - CTRL_INFO_PRODUCT_NAME; Index++) {
    Name += static_cast<char> ('A' + Index % 26);
  }

  std::memcpy (&mCtrlInfo[SLOT].Bytes[CTRL_INFO_PRODUCT_NAME], Name.data (), Name.size ());

  PrintControllerListing ();

  std::string  Raw = HostConsoleRawText ();
  std::string  Row = "\r\n31    None          1F3A   A11    1F3A   1      " + Name;

  EXPECT_EQ (
    "\r\n                   ORN TQ Firmware update tool v1.1\r\n"
    "\r\nidx   BBU/SuperCap  vid    did    svid   sdid   Product name                  "
    "\r\n" + std::string (79, '-')
    + Row
    + "\r\n\r\n"
      "Command for Firmware update:\r\nctlflash.efi FwFile idx [force]\r\n"
      "[force] - Ignore VD write policy, while updating the firmware\r\n",
    Raw
    );
}

//
// The update path collects the inventory too
//

TEST_F (Inventory, AnInvalidIndexIsReportedAfterTheFourRequestsPerController) {
  SIM_CONTROLLER  *First  = Add (EIGHT_PORT);
  SIM_CONTROLLER  *Second = Add (SIXTEEN_PORT);

  EXPECT_EQ ("\nInvalid controller index (idx = 2) !", Run ({ u"fw.rom", u"2" }, EFI_NOT_FOUND));
  EXPECT_EQ (ALL_FOUR, Opcodes (First));
  EXPECT_EQ (ALL_FOUR, Opcodes (Second));
}
