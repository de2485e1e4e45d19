/** @file
  The maker's identifiers in one place: the PCI vendor ID of its RAID
  controllers, the device ID of each supported model and the chip and board
  family codes that its firmware image components carry.

  Every other file takes these values from here; a new model or family is
  added here and in the table that lists it.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef MAKER_IDS_H_
#define MAKER_IDS_H_

///
/// PCI vendor ID of every supported controller.
///
#define MAKER_VENDOR_ID  0x1F3Au

///
/// PCI device IDs of the eleven supported models, in the order of the
/// supported-controller table.
///
#define MAKER_DEVICE_ID_MODEL_1   0x0A11u
#define MAKER_DEVICE_ID_MODEL_2   0x0A12u
#define MAKER_DEVICE_ID_MODEL_3   0x0A13u
#define MAKER_DEVICE_ID_MODEL_4   0x0B21u
#define MAKER_DEVICE_ID_MODEL_5   0x0B22u
#define MAKER_DEVICE_ID_MODEL_6   0x0B23u
#define MAKER_DEVICE_ID_MODEL_7   0x0B24u
#define MAKER_DEVICE_ID_MODEL_8   0x0C31u
#define MAKER_DEVICE_ID_MODEL_9   0x0C32u
#define MAKER_DEVICE_ID_MODEL_10  0x0C33u
#define MAKER_DEVICE_ID_MODEL_11  0x0D41u

///
/// Number of chip and board family codes.
///
#define MAKER_FAMILY_CODE_COUNT  18

///
/// The family codes, four upper-case letters or digits each, in the order in
/// which the image scan tries them. Kept as one string of 4 x 18 characters
/// so that host tools and the application share it byte for byte.
///
#define MAKER_FAMILY_CODES \
  "TQ10" "TQ11" "TQ12" "TQ20" "TQ21" "TQ22" \
  "TQ30" "TQ31" "TQ32" "TQ40" "TQ41" "TQ42" \
  "TQ50" "TQ51" "TQ52" "TQ60" "TQ61" "TQ62"

#endif
