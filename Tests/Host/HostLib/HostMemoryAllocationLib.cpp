/** @file
  Host instance of MemoryAllocationLib over a tracked pool. Every block is
  recorded with its size and allocation serial, so a test sees what is still
  outstanding, the peak, and any double free or free of an unknown pointer.
  Allocations can be made to fail on purpose (the Nth from now, or all).

  New pool blocks are filled with 0xAF, not zero, as real pool memory holds
  whatever was there before: code that relies on AllocatePool returning
  zeros shows up. Runtime and reserved variants behave like the plain ones.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "HostInternal.h"
#include "HostMemoryAllocationLib.h"

extern "C" {
#include <Library/MemoryAllocationLib.h>
}

namespace {

constexpr UINT8  NEW_POOL_FILL = 0xAF;
constexpr UINTN  PAGE_SIZE     = 4096;

struct BLOCK {
  UINTN      Size;
  UINT64     Serial;
  BOOLEAN    Pages;
  BOOLEAN    Deliberate;
};

std::map<const VOID *, BLOCK> &
Blocks (
  VOID
  )
{
  static std::map<const VOID *, BLOCK>  Storage;

  return Storage;
}

UINTN    mOutstandingBytes;
UINTN    mPeakBytes;
UINT64   mAttempts;
UINT64   mSerial;
UINT64   mInjectedFailures;
UINT64   mFailCountdown;
BOOLEAN  mFailAll;

BOOLEAN
InjectFailure (
  VOID
  )
{
  mAttempts++;
  if (mFailAll) {
    mInjectedFailures++;
    return TRUE;
  }

  if (mFailCountdown != 0) {
    mFailCountdown--;
    if (mFailCountdown == 0) {
      mInjectedFailures++;
      return TRUE;
    }
  }

  return FALSE;
}

VOID *
Allocate (
  UINTN    Size,
  UINTN    Alignment,
  BOOLEAN  Pages
  )
{
  if (InjectFailure ()) {
    return NULL;
  }

  VOID  *Buffer;

  if (Alignment <= 16) {
    Buffer = std::malloc ((Size == 0) ? 1 : Size);
  } else {
    UINTN  Rounded = (Size + Alignment - 1) / Alignment * Alignment;

    Buffer = std::aligned_alloc (Alignment, (Rounded == 0) ? Alignment : Rounded);
  }

  if (Buffer == NULL) {
    return NULL;
  }

  std::memset (Buffer, NEW_POOL_FILL, Size);
  Blocks ()[Buffer] = BLOCK { Size, ++mSerial, Pages, FALSE };
  mOutstandingBytes += Size;
  if (mOutstandingBytes > mPeakBytes) {
    mPeakBytes = mOutstandingBytes;
  }

  return Buffer;
}

VOID *
AllocatePagesAligned (
  UINTN  Pages,
  UINTN  Alignment
  )
{
  if (Pages == 0) {
    return NULL;
  }

  return Allocate (Pages * PAGE_SIZE, (Alignment > PAGE_SIZE) ? Alignment : PAGE_SIZE, TRUE);
}

VOID
FreePagesChecked (
  VOID   *Buffer,
  UINTN  Pages
  )
{
  auto  Found = Blocks ().find (Buffer);

  if ((Found != Blocks ().end ()) && Found->second.Pages && (Found->second.Size != Pages * PAGE_SIZE)) {
    HostReportFailure (
      "FreePages (%p, %lu): the block has %lu pages",
      Buffer,
      static_cast<unsigned long> (Pages),
      static_cast<unsigned long> (Found->second.Size / PAGE_SIZE)
      );
    return;
  }

  HostPoolFree (Buffer, TRUE);
}

VOID *
AllocateCopy (
  UINTN       AllocationSize,
  CONST VOID  *Buffer
  )
{
  if (Buffer == NULL) {
    HostReportFailure ("AllocateCopyPool with a NULL buffer");
    return NULL;
  }

  VOID  *Memory = HostPoolAllocate (AllocationSize, FALSE);

  if ((Memory != NULL) && (AllocationSize != 0)) {
    std::memcpy (Memory, Buffer, AllocationSize);
  }

  return Memory;
}

VOID *
AllocateZero (
  UINTN  AllocationSize
  )
{
  VOID  *Memory = HostPoolAllocate (AllocationSize, FALSE);

  if ((Memory != NULL) && (AllocationSize != 0)) {
    std::memset (Memory, 0, AllocationSize);
  }

  return Memory;
}

VOID *
Reallocate (
  UINTN  OldSize,
  UINTN  NewSize,
  VOID   *OldBuffer
  )
{
  VOID  *NewBuffer = AllocateZero (NewSize);

  if ((NewBuffer != NULL) && (OldBuffer != NULL)) {
    std::memcpy (NewBuffer, OldBuffer, (OldSize < NewSize) ? OldSize : NewSize);
    HostPoolFree (OldBuffer, FALSE);
  }

  return NewBuffer;
}

} // namespace

//
// Shared with the boot services
//

VOID *
HostPoolAllocate (
  IN UINTN    Size,
  IN BOOLEAN  Pages
  )
{
  return Allocate (Size, Pages ? PAGE_SIZE : 0, Pages);
}

EFI_STATUS
HostPoolFree (
  IN VOID     *Buffer,
  IN BOOLEAN  Pages
  )
{
  auto  Found = Blocks ().find (Buffer);

  if (Found == Blocks ().end ()) {
    HostReportFailure (
      "%s of %p, which is not an outstanding block (double free or foreign pointer)",
      Pages ? "FreePages" : "FreePool",
      Buffer
      );
    return EFI_INVALID_PARAMETER;
  }

  if (Found->second.Pages != Pages) {
    HostReportFailure (
      "%s of %p, a block allocated with %s",
      Pages ? "FreePages" : "FreePool",
      Buffer,
      Found->second.Pages ? "AllocatePages" : "AllocatePool"
      );
    return EFI_INVALID_PARAMETER;
  }

  mOutstandingBytes -= Found->second.Size;
  Blocks ().erase (Found);
  std::free (Buffer);
  return EFI_SUCCESS;
}

VOID
HostPoolResetState (
  VOID
  )
{
  for (auto &Entry : Blocks ()) {
    std::free (const_cast<VOID *> (Entry.first));
  }

  Blocks ().clear ();
  mOutstandingBytes = 0;
  mPeakBytes        = 0;
  mAttempts         = 0;
  mSerial           = 0;
  mInjectedFailures = 0;
  mFailCountdown    = 0;
  mFailAll          = FALSE;
}

//
// Test-facing API
//

UINTN
HostPoolOutstandingCount (
  VOID
  )
{
  return Blocks ().size ();
}

UINTN
HostPoolOutstandingBytes (
  VOID
  )
{
  return mOutstandingBytes;
}

UINTN
HostPoolPeakBytes (
  VOID
  )
{
  return mPeakBytes;
}

UINT64
HostPoolAllocationCount (
  VOID
  )
{
  return mAttempts;
}

UINT64
HostPoolFailedCount (
  VOID
  )
{
  return mInjectedFailures;
}

VOID
HostPoolFailNth (
  IN UINT64  N
  )
{
  mFailCountdown = N;
}

VOID
HostPoolFailAll (
  IN BOOLEAN  Fail
  )
{
  mFailAll = Fail;
}

VOID
HostPoolDeclareDeliberate (
  IN CONST VOID  *Buffer
  )
{
  auto  Found = Blocks ().find (Buffer);

  if (Found == Blocks ().end ()) {
    HostReportFailure ("HostPoolDeclareDeliberate: %p is not an outstanding block", Buffer);
    return;
  }

  Found->second.Deliberate = TRUE;
}

VOID
HostPoolFreeDeliberate (
  VOID
  )
{
  std::vector<std::pair<VOID *, BOOLEAN> >  Doomed;

  for (auto &Entry : Blocks ()) {
    if (Entry.second.Deliberate) {
      Doomed.push_back ({ const_cast<VOID *> (Entry.first), Entry.second.Pages });
    }
  }

  for (auto &Entry : Doomed) {
    HostPoolFree (Entry.first, Entry.second);
  }
}

BOOLEAN
HostPoolIsAllocated (
  IN CONST VOID  *Buffer
  )
{
  return Blocks ().count (Buffer) != 0;
}

std::vector<HOST_POOL_BLOCK>
HostPoolBlocks (
  VOID
  )
{
  std::vector<HOST_POOL_BLOCK>  List;

  for (auto &Entry : Blocks ()) {
    List.push_back (
           HOST_POOL_BLOCK {
      const_cast<VOID *> (Entry.first), Entry.second.Size, Entry.second.Serial,
      Entry.second.Pages, Entry.second.Deliberate
    }
           );
  }

  std::sort (
         List.begin (),
         List.end (),
         [](const HOST_POOL_BLOCK &A, const HOST_POOL_BLOCK &B) {
    return A.Serial < B.Serial;
  }
         );
  return List;
}

std::string
HostPoolLeakReport (
  VOID
  )
{
  std::string  Report;

  for (const HOST_POOL_BLOCK &Block : HostPoolBlocks ()) {
    if (Block.Deliberate) {
      continue;
    }

    char  Line[160];

    std::snprintf (
            Line,
            sizeof (Line),
            "  leaked %s block #%llu of %lu bytes at %p\n",
            Block.Pages ? "page" : "pool",
            static_cast<unsigned long long> (Block.Serial),
            static_cast<unsigned long> (Block.Size),
            Block.Buffer
            );
    Report += Line;
  }

  return Report;
}

//
// MemoryAllocationLib
//

VOID *
EFIAPI
AllocatePages (
  IN UINTN  Pages
  )
{
  return AllocatePagesAligned (Pages, PAGE_SIZE);
}

VOID *
EFIAPI
AllocateRuntimePages (
  IN UINTN  Pages
  )
{
  return AllocatePagesAligned (Pages, PAGE_SIZE);
}

VOID *
EFIAPI
AllocateReservedPages (
  IN UINTN  Pages
  )
{
  return AllocatePagesAligned (Pages, PAGE_SIZE);
}

VOID
EFIAPI
FreePages (
  IN VOID   *Buffer,
  IN UINTN  Pages
  )
{
  FreePagesChecked (Buffer, Pages);
}

VOID *
EFIAPI
AllocateAlignedPages (
  IN UINTN  Pages,
  IN UINTN  Alignment
  )
{
  return AllocatePagesAligned (Pages, Alignment);
}

VOID *
EFIAPI
AllocateAlignedRuntimePages (
  IN UINTN  Pages,
  IN UINTN  Alignment
  )
{
  return AllocatePagesAligned (Pages, Alignment);
}

VOID *
EFIAPI
AllocateAlignedReservedPages (
  IN UINTN  Pages,
  IN UINTN  Alignment
  )
{
  return AllocatePagesAligned (Pages, Alignment);
}

VOID
EFIAPI
FreeAlignedPages (
  IN VOID   *Buffer,
  IN UINTN  Pages
  )
{
  FreePagesChecked (Buffer, Pages);
}

VOID *
EFIAPI
AllocatePool (
  IN UINTN  AllocationSize
  )
{
  return HostPoolAllocate (AllocationSize, FALSE);
}

VOID *
EFIAPI
AllocateRuntimePool (
  IN UINTN  AllocationSize
  )
{
  return HostPoolAllocate (AllocationSize, FALSE);
}

VOID *
EFIAPI
AllocateReservedPool (
  IN UINTN  AllocationSize
  )
{
  return HostPoolAllocate (AllocationSize, FALSE);
}

VOID *
EFIAPI
AllocateZeroPool (
  IN UINTN  AllocationSize
  )
{
  return AllocateZero (AllocationSize);
}

VOID *
EFIAPI
AllocateRuntimeZeroPool (
  IN UINTN  AllocationSize
  )
{
  return AllocateZero (AllocationSize);
}

VOID *
EFIAPI
AllocateReservedZeroPool (
  IN UINTN  AllocationSize
  )
{
  return AllocateZero (AllocationSize);
}

VOID *
EFIAPI
AllocateCopyPool (
  IN UINTN       AllocationSize,
  IN CONST VOID  *Buffer
  )
{
  return AllocateCopy (AllocationSize, Buffer);
}

VOID *
EFIAPI
AllocateRuntimeCopyPool (
  IN UINTN       AllocationSize,
  IN CONST VOID  *Buffer
  )
{
  return AllocateCopy (AllocationSize, Buffer);
}

VOID *
EFIAPI
AllocateReservedCopyPool (
  IN UINTN       AllocationSize,
  IN CONST VOID  *Buffer
  )
{
  return AllocateCopy (AllocationSize, Buffer);
}

VOID *
EFIAPI
ReallocatePool (
  IN UINTN  OldSize,
  IN UINTN  NewSize,
  IN VOID   *OldBuffer  OPTIONAL
  )
{
  return Reallocate (OldSize, NewSize, OldBuffer);
}

VOID *
EFIAPI
ReallocateRuntimePool (
  IN UINTN  OldSize,
  IN UINTN  NewSize,
  IN VOID   *OldBuffer  OPTIONAL
  )
{
  return Reallocate (OldSize, NewSize, OldBuffer);
}

VOID *
EFIAPI
ReallocateReservedPool (
  IN UINTN  OldSize,
  IN UINTN  NewSize,
  IN VOID   *OldBuffer  OPTIONAL
  )
{
  return Reallocate (OldSize, NewSize, OldBuffer);
}

VOID
EFIAPI
FreePool (
  IN VOID  *Buffer
  )
{
  HostPoolFree (Buffer, FALSE);
}
