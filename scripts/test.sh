#!/usr/bin/env bash
# The whole test suite, from a fresh Debian 12 machine: installs what it
# needs, then builds and runs every test twice, plainly and under ASan+UBSan,
# fuzzes the PE header, script block, cabinet header, compound-file
# directory and timestamp reply parsers briefly, tests the Debian package as
# installed (tests/package), and builds the Windows program and runs its
# tests under Wine: the 32-bit build under 32-bit Wine where this machine
# runs 32-bit programs, else the 64-bit build under 64-bit Wine
# (QM_WINE_ARCH=win32 or win64 chooses instead; tests/wine/choose_wine.sh).
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
echo "== PE header parser under libFuzzer (a short run over the committed corpus)"
cmake -S src/authenticode/pe -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQM_FUZZ=ON -DQM_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j2
rm -rf build-fuzz/corpus && cp -r fuzz/corpus/pe_layout build-fuzz/corpus
build-fuzz/fuzz/qm_fuzz_pe_layout -max_total_time=30 -print_final_stats=1 build-fuzz/corpus 2>&1 | tail -n 3
echo "== script block, cabinet header and compound-file directory parsers under libFuzzer"
for target in script_block cab_header cfb_directory; do
  rm -rf "build-fuzz/corpus-$target" && cp -r "fuzz/corpus/$target" "build-fuzz/corpus-$target"
  "build-fuzz/fuzz/qm_fuzz_$target" -max_total_time=20 -print_final_stats=1 "build-fuzz/corpus-$target" 2>&1 | tail -n 1
done
echo "== timestamp reply parser under libFuzzer (a short run over the committed corpus)"
cmake -S . -B build-fuzz-ts -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQM_FUZZ=ON -DQM_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz-ts -j2 --target qm_fuzz_timestamp_reply
rm -rf build-fuzz-ts/corpus && cp -r fuzz/corpus/timestamp_reply build-fuzz-ts/corpus
build-fuzz-ts/src/authenticode/qm_fuzz_timestamp_reply -max_total_time=30 -print_final_stats=1 \
  build-fuzz-ts/corpus 2>&1 | tail -n 3
echo "== Debian package: lintian, then installed, the main job run against it, removed"
bash tests/package/test_installed.sh build
echo "== Windows builds (mingw-w64 i686, and x86_64 for 64-bit Wine) under Wine"
bash tests/wine/build_and_test.sh build-win32 build-win64
