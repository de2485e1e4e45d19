#!/usr/bin/env bash
# Makes source packages reachable by copying the machine's own apt source
# entries with "Types: deb-src". Nothing is written when deb-src entries exist.
#
# SPDX-License-Identifier: BSD-2-Clause-Patent
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
target=/etc/apt/sources.list.d/ctlflash-deb-src.sources

if grep -rqsE '^\s*(Types:.*deb-src|deb-src\s)' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null; then
  exit 0
fi

tmp=$(mktemp)
# deb822 files: every stanza whose Types names "deb" is copied with deb-src.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  [ "$f" = "$target" ] && continue
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
       {
         n = split($0, line, "\n"); keep = 0; out = ""
         for (i = 1; i <= n; i++) {
           if (line[i] ~ /^Types:/) {
             if ((" " substr(line[i], 7) " ") ~ /[ \t]deb[ \t]/) keep = 1
             line[i] = "Types: deb-src"
           }
           out = out line[i] (i < n ? "\n" : "")
         }
         if (keep) print out
       }' "$f" >> "$tmp"
done
# one-line format: every "deb" line is repeated as "deb-src".
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^\s*deb\s/deb-src /p' /etc/apt/sources.list > "$tmp.list"
  if [ -s "$tmp.list" ]; then
    $SUDO install -m 644 "$tmp.list" /etc/apt/sources.list.d/ctlflash-deb-src.list
  fi
  rm -f "$tmp.list"
fi
if [ -s "$tmp" ]; then
  $SUDO install -m 644 "$tmp" "$target"
fi
rm -f "$tmp"
$SUDO apt-get update -qq
