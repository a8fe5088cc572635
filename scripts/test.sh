#!/usr/bin/env bash
# The whole test suite, from a fresh Debian 12 machine: installs what it
# needs, then builds and runs every test twice, plainly and under ASan+UBSan,
# and builds the 32-bit Windows program and runs its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

run_suite() {  # build-dir, extra cmake options...
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j2
  (cd "$dir" && ctest -j2 --output-on-failure)
}

echo "== plain build"
run_suite build
echo "== ASan + UBSan build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-sanitize -DQM_SANITIZE=ON
echo "== Windows build (mingw-w64 i686) under Wine"
bash tests/wine/build_and_test.sh build-win32
