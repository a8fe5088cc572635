# POSIX platform layer: our own equivalents of the Windows services, with the
# personal certificate store over the user's NSS database.
find_package(PkgConfig REQUIRED)
pkg_check_modules(NSS REQUIRED IMPORTED_TARGET nss)

# Lossless UTF-8 <-> UTF-16 text and the NSS database location; shared with
# the POSIX signing library.
add_library(qm_posix_text STATIC src/platform/posix/text_posix.cpp src/platform/posix/nssdb_posix.cpp)
target_include_directories(qm_posix_text PUBLIC src)

# The process's NSS databases, shared by the store and the signing library
# (the program exports its table; see nss_shared_posix.cpp).
add_library(qm_nss_shared STATIC src/platform/posix/nss_shared_posix.cpp)
target_include_directories(qm_nss_shared PUBLIC src)
target_link_libraries(qm_nss_shared PUBLIC PkgConfig::NSS ${CMAKE_DL_LIBS})

add_library(qm_platform STATIC
  src/platform/posix/cmdline_posix.cpp
  src/platform/posix/console_posix.cpp
  src/platform/posix/files_posix.cpp
  src/platform/posix/profile_posix.cpp
  src/platform/posix/library_posix.cpp
  src/platform/posix/store_posix.cpp
  src/platform/posix/process_posix.cpp
)
target_include_directories(qm_platform PUBLIC src)
target_link_libraries(qm_platform PUBLIC qm_posix_text qm_nss_shared PkgConfig::NSS ${CMAKE_DL_LIBS})
target_compile_definitions(qm_platform PRIVATE
  QM_INSTALL_LIBDIR="${CMAKE_INSTALL_FULL_LIBDIR}/quillmark")
target_link_libraries(qm_core PUBLIC qm_platform)

add_executable(quillmark src/platform/posix/entry_posix.cpp)
target_link_libraries(quillmark PRIVATE qm_core)
target_link_options(quillmark PRIVATE -Wl,--export-dynamic-symbol=quillmark_nss_table)
# The C++ runtime is linked in rather than loaded: loading and relocating
# libstdc++.so (with libm and libgcc_s) costs about 0.8 ms a process, a
# good part of a run that signs one file. Only C crosses into or out of the
# program, so its own copy of the runtime is nobody else's business.
target_link_options(quillmark PRIVATE -static-libstdc++ -static-libgcc)
install(TARGETS quillmark RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
