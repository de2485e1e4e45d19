/** @file
  Test-facing control of the host MemoryAllocationLib and of the boot
  services' AllocatePool and FreePool: every block is tracked, allocations
  can be made to fail on purpose, and what is left at the end of a test is a
  leak unless declared deliberate.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef HOST_MEMORY_ALLOCATION_LIB_H_
#define HOST_MEMORY_ALLOCATION_LIB_H_

#include <string>
#include <vector>

extern "C" {
#include <Uefi.h>
}

///
/// One outstanding pool (or page) block.
///
struct HOST_POOL_BLOCK {
  VOID       *Buffer;
  UINTN      Size;
  UINT64     Serial;       ///< 1 for the first allocation after a reset
  BOOLEAN    Pages;        ///< allocated with AllocatePages
  BOOLEAN    Deliberate;   ///< declared with HostPoolDeclareDeliberate
};

/**
  @return Number of outstanding blocks (deliberate ones included).
**/
UINTN
HostPoolOutstandingCount (
  VOID
  );

/**
  @return Bytes of the outstanding blocks (deliberate ones included).
**/
UINTN
HostPoolOutstandingBytes (
  VOID
  );

/**
  @return Highest HostPoolOutstandingBytes since the last reset.
**/
UINTN
HostPoolPeakBytes (
  VOID
  );

/**
  @return Number of allocation attempts since the last reset, failed ones
          (injected or not) included.
**/
UINT64
HostPoolAllocationCount (
  VOID
  );

/**
  @return Number of allocations that failed by injection since the last
          reset.
**/
UINT64
HostPoolFailedCount (
  VOID
  );

/**
  Make the Nth allocation attempt from now fail (1: the next one); the
  attempts before and after it succeed. 0 cancels.
**/
VOID
HostPoolFailNth (
  IN UINT64  N
  );

/**
  Make every allocation fail (TRUE) until called with FALSE.
**/
VOID
HostPoolFailAll (
  IN BOOLEAN  Fail
  );

/**
  Declare a block that the product keeps on purpose (for example the frame
  of a request that timed out, which the controller may still write). It no
  longer counts as a leak; the test frees it itself with FreePool or
  HostPoolFreeDeliberate. Declaring an unknown pointer fails the test.
**/
VOID
HostPoolDeclareDeliberate (
  IN CONST VOID  *Buffer
  );

/**
  Free every block declared with HostPoolDeclareDeliberate.
**/
VOID
HostPoolFreeDeliberate (
  VOID
  );

/**
  @return TRUE when Buffer is the start of an outstanding block.
**/
BOOLEAN
HostPoolIsAllocated (
  IN CONST VOID  *Buffer
  );

/**
  @return The outstanding blocks in allocation order.
**/
std::vector<HOST_POOL_BLOCK>
HostPoolBlocks (
  VOID
  );

/**
  @return A description of every outstanding block that was not declared
          deliberate; empty when there is none.
**/
std::string
HostPoolLeakReport (
  VOID
  );

#endif
