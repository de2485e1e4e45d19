/** @file
  The journal as text: one line per record, as ctlsimctl prints it and as
  the tests show it when a comparison fails. Numbers are hexadecimal
  without prefix, decimal where they are a size, count or index.

    ctl C frame F op OOOOOOOO mb M0 M1 M2 dir D sge S len L status SS [check K] [at DDDDDDDD]
    ctl C commit I size BYTES crc32 CCCCCCCC
    ctl C summary frames N overflow N stray N rejected N doorbell N handshake N readbacks N
    ctl C drive I tid T ref RRRRRRRR policy PP
    ctl C dma protected attributes AAA initially AAA maps N unmaps N live N buffers N freed N high N
    ctl C dma-fault I stray|wrong-direction|bus-master-off read|write at DDDDDDDD len L
    ctl C dma-faults stray N wrong-direction N bus-master-off N

  "status --" marks a frame without an answer, "check K" one that failed
  the format checks (SIM_FRAME_CHECK), "at" the device address of the fetch
  (shown on a protected platform). Register accesses have a compact form
  of their own: "W C4=00000001", "R B0", "stray kind K offset O", "kind K".

  Every call writes one NUL-terminated line, with its "\n" where the
  format above has one (the access form has none), into Buffer; a line
  longer than Size - 1 bytes is cut there. The formatter is freestanding
  like the rest of the model. SIM_TEXT_LINE_SIZE holds every line whole.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_JOURNAL_TEXT_H_
#define SIM_JOURNAL_TEXT_H_

#include "SimDma.h"

#define SIM_TEXT_LINE_SIZE  192

///
/// The text of one line; Size 0 writes nothing.
///
struct SIM_TEXT {
  CHAR8    *Buffer;
  UINTN    Size;
};

/**
  @param[in] ShowAddress  TRUE: end with " at" and the frame's device address.

  @return Length of the line written (without the NUL).
**/
UINTN
SimFrameText (
  OUT SIM_TEXT                Text,
  IN  UINT32                  Controller,
  IN  UINT32                  Number,
  IN  CONST SIM_FRAME_RECORD  *Frame,
  IN  BOOLEAN                 ShowAddress
  );

UINTN
SimCommitText (
  OUT SIM_TEXT          Text,
  IN  UINT32            Controller,
  IN  UINT32            Number,
  IN  CONST SIM_COMMIT  *Commit
  );

/**
  @param[in] FrameCount  Frames in the journal (SimFrameCount).
**/
UINTN
SimSummaryText (
  OUT SIM_TEXT            Text,
  IN  UINT32              Controller,
  IN  UINT32              FrameCount,
  IN  CONST SIM_COUNTERS  *Counters
  );

UINTN
SimDriveText (
  OUT SIM_TEXT         Text,
  IN  UINT32           Controller,
  IN  UINT32           Number,
  IN  CONST SIM_DRIVE  *Drive
  );

/**
  The "dma protected" line.

  @param[in] LiveMappings  SimDmaLiveMappings of the platform.
**/
UINTN
SimDmaText (
  OUT SIM_TEXT                Text,
  IN  UINT32                  Controller,
  IN  UINT64                  Attributes,
  IN  UINT64                  InitialAttributes,
  IN  CONST SIM_DMA_COUNTERS  *Counters,
  IN  UINT32                  LiveMappings
  );

UINTN
SimDmaFaultText (
  OUT SIM_TEXT             Text,
  IN  UINT32               Controller,
  IN  UINT32               Number,
  IN  CONST SIM_DMA_FAULT  *Fault
  );

UINTN
SimDmaFaultsText (
  OUT SIM_TEXT                Text,
  IN  UINT32                  Controller,
  IN  CONST SIM_DMA_COUNTERS  *Counters
  );

/**
  A register or configuration access in its compact form.
**/
UINTN
SimAccessText (
  OUT SIM_TEXT                 Text,
  IN  CONST SIM_ACCESS_RECORD  *Access
  );

#endif
