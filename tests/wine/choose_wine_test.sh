#!/usr/bin/env bash
# Tests of the choice of Wine (choose_wine.sh) against stand-in loaders: one
# that runs, one the kernel refuses to execute as a machine without 32-bit
# support does ("Exec format error"), one that starts and fails, and none.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/choose_wine.sh"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '#!/bin/sh\necho "wine-8.0 (stand-in)"\n' >"$tmp/runs"
printf '#!/bin/sh\necho "wine: could not load kernel32.dll" >&2\nexit 1\n' >"$tmp/breaks"
# An ELF header the kernel cannot load: execve fails with ENOEXEC.
{ printf '\177ELF\001\001\001'; head -c 100 /dev/zero; } >"$tmp/noexec"
chmod +x "$tmp/runs" "$tmp/breaks" "$tmp/noexec"

failures=0
# wine32 wine64 QM_WINE_ARCH -> expected arch (or "fail"), text the reason holds
check() {
  local w32=$1 w64=$2 forced=$3 want=$4 text=$5 got why
  got=$(QM_WINE32_LOADER="$tmp/$w32" QM_WINE64_LOADER="$tmp/$w64" QM_WINE_ARCH="$forced" \
        bash -c '. "$1"; if qm_choose_wine; then echo "$QM_WINE_ARCH|$QM_WINE_WHY";
                 else echo "fail|$QM_WINE_WHY"; fi' _ "$here/choose_wine.sh")
  why=${got#*|}
  if [ "${got%%|*}" != "$want" ] || [[ "$why" != *"$text"* ]]; then
    echo "FAIL 32=$w32 64=$w64 QM_WINE_ARCH=$forced: expected $want with \"$text\", got $got"
    failures=$((failures + 1))
  else
    echo "ok   32=$w32 64=$w64 QM_WINE_ARCH=$forced -> $got"
  fi
}

check runs    runs    ""     win32 "this machine runs 32-bit programs"
check runs    missing ""     win32 "32-bit Wine (WINEARCH=win32)"
check noexec  runs    ""     win64 "Exec format error"
check missing runs    ""     win64 "missing is not installed"
check breaks  runs    ""     win64 "could not load kernel32.dll"
check runs    runs    win64  win64 "QM_WINE_ARCH=win64 asks for it"
check runs    runs    win32  win32 "QM_WINE_ARCH=win32 asks for it"
check noexec  runs    win32  fail  "Exec format error"
check runs    missing win64  fail  "64-bit Wine cannot run here"
check noexec  noexec  ""     fail  "Wine cannot run here"
check missing missing ""     fail  "is not installed"
check runs    runs    win128 fail  "must be win32 or win64"

echo "$failures failed"
[ "$failures" -eq 0 ]
