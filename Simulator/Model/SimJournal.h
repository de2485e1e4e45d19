/** @file
  What a simulated controller saw and holds: the journal records (register
  and configuration accesses, frames, set-properties requests, commits),
  the drives as they are now, the counters, and the calls that inspect
  them. SimJournalText.h turns the records into text.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_JOURNAL_H_
#define SIM_JOURNAL_H_

#include "SimConfig.h"

//
// ---------------------------------------------------------------------------
// Journal records
// ---------------------------------------------------------------------------
//

enum class SIM_ACCESS_KIND : UINT8 {
  IO_READ   = 0,
  IO_WRITE  = 1,
  MEM_READ  = 2,
  MEM_WRITE = 3,
  PCI_READ  = 4,
  PCI_WRITE = 5,    ///< always refused with EFI_UNSUPPORTED
  OTHER     = 6     ///< any other member of the protocol (EFI_UNSUPPORTED)
};

///
/// One call of the protocol, as the host made it.
///
struct SIM_ACCESS_RECORD {
  SIM_ACCESS_KIND    Kind;
  UINT8              BarIndex;    ///< as passed (0xFF = pass-through); 0 for PCI_*
  UINT8              Width;       ///< EFI_PCI_IO_PROTOCOL_WIDTH as passed
  ///
  /// TRUE when the access reached the register window (or, for PCI_READ,
  /// the configuration space). FALSE marks a stray access: nothing in the
  /// model was read or written.
  ///
  BOOLEAN            Hit;
  BOOLEAN            Rejected;    ///< bad width, count or buffer: EFI_INVALID_PARAMETER
  UINT32             Count;       ///< as passed
  UINT64             Offset;      ///< as passed
  UINT32             Register;    ///< window offset of the register when Hit
  UINT32             Value;       ///< value read or written (first 4 bytes for PCI_READ)
  EFI_STATUS         Status;      ///< what the call returned
  UINT64             TimeUs;
};

enum class SIM_FRAME_CHECK : UINT8 {
  OK               = 0,
  BAD_ADDRESS      = 1,   ///< tag missing or address not 256-byte aligned: nothing fetched, nothing answered
  BAD_COMMAND      = 2,   ///< Command is not 5
  BAD_STATUS       = 3,   ///< Status byte was not preset to 0xFF
  BAD_RESERVED     = 4,   ///< a reserved byte or Timeout is not 0
  BAD_FLAGS        = 5,   ///< bits 0-1 not set, direction 3, or other bits set
  BAD_SGE_COUNT    = 6,   ///< SgeCount above 2
  BAD_UNUSED_SGE   = 7,   ///< an entry beyond SgeCount is not all zero
  BAD_SGE_ADDRESS  = 8,   ///< a used entry has a length but address 0
  BAD_CONTEXT      = 9,   ///< Context is not the low half of entry 0's address
  BAD_LENGTH       = 10,  ///< DataTransferLength is not the sum of the used entries' lengths
  NOT_FETCHED      = 11   ///< the bus-master fetch of the frame was refused: nothing answered
};

///
/// One frame, from the queue-port write that posted it to its answer.
///
struct SIM_FRAME_RECORD {
  UINT8              Raw[sizeof (COMMAND_FRAME)];   ///< the frame as fetched (Status byte as the host preset it)
  UINT64             Encoded;          ///< high:low value of the queue ports
  UINT64             Address;          ///< decoded frame address; 0 for BAD_ADDRESS
  BOOLEAN            HighWritten;      ///< the high port was written since the previous low write
  SIM_FRAME_CHECK    Check;
  UINT32             Opcode;
  UINT32             Mailbox[3];
  UINT16             Flags;
  UINT8              Direction;        ///< Flags bits 3-4
  UINT8              SgeCount;
  UINT32             DataTransferLength;
  UINT64             SgeAddress[ARRAY_SIZE (COMMAND_FRAME::Sge)];
  UINT32             SgeLength[ARRAY_SIZE (COMMAND_FRAME::Sge)];
  UINT32             Occurrence;       ///< n-th valid frame with this opcode (0 when invalid)
  BOOLEAN            Answered;         ///< the status byte was written
  UINT8              Status;           ///< the status written (0xFF while unanswered)
  UINT64             PostedUs;
  UINT64             AnsweredUs;
  ///
  /// Status-register reads that came straight after the high-port write
  /// (before the low write), and straight after the low-port write (before
  /// any other register access): the read-backs of the FlushReads models.
  ///
  UINT32             StatusReadsAfterHigh;
  UINT32             StatusReadsAfterLow;
};

///
/// One OP_LD_SET_PROPERTIES request, executed or not.
///
struct SIM_SET_RECORD {
  UINT32    Mailbox0;                          ///< the Ref the host sent
  UINT8     Data[sizeof (LD_PROPERTIES)];      ///< the record the host sent
  UINT8     Status;                            ///< what the model answered
};

///
/// One committed flash component.
///
struct SIM_COMMIT {
  UINT32         Size;
  UINT32         Crc32;     ///< CRC-32 (IEEE, as zlib computes it) of Data
  CONST UINT8    *Data;     ///< the component bytes; NULL when Size is 0, or for a
                            ///< commit of an earlier boot (SimApplyState)
};

///
/// A logical drive as the model holds it now.
///
struct SIM_DRIVE {
  UINT32    Ref;                                     ///< list reference
  UINT8     Properties[sizeof (LD_PROPERTIES)];      ///< what get-properties answers
  UINT8     GetFailStatus;
  UINT8     SetFailStatus;
};

///
/// Running counters since creation or the last SimClearJournal.
///
struct SIM_COUNTERS {
  UINT32    AccessOverflow;      ///< accesses not journaled (journal full)
  UINT32    FrameOverflow;       ///< frames not journaled
  UINT32    SetOverflow;
  UINT32    CommitOverflow;      ///< commits acknowledged but not kept
  UINT32    StrayAccesses;       ///< register accesses that missed the window
  UINT32    RejectedAccesses;    ///< calls refused with EFI_INVALID_PARAMETER
  UINT32    OtherCalls;          ///< calls of unsupported protocol members
  UINT32    StatusReads;
  UINT32    FlushReadbacks;      ///< status reads straight after a queue-port write
  UINT32    DoorbellRings;       ///< writes of 1 to the doorbell
  UINT32    HandshakeWrites;     ///< writes of HANDSHAKE_PATTERN to HANDSHAKE_REGISTER
  UINT32    PendingDropped;      ///< delayed answers dropped (too many outstanding)
  UINT32    BarAttributeCalls;   ///< GetBarAttributes calls (not in the access journal)
  UINT32    LocationCalls;       ///< GetLocation calls (not in the access journal)
};

struct SIM_CONTROLLER;

//
// ---------------------------------------------------------------------------
// Inspecting a controller
// ---------------------------------------------------------------------------
//

UINT32
SimAccessCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Access record Index (0 = oldest), or NULL beyond the count.
**/
CONST SIM_ACCESS_RECORD *
SimGetAccess (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

UINT32
SimFrameCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Frame record Index (0 = first posted), or NULL beyond the count.
**/
CONST SIM_FRAME_RECORD *
SimGetFrame (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

UINT32
SimSetRecordCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Set-properties record Index, or NULL beyond the count.
**/
CONST SIM_SET_RECORD *
SimGetSetRecord (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

UINT32
SimCommitCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Committed component Index (in commit order), or NULL beyond the
          count.
**/
CONST SIM_COMMIT *
SimGetCommit (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

UINT32
SimDriveCount (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Drive Index in list order, or NULL beyond the count.
**/
CONST SIM_DRIVE *
SimGetDrive (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Index
  );

/**
  @return The first drive whose Ref's low byte is TargetId, or NULL.
**/
CONST SIM_DRIVE *
SimFindDrive (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT8                 TargetId
  );

/**
  @return The drive's current cache-policy byte (properties byte 20).
**/
UINT8
SimDriveCachePolicy (
  IN CONST SIM_DRIVE  *Drive
  );

/**
  @return The counters.
**/
CONST SIM_COUNTERS *
SimGetCounters (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @return Number of valid frames with this opcode so far (the occurrence
          count the fault rules use).
**/
UINT32
SimOpcodeCount (
  IN CONST SIM_CONTROLLER  *Sim,
  IN UINT32                Opcode
  );

/**
  @return Index (0-based) of the current step of the status script.
**/
UINT32
SimStatusStep (
  IN CONST SIM_CONTROLLER  *Sim
  );

/**
  @param[out] Size      Receives the size given to OP_FLASH_OPEN; may be NULL.
  @param[out] Received  Receives the bytes downloaded so far; may be NULL.

  @return TRUE while a flash operation is open.
**/
BOOLEAN
SimFlashState (
  IN  CONST SIM_CONTROLLER  *Sim,
  OUT UINT32                *Size      OPTIONAL,
  OUT UINT32                *Received  OPTIONAL
  );

/**
  Forget the journal (accesses, frames, set records), the committed
  components and the counters. Drives, flash state, status script position
  and occurrence counts stay.
**/
VOID
SimClearJournal (
  IN SIM_CONTROLLER  *Sim
  );

/**
  @return CRC-32 (IEEE 802.3, reflected, as zlib's crc32) of Length bytes.
**/
UINT32
SimCrc32 (
  IN CONST UINT8  *Data,
  IN UINTN        Length
  );

#endif
