# What both mingw-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and QM_MINGW_PREFIX (the target triplet) before including this.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model (Debian's g++-mingw-w64-<arch>-posix, a dependency
# of g++-mingw-w64-<arch>) has the whole C++ thread library, which GoogleTest
# needs; with -static its thread runtime is linked in, not a DLL.
find_program(CMAKE_C_COMPILER ${QM_MINGW_PREFIX}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${QM_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${QM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program of this build runs without any runtime DLL of the compiler.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
