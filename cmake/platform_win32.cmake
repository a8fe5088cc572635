# Windows platform layer: thin forwards to kernel32 and crypt32, for the
# 32-bit console build (cmake/toolchain-mingw-i686.cmake) and the 64-bit one
# (cmake/toolchain-mingw-x86_64.cmake).
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  message(FATAL_ERROR "quillmark.exe is a 32-bit or 64-bit program: configure with "
                      "-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake "
                      "(or toolchain-mingw-x86_64.cmake)")
endif()
if(QM_SANITIZE)
  message(FATAL_ERROR "QM_SANITIZE is for the POSIX build; mingw-w64 has no sanitizer runtime")
endif()

add_library(qm_platform STATIC
  src/platform/win32/cmdline_win32.cpp
  src/platform/win32/console_win32.cpp
  src/platform/win32/files_win32.cpp
  src/platform/win32/profile_win32.cpp
  src/platform/win32/library_win32.cpp
  src/platform/win32/store_win32.cpp
  src/platform/win32/process_win32.cpp
  src/platform/win32/records_win32.cpp
)
target_include_directories(qm_platform PUBLIC src)
# Windows 7 is the oldest system whose loader knows LOAD_LIBRARY_SEARCH_SYSTEM32
# (with its loader update); the code copes without it.
target_compile_definitions(qm_platform PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
target_link_libraries(qm_platform PUBLIC crypt32)
target_link_libraries(qm_core PUBLIC qm_platform)

add_executable(quillmark src/platform/win32/entry_win32.cpp)
target_link_libraries(quillmark PRIVATE qm_core)
target_link_options(quillmark PRIVATE -municode -mconsole)
install(TARGETS quillmark RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The Wine tests: helpers built here for Windows, run on the build host.
option(QM_WINE_TESTS "Build the Windows test helpers and register the Wine tests" ON)
if(QM_WINE_TESTS)
  enable_testing()
  add_subdirectory(tests/wine)
endif()
