/** @file
  Sets of simulated controllers: every controller of a scenario, created,
  advanced in time and destroyed together.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#include "SimInternal.h"

BOOLEAN
SimSetCreate (
  IN  CONST SIM_ENV       *Env,
  IN  CONST SIM_SCENARIO  *Scenario,
  OUT SIM_SET             *Set
  )
{
  SimZeroBytes (Set, sizeof (*Set));
  if (Scenario->ControllerCount > SIM_MAX_SCENARIO_CONTROLLERS) {
    return FALSE;
  }

  for (UINT32 Index = 0; Index < Scenario->ControllerCount; Index++) {
    SIM_CONTROLLER  *Sim = SimCreate (Env, &Scenario->Controllers[Index]);

    if (Sim == NULL) {
      SimSetDestroy (Set);
      return FALSE;
    }

    Set->Controllers[Set->Count++] = Sim;
  }

  return TRUE;
}

BOOLEAN
SimSetLoad (
  IN  CONST SIM_ENV    *Env,
  IN  CONST CHAR8      *Text,
  IN  UINTN            Length,
  OUT SIM_SET          *Set,
  OUT SIM_PARSE_ERROR  *Error
  )
{
  static CONST CHAR8  NoMemory[] = "not enough memory for the scenario";
  SIM_SCENARIO        *Scenario;
  BOOLEAN             Created;

  SimZeroBytes (Set, sizeof (*Set));
  SimZeroBytes (Error, sizeof (*Error));
  Scenario = static_cast<SIM_SCENARIO *> (Env->Allocate (sizeof (SIM_SCENARIO)));
  if (Scenario == NULL) {
    SimCopyBytes (Error->Message, NoMemory, sizeof (NoMemory));
    return FALSE;
  }

  if (!SimParseScenario (Text, Length, Scenario, Error)) {
    Env->Free (Scenario);
    return FALSE;
  }

  Created = SimSetCreate (Env, Scenario, Set);
  Env->Free (Scenario);
  if (!Created) {
    SimCopyBytes (Error->Message, NoMemory, sizeof (NoMemory));
  }

  return Created;
}

VOID
SimSetDestroy (
  IN OUT SIM_SET  *Set
  )
{
  for (UINT32 Index = 0; Index < Set->Count; Index++) {
    SimDestroy (Set->Controllers[Index]);
    Set->Controllers[Index] = NULL;
  }

  Set->Count = 0;
}

VOID
SimSetAdvanceTime (
  IN SIM_SET  *Set,
  IN UINT64   NowUs
  )
{
  for (UINT32 Index = 0; Index < Set->Count; Index++) {
    SimAdvanceTime (Set->Controllers[Index], NowUs);
  }
}
