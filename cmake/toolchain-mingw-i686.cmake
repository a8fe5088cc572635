# Cross-compiles the 32-bit Windows build with Debian's mingw-w64 (i686).
#   cmake -S . -B build-win32 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QM_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
