#!/usr/bin/env bash
# Builds the Windows program (32-bit, mingw-w64) and runs its tests under
# Wine: the unit tests of the Windows layer and the end-to-end cases.
# Usage: tests/wine/build_and_test.sh [BUILD-DIR]   (default build-win32)
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=${1:-build-win32}
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake >/dev/null
cmake --build "$dir" -j2
(cd "$dir" && ctest -L wine -j2 --output-on-failure)
