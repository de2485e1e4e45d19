/** @file
  What one firmware update costs on the host side: UpdateFirmware writes a
  1 MiB and a 16 MiB image (four components each) into a simulated
  controller with two logical drives, one in write-back, so the cache guard
  runs too. The controller answers every request at once, or each one
  DELAY_US after it was posted (on the harness's virtual clock, which Stall
  advances without sleeping); it sits on an unprotected platform (device
  addresses are host addresses) or a protected one (every frame and buffer
  reached through a mapping at other device addresses).

  Counters of each run:
    requests           requests one update sends
    per_request        wall time per request (the host's own work: frame,
                       register writes, polling, plus the model's copying of
                       each piece and its CRC at commit); the controller's
                       delay is virtual and costs no wall time
    beyond_delay_us    virtual time per request beyond the controller's own
                       delay: what the 1 ms polling adds to each answer
    image_bytes        file size + 1, the image buffer
    peak_pool_bytes    the highest use of pool and pages (AllocateBuffer
                       included) during the updates
    pool_beyond_image  peak_pool_bytes - image_bytes; expected one frame
                       page (FRAME_BUFFER_SIZE), the same for both image
                       sizes and both platforms: pieces are mapped where
                       they lie, not copied

  It measures and asserts nothing. Measure in a Release tree without
  sanitizers (CTL_SANITIZE=OFF).

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "HostClock.h"
#include "HostConsole.h"
#include "HostHandleDatabase.h"
#include "HostHarness.h"
#include "HostMemoryAllocationLib.h"
#include "HostShellLib.h"
#include "ImageBuilder.h"
#include "CtlFlash.h"
#include "SimHost.h"

namespace {

using ImageTool::IMAGE_BUILDER;

constexpr UINT64  DELAY_US = 2500;
constexpr UINTN   MIB      = 1u << 20;

const char  *const  TYPES[] = { "APP ", "CTLR", "BIOS", "BOOT" };

///
/// The opcodes an update sends; each gets the delay rule.
///
constexpr UINT32  UPDATE_OPCODES[] = {
  OP_LD_LIST, OP_LD_GET_PROPERTIES, OP_LD_SET_PROPERTIES,
  OP_FLASH_OPEN, OP_FLASH_DOWNLOAD, OP_FLASH_COMMIT, OP_FLASH_CLOSE,
};

///
/// An image of exactly Bytes bytes for the controller: four components of
/// (nearly) equal size, header included.
///
std::vector<UINT8>
BuildImage (
  CONST SIM_CONFIG  &Config,
  UINTN             Bytes
  )
{
  IMAGE_BUILDER  Image;

  Image.Support ({ Config.VendorId, Config.DeviceId, Config.SubsystemVendorId, Config.SubsystemId });

  UINTN  Overhead = Image.Build ().size ();
  UINTN  Share    = ((Bytes - Overhead) / 4) & ~static_cast<UINTN> (3);

  for (UINTN Index = 0; Index < 4; Index++) {
    UINTN  Size = (Index < 3) ? Share : Bytes - Overhead - 3 * Share;

    Image.Component ("TQ10", TYPES[Index], Size - ImageTool::IMAGE_HEADER_SIZE, static_cast<std::uint8_t> (Index));
  }

  return Image.Build ();
}

VOID
AdvanceSim (
  VOID    *Context,
  UINT64  NowMicroseconds
  )
{
  SimAdvanceTime (static_cast<SIM_CONTROLLER *> (Context), NowMicroseconds);
}

///
/// Arguments: image size in MiB, 1 for a controller that answers after
/// DELAY_US.
///
void
BM_Update (
  benchmark::State  &State
  )
{
  const UINTN    ImageBytes = static_cast<UINTN> (State.range (0)) * MIB;
  const BOOLEAN  Delayed    = State.range (1) != 0;
  const BOOLEAN  Protected  = State.range (2) != 0;

  HostReset ();
  HostShellReset ();
  HostClockSetLimits (MAX_UINT64, MAX_UINT64);
  std::memset (&mControllerTable, 0, sizeof (mControllerTable));
  mForceUpdate = FALSE;

  SIM_CONFIG  Config;

  SimConfigInit (&Config, MAKER_DEVICE_ID_MODEL_8, 0);
  Config.DriveCount                = 2;
  Config.Drives[0]                 = { 0, 0, 0x01, 0, 0 };
  Config.Drives[1]                 = { 1, 1, 0x00, 0, 0 };
  Config.DmaProtected              = Protected;
  if (Delayed) {
    for (UINT32 Opcode : UPDATE_OPCODES) {
      SIM_FAULT  &Rule = Config.Faults[Config.FaultCount++];

      std::memset (&Rule, 0, sizeof (Rule));
      Rule.Opcode     = Opcode;
      Rule.Occurrence = SIM_EVERY_OCCURRENCE;
      Rule.DelayUs    = DELAY_US;
    }
  }

  SIM_CONTROLLER  *Sim = SimCreate (SimHostEnv (), &Config);

  if (Sim == nullptr) {
    State.SkipWithError ("the simulator refused the configuration");
    return;
  }

  HostAddPciIoHandle (SimGetPciIo (Sim));
  HostClockAddListener (AdvanceSim, Sim);
  DiscoverControllers ();
  if (mControllerTable.ControllerCount != 1) {
    State.SkipWithError ("discovery found no controller");
    SimDestroy (Sim);
    return;
  }

  CONTROLLER_CONTEXT  *Controller = GetControllerContext (0);
  std::vector<UINT8>  Image       = BuildImage (Config, ImageBytes);

  HostShellWriteFile ("fw.img", Image);
  Image.clear ();
  Image.shrink_to_fit ();

  UINT64  Requests    = 0;
  UINT64  VirtualUs   = 0;
  BOOLEAN Failed      = FALSE;

  for (auto _ : State) {
    UINT64  Started = HostClockNow ();

    if (!UpdateFirmware ("fw.img", Controller).FirmwareWritten) {
      Failed = TRUE;
    }

    VirtualUs += HostClockNow () - Started;

    State.PauseTiming ();
    Requests = SimFrameCount (Sim);
    HostConsoleClear ();
    SimClearJournal (Sim);
    State.ResumeTiming ();

    if (Failed) {
      State.SkipWithError ("the update failed");
      break;
    }
  }

  if (!Failed && (Requests != 0)) {
    const double  Iterations = static_cast<double> (State.iterations ());
    const double  Delay      = Delayed ? static_cast<double> (DELAY_US) : 0.0;

    State.SetBytesProcessed (static_cast<std::int64_t> (State.iterations ()) * static_cast<std::int64_t> (ImageBytes));
    State.counters["requests"]          = static_cast<double> (Requests);
    State.counters["per_request"]       = benchmark::Counter (
                                            static_cast<double> (Requests),
                                            benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert
                                            );
    State.counters["beyond_delay_us"]   = static_cast<double> (VirtualUs) / (Iterations * Requests) - Delay;
    State.counters["image_bytes"]       = static_cast<double> (ImageBytes + 1);
    State.counters["peak_pool_bytes"]   = static_cast<double> (HostPoolPeakBytes ());
    State.counters["pool_beyond_image"] = static_cast<double> (HostPoolPeakBytes ()) - static_cast<double> (ImageBytes + 1);
  }

  HostClockRemoveListener (AdvanceSim, Sim);
  SimDestroy (Sim);
  HostShellReset ();
  HostReset ();
}

} // namespace

BENCHMARK (BM_Update)
  ->ArgNames ({ "MiB", "delayed", "protected" })
  ->Args ({ 1, 0, 0 })
  ->Args ({ 1, 1, 0 })
  ->Args ({ 16, 0, 0 })
  ->Args ({ 16, 1, 0 })
  ->Args ({ 1, 0, 1 })
  ->Args ({ 16, 0, 1 })
  ->Unit (benchmark::kMillisecond)
  ->UseRealTime ();

BENCHMARK_MAIN ();
