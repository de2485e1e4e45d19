/** @file
  The PCI attributes of each controller's function: what the tool turns on
  at bring-up (decoding of the register window's space, bus mastering, dual
  address cycles where supported) and how it puts them back when the run
  ends.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "../CtlFlash.h"

BOOLEAN
EnableControllerDma (
  IN OUT CONTROLLER_CONTEXT  *Controller
  )
{
  EFI_PCI_IO_PROTOCOL  *PciIo     = Controller->PciIo;
  UINT64               Original   = 0;
  UINT64               Supported  = 0;
  UINT64               Decode     = 0;

  Controller->AttributesChanged = FALSE;
  if (EFI_ERROR (PciIo->Attributes (PciIo, EfiPciIoAttributeOperationGet, 0, &Original))) {
    return FALSE;
  }

  Controller->OriginalAttributes = Original;

  switch (Controller->Model.AccessSpace) {
    case ACCESS_SPACE_MEMORY:
      Decode = EFI_PCI_IO_ATTRIBUTE_MEMORY;
      break;
    case ACCESS_SPACE_IO:
      Decode = EFI_PCI_IO_ATTRIBUTE_IO;
      break;
    default:
      break;      // such a model reaches no register at all; decode nothing
  }

  //
  // From here on the attributes may differ from what the platform set, so
  // they are put back on every path, this one's failure included.
  //
  Controller->AttributesChanged = TRUE;
  if (EFI_ERROR (PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, Decode | EFI_PCI_IO_ATTRIBUTE_BUS_MASTER, NULL))) {
    RestoreAttributesOf (Controller);
    return FALSE;
  }

  //
  // Dual address cycles let the platform place DMA above 4 GiB (the queue
  // ports and the scatter-gather entries carry 64-bit device addresses).
  // Without them the platform keeps mappings below 4 GiB, so their absence
  // is no failure.
  //
  if (!EFI_ERROR (PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSupported, 0, &Supported)) &&
      ((Supported & EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE) != 0))
  {
    PciIo->Attributes (PciIo, EfiPciIoAttributeOperationEnable, EFI_PCI_IO_ATTRIBUTE_DUAL_ADDRESS_CYCLE, NULL);
  }

  return TRUE;
}

VOID
RestoreAttributesOf (
  IN OUT CONTROLLER_CONTEXT  *Controller
  )
{
  if (!Controller->AttributesChanged || (Controller->PciIo == NULL)) {
    return;
  }

  EFI_PCI_IO_PROTOCOL  *PciIo     = Controller->PciIo;
  UINT64               Attributes = Controller->OriginalAttributes;

  if (!Controller->NotAnswering) {
    //
    // Nothing more can be done about a refusal at this point: the status is
    // not looked at, and the attributes are not tried again.
    //
    PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSet, Attributes, NULL);
    Controller->AttributesChanged = FALSE;
    return;
  }

  //
  // A controller that did not answer still holds the addresses of a frame
  // and of buffers that this run gives back when it ends. Left able to
  // master the bus, a late answer could write into memory that belongs to
  // someone else by then. So bus mastering goes off first, in a call of its
  // own whose result is known, and only then is the rest put back.
  //
  Attributes &= ~static_cast<UINT64> (EFI_PCI_IO_ATTRIBUTE_BUS_MASTER);

  BOOLEAN  Off = !EFI_ERROR (PciIo->Attributes (PciIo, EfiPciIoAttributeOperationDisable, EFI_PCI_IO_ATTRIBUTE_BUS_MASTER, NULL));

  PciIo->Attributes (PciIo, EfiPciIoAttributeOperationSet, Attributes, NULL);
  if (!Off) {
    //
    // The Set may have done what the Disable did not: look.
    //
    UINT64  Current = 0;

    Off = !EFI_ERROR (PciIo->Attributes (PciIo, EfiPciIoAttributeOperationGet, 0, &Current)) &&
          ((Current & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) == 0);
  }

  if (!Off) {
    AsciiPrint ("\nBus mastering could not be turned off for the controller at %a: it did not answer, and may still complete a request.", Controller->Location);
  } else if ((Controller->OriginalAttributes & EFI_PCI_IO_ATTRIBUTE_BUS_MASTER) != 0) {
    AsciiPrint ("\nBus mastering left off for the controller at %a: it did not answer, and may still complete a request.", Controller->Location);
  }

  Controller->AttributesChanged = FALSE;
}

VOID
RestoreControllerAttributes (
  VOID
  )
{
  for (UINT32 Index = 0; (Index < mControllerTable.ControllerCount) && (Index < MAX_CONTROLLERS); Index++) {
    RestoreAttributesOf (GetControllerContext (Index));
  }
}
