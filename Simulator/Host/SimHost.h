/** @file
  Simulated controllers on the host test harness: SIM_HOST creates
  controllers with malloc memory and the harness's virtual clock, adds a
  PCI I/O handle for each to the harness's handle database (in creation
  order, so LocateHandleBuffer returns them in that order), and lets every
  Stall advance their time, so delayed answers come while the product polls.

    SIM_HOST  Host;                       // in the test body, after HOST_TEST's SetUp
    ASSERT_TRUE (Host.Load ("controller 0x0A11\n drive 0 wb\n"));
    ... run the product ...
    EXPECT_EQ (SimDriveCachePolicy (SimGetDrive (Host[0], 0)), 0x01);

  Destroy the SIM_HOST before the harness is reset (a local of the test
  body, or a fixture member, is fine): the handles it added still point at
  its controllers until HostReset clears them.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_HOST_H_
#define SIM_HOST_H_

#include <initializer_list>
#include <string>
#include <vector>

#include "HostServices.h"
#include "SimController.h"
#include "SimDma.h"

/**
  @return Memory and time for models on the host: malloc and free for the
          models' own memory (not the tracked pool, which the tests audit
          for the product), the tracked pool for what the product receives
          and frees (GetBarAttributes' descriptors), and HostClockNow.
**/
CONST SIM_ENV *
SimHostEnv (
  VOID
  );

/**
  @param[in] DeviceId  Device ID of the model.
  @param[in] Index     Number of the controller in its set.

  @return A healthy, ready controller of the maker (see SimConfigInit).
**/
SIM_CONFIG
SimHostConfig (
  UINT16  DeviceId,
  UINT32  Index = 0
  );

/**
  Replace the status-register script of a configuration.
**/
VOID
SimHostSetScript (
  SIM_CONFIG                              &Config,
  std::initializer_list<SIM_STATUS_STEP>  Steps
  );

/**
  @param[in] Location  The controller's PCI location as printed, "0000:03:00.0".
  @param[in] Request   The request's name as printed, "battery status".
  @param[in] Flash     A flash request (the notices ask to keep the power on).

  @return What the product prints while one request waits out its whole
          180 s without an answer: a notice at 5 s and every 30 s after,
          then the closing line.
**/
std::string
SimHostNoAnswerNotices (
  const std::string  &Location,
  const std::string  &Request,
  bool               Flash = false
  );

/**
  @return Frame record Index of a controller as ctlsimctl prints it
          (SimJournalText.h, controller number 0, without the "\n"), for
          the message of a failed comparison; "no frame N" beyond the
          journal.
**/
std::string
SimHostFrameText (
  const SIM_CONTROLLER  *Sim,
  UINT32                Index
  );

class SIM_HOST {
public:
  SIM_HOST () = default;
  ~SIM_HOST ();
  SIM_HOST (const SIM_HOST &)            = delete;
  SIM_HOST &operator= (const SIM_HOST &) = delete;

  /**
    Create one controller, add its handle and hook it to the clock.

    @param[in] Config      The configuration.
    @param[in] OpenStatus  What OpenProtocol answers for its handle.

    @return The controller; NULL (and a test failure) when the
            configuration is unusable.
  **/
  SIM_CONTROLLER *
  Add (
    const SIM_CONFIG  &Config,
    EFI_STATUS        OpenStatus = EFI_SUCCESS
    );

  /**
    Add a healthy, ready controller numbered after those added so far.
  **/
  SIM_CONTROLLER *
  AddReady (
    UINT16  DeviceId
    )
  {
    return Add (SimHostConfig (DeviceId, static_cast<UINT32> (Count ())));
  }

  /**
    Add every controller of a scenario text.

    @param[in]  Text   The scenario.
    @param[out] Error  Receives "line N: reason" on failure; may be NULL.

    @retval true   All controllers were added.
    @retval false  The text did not parse; nothing was added.
  **/
  bool
  Load (
    const std::string  &Text,
    std::string        *Error = nullptr
    );

  /**
    Add a handle whose PCI I/O is not a simulated controller's (for
    example a protocol of a test's own), in the same order as the others.
  **/
  EFI_HANDLE
  AddForeign (
    EFI_PCI_IO_PROTOCOL  *PciIo,
    EFI_STATUS           OpenStatus = EFI_SUCCESS
    );

  size_t
  Count (
    ) const
  {
    return mControllers.size ();
  }

  SIM_CONTROLLER *
  operator[] (
    size_t  Index
    ) const
  {
    return mControllers.at (Index);
  }

  /**
    @return The harness handle of controller Index.
  **/
  EFI_HANDLE
  Handle (
    size_t  Index
    ) const
  {
    return mHandles.at (Index);
  }

private:
  std::vector<SIM_CONTROLLER *>  mControllers;
  std::vector<EFI_HANDLE>        mHandles;
};

#endif
