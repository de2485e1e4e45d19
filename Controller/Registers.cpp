/** @file
  The lowest layer of controller access: the supported-model lookup, 32-bit
  register reads and writes through the controller's PCI I/O interface, and
  the encoding of a command frame's address for the queue ports.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "../CtlFlash.h"

namespace {

///
/// One register access as PCI I/O wants it.
///
struct REGISTER_TARGET {
  UINT8     BarIndex;
  UINT64    Offset;
};

REGISTER_TARGET
ResolveRegister (
  IN CONST CONTROLLER_CONTEXT  *Context,
  IN CONTROLLER_REGISTER       Register
  )
{
  UINT32  Offset = RegisterOffset (&Context->Model, Register);

  //
  // RegisterBase holds only the low 32 bits of the BAR. A window above 4 GiB
  // is therefore always reached through its BAR, never at a truncated
  // absolute address. A BAR-relative access names the BAR by the index that
  // PCI I/O knows it by, not by its configuration slot.
  //
  if ((Register.Mode == REGISTER_MODE::REG_BAR_RELATIVE) || Context->WindowAbove4G) {
    return { Context->PciBarIndex, Offset };
  }

  return { EFI_PCI_IO_PASS_THROUGH_BAR, static_cast<UINT32> (Context->RegisterBase + Offset) };
}

} // namespace

CONST SUPPORTED_CONTROLLER *
FindSupportedController (
  IN UINT16  DeviceId
  )
{
  for (CONST SUPPORTED_CONTROLLER &Row : mSupportedControllers) {
    if (Row.DeviceId == DeviceId) {
      return &Row;
    }
  }

  return NULL;
}

UINT32
ReadControllerRegister (
  IN CONTROLLER_CONTEXT   *Context,
  IN CONTROLLER_REGISTER  Register
  )
{
  REGISTER_TARGET  Target = ResolveRegister (Context, Register);
  UINT32           Value  = 0;

  switch (Context->Model.AccessSpace) {
    case ACCESS_SPACE_MEMORY:
      Context->PciIo->Mem.Read (Context->PciIo, EfiPciIoWidthUint32, Target.BarIndex, Target.Offset, 1, &Value);
      break;
    case ACCESS_SPACE_IO:
      Context->PciIo->Io.Read (Context->PciIo, EfiPciIoWidthUint32, Target.BarIndex, Target.Offset, 1, &Value);
      break;
    default:
      break;
  }

  return Value;
}

VOID
WriteControllerRegister (
  IN CONTROLLER_CONTEXT   *Context,
  IN CONTROLLER_REGISTER  Register,
  IN UINT32               Value
  )
{
  REGISTER_TARGET  Target = ResolveRegister (Context, Register);

  switch (Context->Model.AccessSpace) {
    case ACCESS_SPACE_MEMORY:
      Context->PciIo->Mem.Write (Context->PciIo, EfiPciIoWidthUint32, Target.BarIndex, Target.Offset, 1, &Value);
      break;
    case ACCESS_SPACE_IO:
      Context->PciIo->Io.Write (Context->PciIo, EfiPciIoWidthUint32, Target.BarIndex, Target.Offset, 1, &Value);
      break;
    default:
      break;
  }
}

UINT64
EncodeFrameAddress (
  IN CONST CONTROLLER_CONTEXT  *Context,
  IN UINT64                    Address
  )
{
  UINT64  Operand = Context->Model.EncodingOperand;

  switch (Context->Model.AddressEncoding) {
    case ENCODE_OR:
      return Address | Operand;
    case ENCODE_AND:
      return Address & Operand;
    case ENCODE_SHIFT_LEFT:
      return Address << (Operand % 64);
    case ENCODE_SHIFT_RIGHT:
      return Address >> (Operand % 64);
    default:
      return 0;
  }
}

BOOLEAN
FrameAddressEncodes (
  IN CONST CONTROLLER_CONTEXT  *Context,
  IN UINT64                    Address
  )
{
  UINT64  Operand = Context->Model.EncodingOperand;
  UINT32  Shift   = static_cast<UINT32> (Operand % 64);

  switch (Context->Model.AddressEncoding) {
    case ENCODE_OR:
      return (Address & Operand) == 0;
    case ENCODE_AND:
      return (Address & ~Operand) == 0;
    case ENCODE_SHIFT_LEFT:
      return RShiftU64 (LShiftU64 (Address, Shift), Shift) == Address;
    case ENCODE_SHIFT_RIGHT:
      return LShiftU64 (RShiftU64 (Address, Shift), Shift) == Address;
    default:
      return FALSE;
  }
}
