#!/usr/bin/env bash
# Builds the Windows program with mingw-w64 and runs its tests under Wine:
# the unit tests of the Windows layer and the end-to-end cases. The 32-bit
# build is always compiled; the tests run under 32-bit Wine where this
# machine runs 32-bit programs, else the 64-bit build is compiled too and
# they run under 64-bit Wine (see choose_wine.sh; QM_WINE_ARCH=win32 or
# win64 makes the choice instead). Fails, never skips, when Wine cannot run.
# Usage: tests/wine/build_and_test.sh [BUILD-WIN32 [BUILD-WIN64]]
#        (default build-win32 build-win64)
set -euo pipefail
cd "$(dirname "$0")/../.."
dir32=${1:-build-win32}
dir64=${2:-build-win64}

. tests/wine/choose_wine.sh
if ! qm_choose_wine; then
  echo "error: the Windows tests cannot run: $QM_WINE_WHY" >&2
  exit 1
fi
echo "== Wine: $QM_WINE_WHY"

build() {  # build-dir toolchain
  cmake -S . -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$2" >/dev/null
  cmake --build "$1" -j2
}
build "$dir32" toolchain-mingw-i686.cmake
dir=$dir32
if [ "$QM_WINE_ARCH" = win64 ]; then
  build "$dir64" toolchain-mingw-x86_64.cmake
  dir=$dir64
fi

# A Wine test shows as skipped when something it needs is missing; here
# that is a failure, so that no run passes without the Windows tests.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
(cd "$dir" && ctest -L wine -j2 --output-on-failure --no-tests=error) 2>&1 | tee "$log" || status=$?
if [ "$status" -eq 0 ] && grep -q '\*\*\*Skipped\|Not Run' "$log"; then
  echo "error: Wine tests were skipped in $dir (see above)" >&2
  status=1
fi
for t in wine.program e2e.wine.setup e2e.wine wine.unit wine.choose; do
  if [ "$status" -eq 0 ] && ! grep -Eq "Test +#[0-9]+: $t \.+ +Passed" "$log"; then
    echo "error: the Wine test $t did not run in $dir" >&2
    status=1
  fi
done
exit "$status"
