/** @file
  "ctlsimctl probe": ctlflash's register-window resolution on every PCI
  function (see CtlSimProbe.h).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "CtlSimProbe.h"
#include "../../Controller/PciWindow.h"

namespace {

VOID
ProbeFunction (
  IN EFI_PCI_IO_PROTOCOL  *PciIo
  )
{
  UINTN       Segment  = 0;
  UINTN       Bus      = 0;
  UINTN       Device   = 0;
  UINTN       Function = 0;
  PCI_TYPE00  Header;
  CHAR8       Name[40];

  PciIo->GetLocation (PciIo, &Segment, &Bus, &Device, &Function);
  gBS->SetMem (&Header, sizeof (Header), 0);
  if (EFI_ERROR (PciIo->Pci.Read (PciIo, EfiPciIoWidthUint8, 0, sizeof (Header), &Header))) {
    AsciiPrint ("%04x:%02x:%02x.%x header not readable\n", static_cast<UINT32> (Segment), static_cast<UINT32> (Bus), static_cast<UINT32> (Device), static_cast<UINT32> (Function));
    return;
  }

  AsciiSPrint (
    Name,
    sizeof (Name),
    "%04x:%02x:%02x.%x %04X:%04X",
    static_cast<UINT32> (Segment),
    static_cast<UINT32> (Bus),
    static_cast<UINT32> (Device),
    static_cast<UINT32> (Function),
    Header.Hdr.VendorId,
    Header.Hdr.DeviceId
    );

  //
  // A bridge has two BARs; the rest of its header is something else.
  //
  INT32    Slots = IS_PCI_BRIDGE (&Header) ? 2 : PCI_MAX_BAR;
  BOOLEAN  Any   = FALSE;

  for (INT32 Slot = 0; Slot < Slots; Slot++) {
    PCI_WINDOW  Window;

    if (!FindPciWindow (PciIo, &Header, Slot, &Window)) {
      continue;
    }

    Any = TRUE;
    AsciiPrint (
      "%a slot %d: index %d, %a, base 0x%lX, length 0x%lX\n",
      Name,
      Slot,
      Window.PciBarIndex,
      Window.Io ? "io" : "mem",
      Window.BusAddress,
      Window.Length
      );
  }

  if (!Any) {
    AsciiPrint ("%a no window\n", Name);
  }
}

} // namespace

INTN
ProbePciWindows (
  VOID
  )
{
  UINTN       HandleCount = 0;
  EFI_HANDLE  *Handles    = NULL;

  if (EFI_ERROR (gBS->LocateHandleBuffer (ByProtocol, &gEfiPciIoProtocolGuid, NULL, &HandleCount, &Handles)) ||
      (Handles == NULL))
  {
    AsciiPrint ("ctlsimctl: no PCI I/O in the system\n");
    return 1;
  }

  POOL_GUARD  HandleBuffer (Handles);

  for (UINTN Index = 0; Index < HandleCount; Index++) {
    EFI_PCI_IO_PROTOCOL  *PciIo = NULL;

    if (!EFI_ERROR (gBS->HandleProtocol (Handles[Index], &gEfiPciIoProtocolGuid, reinterpret_cast<VOID **> (&PciIo))) &&
        (PciIo != NULL))
    {
      ProbeFunction (PciIo);
    }
  }

  return 0;
}
