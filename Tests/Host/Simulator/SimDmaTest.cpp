/** @file
  Tests of the model's platform side: the attributes, AllocateBuffer and
  Map as a protected and an unprotected platform answer them, and what the
  controller's own accesses to host memory reach.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <cstring>
#include <string>
#include <vector>

#include "HostTest.h"
#include "SimHost.h"

namespace {

class SIM_DMA_TEST : public HOST_TEST {
protected:
  SIM_HOST  mSim;

  SIM_CONTROLLER *
  Add (
    BOOLEAN  Protected
    )
  {
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

    Config.DmaProtected = Protected;
    return mSim.Add (Config);
  }

  static SIM_DMA *
  Dma (
    SIM_CONTROLLER  *Sim
    )
  {
    return const_cast<SIM_DMA *> (SimGetDma (Sim));
  }
};

} // namespace

TEST_F (SIM_DMA_TEST, AttributesFollowTheOperationsAndTheSupportedMask) {
  SIM_CONTROLLER       *Sim   = Add (FALSE);
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);
  UINT64               Value  = 0;

  ASSERT_EQ (EFI_SUCCESS, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationGet, 0, &Value));
  EXPECT_EQ (static_cast<UINT64> (SIM_DEFAULT_ATTRIBUTES), Value);
  ASSERT_EQ (EFI_SUCCESS, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSupported, 0, &Value));
  EXPECT_EQ (static_cast<UINT64> (SIM_SUPPORTED_ATTRIBUTES), Value);

  EXPECT_EQ (EFI_SUCCESS, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationDisable, EFI_PCI_IO_ATTRIBUTE_BUS_MASTER, NULL));
  EXPECT_EQ (static_cast<UINT64> (EFI_PCI_IO_ATTRIBUTE_IO | EFI_PCI_IO_ATTRIBUTE_MEMORY), SimGetDma (Sim)->Attributes);
  EXPECT_EQ (EFI_SUCCESS, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE, NULL));
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_IO_ATTRIBUTE_VGA_IO, NULL));
  EXPECT_EQ (EFI_SUCCESS, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSet, EFI_PCI_IO_ATTRIBUTE_IO, NULL));
  EXPECT_EQ (static_cast<UINT64> (EFI_PCI_IO_ATTRIBUTE_IO), SimGetDma (Sim)->Attributes);
  EXPECT_EQ (EFI_INVALID_PARAMETER, PciIo->Attributes (PciIo, EfiPciIoAttributeOperationGet, 0, NULL));

  // The command register of the configuration space follows.
  UINT16  Command = 0;

  ASSERT_EQ (EFI_SUCCESS, PciIo->Pci.Read (PciIo, EfiPciIoWidthUint16, PCI_COMMAND_OFFSET, 1, &Command));
  EXPECT_EQ (EFI_PCI_COMMAND_IO_SPACE, Command);

  // Without I/O decoding the register window answers nothing.
  PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSet, 0, NULL);
  UINT32  Status = 0;

  PciIo->Io.Read (PciIo, EfiPciIoWidthUint32, 0xFF, 0xC000 + 0xB0, 1, &Status);
  EXPECT_EQ (0xFFFFFFFFu, Status);
  EXPECT_FALSE (SimGetAccess (Sim, SimAccessCount (Sim) - 1)->Hit);
}

TEST_F (SIM_DMA_TEST, MapHandsOutHostAddressesUnprotectedAndOthersProtected) {
  std::vector<UINT8>  Data (100);

  for (BOOLEAN Protected : { FALSE, TRUE }) {
    SCOPED_TRACE (Protected ? "protected" : "unprotected");
    SIM_CONTROLLER       *Sim   = Add (Protected);
    EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);

    PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE, NULL);

    std::vector<UINT64>  Devices;
    std::vector<VOID *>  Mappings;

    for (int Index = 0; Index < 4; Index++) {
      UINTN                 Bytes   = Data.size ();
      EFI_PHYSICAL_ADDRESS  Device  = 0;
      VOID                  *Mapping = NULL;

      ASSERT_EQ (EFI_SUCCESS, PciIo->Map (PciIo, EfiPciIoOperationBusMasterWrite, Data.data (), &Bytes, &Device, &Mapping));
      EXPECT_EQ (Data.size (), Bytes);
      Devices.push_back (Device);
      Mappings.push_back (Mapping);
    }

    UINT64  Host = reinterpret_cast<UINTN> (Data.data ());

    for (UINT64 Device : Devices) {
      if (Protected) {
        EXPECT_NE (Host, Device);
        EXPECT_EQ (Host % EFI_PAGE_SIZE, Device % EFI_PAGE_SIZE) << "the page offset stays";
      } else {
        EXPECT_EQ (Host, Device);
      }
    }

    if (Protected) {
      EXPECT_LT (Devices[0], 0x100000000ull);
      EXPECT_GE (Devices[1], 0x100000000ull) << "every second mapping lies above 4 GiB";
      EXPECT_NE (Devices[0], Devices[2]);
    }

    for (VOID *Mapping : Mappings) {
      EXPECT_EQ (EFI_SUCCESS, PciIo->Unmap (PciIo, Mapping));
    }

    EXPECT_EQ (EFI_INVALID_PARAMETER, PciIo->Unmap (PciIo, Mappings[0]));
    Dma (Sim)->Counters.BadUnmaps = 0;      // provoked above
  }
}

TEST_F (SIM_DMA_TEST, CommonBuffersComeFromAllocateBufferAndGoBackWhole) {
  SIM_CONTROLLER       *Sim   = Add (TRUE);
  EFI_PCI_IO_PROTOCOL  *PciIo = SimGetPciIo (Sim);
  UINT8                Pool[64];
  VOID                 *Memory = NULL;
  UINTN                Bytes   = sizeof (Pool);
  EFI_PHYSICAL_ADDRESS Device  = 0;
  VOID                 *Mapping = NULL;

  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->Map (PciIo, EfiPciIoOperationBusMasterCommonBuffer, Pool, &Bytes, &Device, &Mapping));
  EXPECT_EQ (EFI_UNSUPPORTED, PciIo->AllocateBuffer (PciIo, AllocateMaxAddress, EfiBootServicesData, 1, &Memory, 0));
  ASSERT_EQ (EFI_SUCCESS, PciIo->AllocateBuffer (PciIo, AllocateAnyPages, EfiBootServicesData, 2, &Memory, 0));
  EXPECT_TRUE (HostPoolIsAllocated (Memory)) << "tracked like every page the product gets";
  EXPECT_EQ (0u, reinterpret_cast<UINTN> (Memory) % EFI_PAGE_SIZE);

  Bytes = 2 * EFI_PAGE_SIZE;
  ASSERT_EQ (EFI_SUCCESS, PciIo->Map (PciIo, EfiPciIoOperationBusMasterCommonBuffer, Memory, &Bytes, &Device, &Mapping));
  EXPECT_EQ (EFI_SUCCESS, PciIo->Unmap (PciIo, Mapping));
  EXPECT_EQ (EFI_INVALID_PARAMETER, PciIo->FreeBuffer (PciIo, 1, Memory)) << "a buffer goes back whole";
  EXPECT_EQ (EFI_SUCCESS, PciIo->FreeBuffer (PciIo, 2, Memory));
  EXPECT_EQ (0u, HostPoolOutstandingCount ());
  Dma (Sim)->Counters.BadFrees = 0;         // provoked above
}

TEST_F (SIM_DMA_TEST, TheControllerReachesOnlyLiveMappingsOfTheRightDirection) {
  struct CASE {
    CONST CHAR8                      *Name;
    BOOLEAN                          Protected;
    BOOLEAN                          Mapped;
    EFI_PCI_IO_PROTOCOL_OPERATION    Operation;
    BOOLEAN                          BusMaster;
    BOOLEAN                          DeviceWrites;
    BOOLEAN                          Lands;
    SIM_DMA_FAULT_KIND               Fault;
    BOOLEAN                          Faulted;
  };
  const CASE  Cases[] = {
    { "protected, write mapping, write",  TRUE,  TRUE,  EfiPciIoOperationBusMasterWrite, TRUE,  TRUE,  TRUE,  SIM_DMA_FAULT_KIND::STRAY,           FALSE },
    { "protected, read mapping, read",    TRUE,  TRUE,  EfiPciIoOperationBusMasterRead,  TRUE,  FALSE, TRUE,  SIM_DMA_FAULT_KIND::STRAY,           FALSE },
    { "protected, read mapping, write",   TRUE,  TRUE,  EfiPciIoOperationBusMasterRead,  TRUE,  TRUE,  FALSE, SIM_DMA_FAULT_KIND::WRONG_DIRECTION, TRUE  },
    { "protected, write mapping, read",   TRUE,  TRUE,  EfiPciIoOperationBusMasterWrite, TRUE,  FALSE, FALSE, SIM_DMA_FAULT_KIND::WRONG_DIRECTION, TRUE  },
    { "protected, unmapped",              TRUE,  FALSE, EfiPciIoOperationBusMasterWrite, TRUE,  TRUE,  FALSE, SIM_DMA_FAULT_KIND::STRAY,           TRUE  },
    { "protected, bus mastering off",     TRUE,  TRUE,  EfiPciIoOperationBusMasterWrite, FALSE, TRUE,  FALSE, SIM_DMA_FAULT_KIND::BUS_MASTER_OFF,  TRUE  },
    { "unprotected, unmapped",            FALSE, FALSE, EfiPciIoOperationBusMasterWrite, TRUE,  TRUE,  TRUE,  SIM_DMA_FAULT_KIND::STRAY,           TRUE  },
    { "unprotected, bus mastering off",   FALSE, TRUE,  EfiPciIoOperationBusMasterWrite, FALSE, TRUE,  FALSE, SIM_DMA_FAULT_KIND::BUS_MASTER_OFF,  TRUE  },
  };

  for (const CASE &Case : Cases) {
    SCOPED_TRACE (Case.Name);
    SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

    Config.DmaProtected = Case.Protected;
    Config.BusMasterOff = !Case.BusMaster;
    SIM_CONTROLLER  *Sim = SimCreate (SimHostEnv (), &Config);
    SIM_DMA         *Platform = Dma (Sim);

    std::vector<UINT8>    Host (32, 0x11);
    UINT64                Device  = reinterpret_cast<UINTN> (Host.data ());
    VOID                  *Mapping = NULL;

    if (Case.Mapped) {
      UINTN                 Bytes = Host.size ();
      EFI_PHYSICAL_ADDRESS  Mapped;

      ASSERT_EQ (EFI_SUCCESS, SimDmaMap (Platform, SimHostEnv (), Case.Operation, Host.data (), &Bytes, &Mapped, &Mapping));
      Device = Mapped;
    }

    UINT8    Bytes[8] = { 1, 2, 3, 4, 5, 6, 7, 8 };
    BOOLEAN  Landed   = Case.DeviceWrites ? SimDmaWrite (Platform, Device + 4, Bytes, sizeof (Bytes))
                                          : SimDmaRead (Platform, Device + 4, Bytes, sizeof (Bytes));

    EXPECT_EQ (Case.Lands, Landed);
    if (Case.DeviceWrites) {
      EXPECT_EQ (Case.Lands ? 1 : 0x11, Host[4]) << "a refused write reaches nothing";
    } else {
      EXPECT_EQ (Case.Lands ? 0x11 : 0, Bytes[0]) << "a refused read reads zeros";
    }

    ASSERT_EQ (Case.Faulted ? 1u : 0u, Platform->FaultCount);
    if (Case.Faulted) {
      EXPECT_EQ (Case.Fault, Platform->Faults[0].Kind);
      EXPECT_EQ (Device + 4, Platform->Faults[0].Address);
      EXPECT_EQ (8u, Platform->Faults[0].Length);
    }

    SimDestroy (Sim);
  }
}

TEST_F (SIM_DMA_TEST, ABouncingPlatformCopiesInOnMapAndTheWholeBufferBackOnUnmap) {
  SIM_CONFIG  Config = SimHostConfig (MAKER_DEVICE_ID_MODEL_1);

  Config.DmaBounce = TRUE;
  SIM_DMA  *Platform = Dma (mSim.Add (Config));

  // A read mapping: the controller reads the caller's bytes from elsewhere.
  std::vector<UINT8>    Sent (16, 0x5A);
  UINTN                 Bytes   = Sent.size ();
  EFI_PHYSICAL_ADDRESS  Device  = 0;
  VOID                  *Mapping = NULL;

  ASSERT_EQ (EFI_SUCCESS, SimDmaMap (Platform, SimHostEnv (), EfiPciIoOperationBusMasterRead, Sent.data (), &Bytes, &Device, &Mapping));
  EXPECT_NE (reinterpret_cast<UINTN> (Sent.data ()), Device);

  UINT8  Read[16] = { 0 };

  Sent[0] = 0x00;     // changed after Map: the controller still sees the copy
  ASSERT_TRUE (SimDmaRead (Platform, Device, Read, sizeof (Read)));
  EXPECT_EQ (std::vector<UINT8> (16, 0x5A), std::vector<UINT8> (Read, Read + sizeof (Read)));
  ASSERT_EQ (EFI_SUCCESS, SimDmaUnmap (Platform, SimHostEnv (), Mapping));

  // A write mapping that the controller fills only in part: Unmap brings
  // the rest of the bounce buffer's old bytes along.
  std::vector<UINT8>  Answer (16, 0x00);
  UINT8               Written[4] = { 1, 2, 3, 4 };

  Bytes = Answer.size ();
  ASSERT_EQ (EFI_SUCCESS, SimDmaMap (Platform, SimHostEnv (), EfiPciIoOperationBusMasterWrite, Answer.data (), &Bytes, &Device, &Mapping));
  ASSERT_TRUE (SimDmaWrite (Platform, Device, Written, sizeof (Written)));
  EXPECT_EQ (std::vector<UINT8> (16, 0x00), Answer) << "nothing reaches the caller's buffer before Unmap";
  ASSERT_EQ (EFI_SUCCESS, SimDmaUnmap (Platform, SimHostEnv (), Mapping));

  std::string  Stale = SIM_DMA_STALE_TEXT SIM_DMA_STALE_TEXT SIM_DMA_STALE_TEXT;

  EXPECT_EQ ((std::vector<UINT8> { 1, 2, 3, 4 }), std::vector<UINT8> (Answer.begin (), Answer.begin () + 4));
  EXPECT_EQ (Stale.substr (4, 12), std::string (Answer.begin () + 4, Answer.end ()));

  // Common buffers are shared, not bounced.
  VOID  *Common = NULL;

  ASSERT_EQ (EFI_SUCCESS, SimDmaAllocateBuffer (Platform, SimHostEnv (), AllocateAnyPages, EfiBootServicesData, 1, &Common, 0));
  Bytes = 64;
  ASSERT_EQ (EFI_SUCCESS, SimDmaMap (Platform, SimHostEnv (), EfiPciIoOperationBusMasterCommonBuffer, Common, &Bytes, &Device, &Mapping));
  EXPECT_EQ (reinterpret_cast<UINTN> (Common), Device);
  EXPECT_EQ (EFI_SUCCESS, SimDmaUnmap (Platform, SimHostEnv (), Mapping));
  EXPECT_EQ (EFI_SUCCESS, SimDmaFreeBuffer (Platform, SimHostEnv (), 1, Common));
  EXPECT_EQ (2u, Platform->Counters.Bounced);
}
