/** @file
  How fast the application's component scan walks a loaded image: a 64 MiB
  component area of filler only (zeros, random bytes, and words that share
  the family codes' first characters), and a 64 MiB area holding 64
  components, each behind 512 KiB of filler. Each run is the update
  driver's pair of calls: signature check, then the scan. Rates are the
  component area's bytes per second.

  Measure in a Release tree without sanitizers (CTL_SANITIZE=OFF).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "ImageBuilder.h"
#include "Image/ImageFormat.h"

namespace {

constexpr std::size_t  AREA_BYTES = 64u << 20;

using ImageTool::IMAGE_BUILDER;

CONST ImageTool::SUPPORT_ID  CONTROLLER = { 0x1F3A, 0x0A11, 0x1F3A, 0x0101 };

std::vector<std::uint8_t>
RandomBytes (
  std::size_t  Count,
  unsigned     Seed
  )
{
  std::mt19937                     Engine (Seed);
  std::vector<std::uint8_t>        Bytes (Count);

  for (std::size_t Index = 0; Index < Count; Index += 4) {
    std::uint32_t  Word = Engine ();

    for (std::size_t Byte = 0; (Byte < 4) && (Index + Byte < Count); Byte++) {
      Bytes[Index + Byte] = static_cast<std::uint8_t> (Word >> (8 * Byte));
    }
  }

  return Bytes;
}

/// The file plus the 0 byte that LoadWholeFile appends.
std::vector<std::uint8_t>
Loaded (
  std::vector<std::uint8_t>  File
  )
{
  File.push_back (0);
  return File;
}

void
ScanImage (
  benchmark::State                 &State,
  const std::vector<std::uint8_t>  &Buffer,
  UINT32                           Expected
  )
{
  UINT32  Length = static_cast<UINT32> (Buffer.size () - 1);

  for (auto _ : State) {
    CheckImageSignature (Buffer.data (), Length);

    UINT32  Count = ScanImageComponents (mComponentArea, Length - mSupportTableSize - IMAGE_SIGNATURE_SIZE);

    benchmark::DoNotOptimize (Count);
    if (Count != Expected) {
      State.SkipWithError ("unexpected component count");
      return;
    }
  }

  State.SetBytesProcessed (static_cast<std::int64_t> (State.iterations ()) * static_cast<std::int64_t> (AREA_BYTES));
  State.counters["components"] = Expected;
}

void
ScanFillerZero (
  benchmark::State  &State
  )
{
  static const std::vector<std::uint8_t>  Buffer = Loaded (IMAGE_BUILDER ().Support (CONTROLLER).Filler (AREA_BYTES).Build ());

  ScanImage (State, Buffer, 0);
}

void
ScanFillerRandom (
  benchmark::State  &State
  )
{
  static const std::vector<std::uint8_t>  Buffer = Loaded (IMAGE_BUILDER ().Support (CONTROLLER)
                                                             .Raw (RandomBytes (AREA_BYTES, 1)).Build ());

  ScanImage (State, Buffer, 0);
}

void
ScanFillerLookalike (
  benchmark::State  &State
  )
{
  //
  // Words that begin like the family codes ("TQ" and a digit) but are none
  // of them.
  //
  static const std::vector<std::uint8_t>  Buffer = [] () {
    std::vector<std::uint8_t>  Filler (AREA_BYTES);

    for (std::size_t Index = 0; Index < AREA_BYTES; Index += 4) {
      Filler[Index]     = 'T';
      Filler[Index + 1] = 'Q';
      Filler[Index + 2] = static_cast<std::uint8_t> ('0' + (Index / 4) % 10);
      Filler[Index + 3] = static_cast<std::uint8_t> ('3' + (Index / 40) % 7);
    }

    return Loaded (IMAGE_BUILDER ().Support (CONTROLLER).Raw (Filler).Build ());
  } ();

  ScanImage (State, Buffer, 0);
}

void
ScanSixtyFourComponents (
  benchmark::State  &State
  )
{
  static const std::vector<std::uint8_t>  Buffer = [] () {
    constexpr std::size_t  SLOT = AREA_BYTES / 64;
    IMAGE_BUILDER          Builder;
    const std::vector<std::string>  Types = ImageTool::KnownTypes ();

    Builder.Support (CONTROLLER);
    for (std::size_t Index = 0; Index < 64; Index++) {
      Builder.Raw (RandomBytes (SLOT / 2, static_cast<unsigned> (Index)));
      Builder.Component ("TQ41", Types[Index % Types.size ()], SLOT / 2 - ImageTool::IMAGE_HEADER_SIZE);
    }

    return Loaded (Builder.Build ());
  } ();

  ScanImage (State, Buffer, 64);
}

} // namespace

BENCHMARK (ScanFillerZero)->Unit (benchmark::kMillisecond);
BENCHMARK (ScanFillerRandom)->Unit (benchmark::kMillisecond);
BENCHMARK (ScanFillerLookalike)->Unit (benchmark::kMillisecond);
BENCHMARK (ScanSixtyFourComponents)->Unit (benchmark::kMillisecond);

BENCHMARK_MAIN ();
