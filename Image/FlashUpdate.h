/** @file
  The flash sequence of one component, for the update driver and its tests.

  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef FLASH_UPDATE_H_
#define FLASH_UPDATE_H_

#include "../CtlFlash.h"

/**
  Flash one component: close (ends whatever flash operation may still be
  open), open with the component's size, one download per piece of at most
  FLASH_PIECE_LIMIT bytes at increasing offsets, commit. A failed download or
  commit is followed by a close; a failed open is not.

  @param[in]  Component   An entry of the component table; its bytes lie in
                          the image buffer.
  @param[in]  Controller  The target controller.
  @param[out] Downloaded  Set to TRUE once a download request has been sent,
                          left alone otherwise; may be NULL.

  @retval 0  The component was downloaded and committed.
  @return The non-zero status of the first request that failed.
**/
UINT8
FlashComponent (
  IN  CONST IMAGE_COMPONENT  *Component,
  IN  CONTROLLER_CONTEXT     *Controller,
  OUT BOOLEAN                *Downloaded OPTIONAL
  );

#endif
