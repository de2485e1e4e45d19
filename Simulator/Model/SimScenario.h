/** @file
  Scenarios: sets of controllers described as text (the format is in
  Simulator/README.md), parsed into configurations and created together.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef SIM_SCENARIO_H_
#define SIM_SCENARIO_H_

#include "SimConfig.h"

struct SIM_CONTROLLER;

struct SIM_SCENARIO {
  UINT32        ControllerCount;
  SIM_CONFIG    Controllers[SIM_MAX_SCENARIO_CONTROLLERS];
};

struct SIM_PARSE_ERROR {
  UINT32    Line;          ///< 1-based line of the error; 0 when not tied to a line
  CHAR8     Message[96];   ///< NUL-terminated
};

/**
  Parse a scenario text. Bounded and safe on any input: at most
  SIM_MAX_SCENARIO_CONTROLLERS controllers, lines of at most 1023 bytes.

  @param[in]  Text      The text; need not be NUL-terminated.
  @param[in]  Length    Its length in bytes.
  @param[out] Scenario  Receives the controllers (large: allocate it).
  @param[out] Error     Receives the line and reason of a failure.

  @retval TRUE   Scenario holds the controllers.
  @retval FALSE  The text is malformed; Error says where.
**/
BOOLEAN
SimParseScenario (
  IN  CONST CHAR8      *Text,
  IN  UINTN            Length,
  OUT SIM_SCENARIO     *Scenario,
  OUT SIM_PARSE_ERROR  *Error
  );

///
/// The controllers of one scenario.
///
struct SIM_SET {
  UINT32            Count;
  SIM_CONTROLLER    *Controllers[SIM_MAX_SCENARIO_CONTROLLERS];
};

/**
  Create every controller of a scenario. On failure nothing stays created.

  @retval TRUE   Set holds Scenario->ControllerCount controllers.
  @retval FALSE  No memory; Set is empty.
**/
BOOLEAN
SimSetCreate (
  IN  CONST SIM_ENV       *Env,
  IN  CONST SIM_SCENARIO  *Scenario,
  OUT SIM_SET             *Set
  );

/**
  Parse a scenario text and create its controllers (the parsed scenario is
  held in memory from Env only while this runs).

  @retval TRUE   Set holds the controllers.
  @retval FALSE  Parse error (Error says where) or no memory (Error->Line
                 0); Set is empty.
**/
BOOLEAN
SimSetLoad (
  IN  CONST SIM_ENV    *Env,
  IN  CONST CHAR8      *Text,
  IN  UINTN            Length,
  OUT SIM_SET          *Set,
  OUT SIM_PARSE_ERROR  *Error
  );

/**
  Destroy every controller of a set and leave it empty.
**/
VOID
SimSetDestroy (
  IN OUT SIM_SET  *Set
  );

/**
  SimAdvanceTime for every controller of a set.
**/
VOID
SimSetAdvanceTime (
  IN SIM_SET  *Set,
  IN UINT64   NowUs
  );

#endif
