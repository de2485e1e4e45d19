@echo -off
#
# ctlflash @VERSION@, sample startup script of the release bundle: lists the
# controllers, checks the update of every one of them, and when the check
# passes updates them all and records the results in standard format.
#
# Before use: put the firmware image on the root of this volume as fw.img.
# The script assumes that the shell maps this volume to fs0:; change the
# line below if it is another one. The results go to fs0:\result.csv.
#
# SPDX-License-Identifier: BSD-2-Clause-Patent
fs0:
cd \

#
# The image for this machine: the x86-64 image does not start on an AArch64
# machine, and a listing that starts always succeeds.
#
set ctlflash \EFI\tools\X64\ctlflash.efi
\EFI\tools\X64\ctlflash.efi
if %lasterror% ne 0 then
  set ctlflash \EFI\tools\AA64\ctlflash.efi
  \EFI\tools\AA64\ctlflash.efi
endif

%ctlflash% fw.img all check
set rc %lasterror%
if %rc% ne 0 then
  echo "ctlflash: the check failed (%rc%): nothing was written."
  goto Done
endif

%ctlflash% fw.img all -sfo > fs0:\result.csv
set rc %lasterror%
if %rc% ne 0 then
  echo "ctlflash: the update failed (%rc%): see fs0:\result.csv, and run it again before powering off."
else
  echo "ctlflash: the update passed; see fs0:\result.csv."
endif

:Done
