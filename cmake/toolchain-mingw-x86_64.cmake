# Cross-compiles the 64-bit Windows build (PE32+, for x64 and ARM64 Windows)
# with Debian's mingw-w64 (x86_64).
#   cmake -S . -B build-win64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QM_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
