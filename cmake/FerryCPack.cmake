# Packages of an installed tree (`cpack` in a build folder): a Debian
# package on Linux, a zip on Windows. Both take what `cmake --install`
# takes; configure with BUILD_SHARED_LIBS=ON for the shared library (the DLL
# and its import library on Windows).

set(CPACK_PACKAGE_NAME ferry)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "HDP to binary data file converter and the instrument-support library it is built on")
set(CPACK_PACKAGE_DESCRIPTION
    "ferrycvt converts one HDP measurement file into a big-endian binary data file. The package also holds the instrument-support library for host measurement applications: headers, the library, a CMake package (find_package(ferry)) and a pkg-config file.")
set(CPACK_PACKAGE_CONTACT "The ferry developers")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ferry-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # The run-time needs of ferrycvt and the shared library, as the system's
  # own tool reads them from the binaries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
