# The Debian package of the Linux build (scripts/package.sh runs cpack -G DEB
# in a Release tree configured with CMAKE_INSTALL_PREFIX=/usr). Besides the
# program and libmssign32.so (installed by their own targets into bin/ and
# <libdir>/quillmark, where the program looks for the library), the package
# carries the manual page, the README, a copyright file and a changelog,
# compressed as Debian policy asks (gzip -9n: no name, no time stamp).
set(QM_DOC_OUT ${CMAKE_BINARY_DIR}/doc)
configure_file(${PROJECT_SOURCE_DIR}/doc/quillmark.1 ${QM_DOC_OUT}/src/quillmark.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/doc/changelog.in ${QM_DOC_OUT}/src/changelog @ONLY)
add_custom_command(
  OUTPUT ${QM_DOC_OUT}/quillmark.1.gz ${QM_DOC_OUT}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${QM_DOC_OUT}/src/quillmark.1 ${QM_DOC_OUT}/src/changelog ${QM_DOC_OUT}
  COMMAND gzip -9nf ${QM_DOC_OUT}/quillmark.1 ${QM_DOC_OUT}/changelog
  DEPENDS ${QM_DOC_OUT}/src/quillmark.1 ${QM_DOC_OUT}/src/changelog
  VERBATIM)
add_custom_target(qm_docs ALL DEPENDS ${QM_DOC_OUT}/quillmark.1.gz ${QM_DOC_OUT}/changelog.gz)

install(FILES ${QM_DOC_OUT}/quillmark.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md ${PROJECT_SOURCE_DIR}/doc/copyright ${QM_DOC_OUT}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quillmark developers <quillmark@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Authenticode signing of Windows programs")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "quillmark puts Authenticode signatures on PE files (programs and libraries):
SHA-256, the signer's certificate chain without its root, and an optional
RFC 3161 timestamp. The certificate comes from the user's NSS database
($HOME/.pki/nssdb), named by subject text or SHA-1 thumbprint; hardware
tokens appear through their PKCS#11 modules. Its own signing library writes
signatures that Windows and independent verifiers accept.")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Dependencies come from the binaries (dpkg-shlibdeps), not from a list;
# but the libraries the signing library opens only when first needed
# (libgsf for packages, libcurl for timestamps) are not among what its
# ELF header names, so the package depends on the packages that hold them,
# at the version built against or later (src/authenticode/CMakeLists.txt).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
find_program(QM_DPKG_QUERY dpkg-query)
get_property(qm_on_demand GLOBAL PROPERTY QM_LOADED_ON_DEMAND)
set(qm_on_demand_depends "")
foreach(entry IN LISTS qm_on_demand)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 file)
  list(GET entry 1 version)
  if(NOT QM_DPKG_QUERY)
    break()
  endif()
  execute_process(COMMAND ${QM_DPKG_QUERY} -S ${file}
    OUTPUT_VARIABLE owner RESULT_VARIABLE rc ERROR_QUIET)
  if(rc EQUAL 0 AND owner MATCHES "^([^:, ]+)")
    list(APPEND qm_on_demand_depends "${CMAKE_MATCH_1} (>= ${version})")
  else()
    message(WARNING "no Debian package holds ${file}: the package will not depend on it")
  endif()
endforeach()
list(JOIN qm_on_demand_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
