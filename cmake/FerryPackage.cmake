# What `cmake --install` puts under the prefix, and the files through which
# host applications find the library: a CMake package and a pkg-config file.
#
# Which headers are public follows from two rules, so that a new module is
# installed without an edit here:
#   1. every *.h of a module folder (FERRY_MODULES) is public unless its name
#      ends in _internal.h;
#   2. every file of the tree that a public header includes ("..." includes:
#      a platform/ header, an .inc table) is public too.
# Nothing else is installed: the rest of platform/, the .inc files and
# headers that only the library's sources include stay inside.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FERRY_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/ferry)
set(FERRY_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ferry)
set(FERRY_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Public headers as paths relative to the source root, in `out`.
function(ferry_public_headers out)
  set(pending)
  foreach(dir ${FERRY_MODULES})
    file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.h)
    list(FILTER headers EXCLUDE REGEX "_internal\\.h$")
    list(APPEND pending ${headers})
  endforeach()
  set(public)
  while(pending)
    list(POP_FRONT pending header)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${header})
    if(rel IN_LIST public)
      continue()
    endif()
    list(APPEND public ${rel})
    file(STRINGS ${header} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" included "${line}")
      if(included STREQUAL "ferry_export.h")
        continue()
      elseif(included MATCHES "_internal\\.")
        # Left out on purpose: the header check then fails on the installed
        # copy of ${rel}, which is where the mistake is.
        message(WARNING "Public header ${rel} includes the internal ${included}")
      elseif(EXISTS ${PROJECT_SOURCE_DIR}/${included})
        list(APPEND pending ${PROJECT_SOURCE_DIR}/${included})
      endif()
    endforeach()
  endwhile()
  # A changed include line changes the set: configure again when one of
  # them is edited.
  list(TRANSFORM public PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE absolute)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${absolute})
  list(SORT public)
  set(${out} ${public} PARENT_SCOPE)
endfunction()

# The libraries a host must add when it links the static library with a C
# compiler: the C++ runtime (what the C++ compiler links beyond the C one),
# the thread library and the dynamic loader, or the Windows libraries.
function(ferry_static_link_needs out)
  set(runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
  if(CMAKE_C_IMPLICIT_LINK_LIBRARIES)
    list(REMOVE_ITEM runtime ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
  endif()
  set(${out} ${runtime} PARENT_SCOPE)
endfunction()

ferry_public_headers(FERRY_PUBLIC_HEADERS)

if(BUILD_SHARED_LIBS)
  set(FERRY_INSTALLED_LIBRARY ferry_shared)
  set(FERRY_LIBRARY_TYPE SHARED)
else()
  set(FERRY_INSTALLED_LIBRARY ferry)
  set(FERRY_LIBRARY_TYPE STATIC)
  ferry_static_link_needs(FERRY_CXX_RUNTIME)
  # A C host links with the C compiler, which does not add the C++ runtime
  # the library's objects need.
  foreach(lib ${FERRY_CXX_RUNTIME})
    target_link_libraries(ferry INTERFACE "$<$<LINK_LANGUAGE:C>:${lib}>")
  endforeach()
endif()
target_include_directories(${FERRY_INSTALLED_LIBRARY}
                           INTERFACE $<INSTALL_INTERFACE:${FERRY_INSTALL_INCLUDEDIR}>)

# The programs a user runs (ferryinfo is left out of a build without libpng).
set(FERRY_PROGRAMS ferrycvt)
if(TARGET ferryinfo)
  list(APPEND FERRY_PROGRAMS ferryinfo)
endif()

# Everything the install rules take, so a build can ask for exactly that.
add_custom_target(ferry_installables DEPENDS ${FERRY_INSTALLED_LIBRARY} ${FERRY_PROGRAMS})

install(TARGETS ${FERRY_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${FERRY_INSTALLED_LIBRARY} EXPORT ferryTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(header ${FERRY_PUBLIC_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${FERRY_INSTALL_INCLUDEDIR}/${dir})
endforeach()
install(FILES ${FERRY_EXPORT_HEADER} DESTINATION ${FERRY_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})

# CMake package: find_package(ferry) gives ferry::ferry.
install(EXPORT ferryTargets NAMESPACE ferry:: DESTINATION ${FERRY_INSTALL_CMAKEDIR})
if(FERRY_LIBRARY_TYPE STREQUAL "STATIC" AND NOT WIN32)
  set(FERRY_FIND_DEPENDENCIES "find_dependency(Threads)")
else()
  set(FERRY_FIND_DEPENDENCIES "")
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ferryConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/package/ferryConfig.cmake
                              INSTALL_DESTINATION ${FERRY_INSTALL_CMAKEDIR})
# Until version 1 a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/ferryConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/ferryConfig.cmake
              ${PROJECT_BINARY_DIR}/package/ferryConfigVersion.cmake
        DESTINATION ${FERRY_INSTALL_CMAKEDIR})

# pkg-config file, relocatable: the prefix is found from the file's place.
file(RELATIVE_PATH FERRY_PC_TO_PREFIX /${FERRY_INSTALL_PKGCONFIGDIR} /)
string(REGEX REPLACE "/$" "" FERRY_PC_TO_PREFIX "${FERRY_PC_TO_PREFIX}")
set(FERRY_PC_CFLAGS "-I\${includedir}")
set(FERRY_PC_LIBS "-L\${libdir} -lferry")
if(FERRY_LIBRARY_TYPE STREQUAL "STATIC")
  string(APPEND FERRY_PC_CFLAGS " -DFERRY_STATIC_DEFINE")
  if(WIN32)
    set(needs shlwapi version ${FERRY_CXX_RUNTIME})
  else()
    set(needs ${FERRY_CXX_RUNTIME} ${CMAKE_DL_LIBS})
  endif()
  list(REMOVE_DUPLICATES needs)
  foreach(lib ${needs})
    string(APPEND FERRY_PC_LIBS " -l${lib}")
  endforeach()
  if(CMAKE_THREAD_LIBS_INIT)
    string(APPEND FERRY_PC_LIBS " ${CMAKE_THREAD_LIBS_INIT}")
  endif()
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/ferry.pc.in ${PROJECT_BINARY_DIR}/package/ferry.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/ferry.pc DESTINATION ${FERRY_INSTALL_PKGCONFIGDIR})

include(${PROJECT_SOURCE_DIR}/cmake/FerryCPack.cmake)
