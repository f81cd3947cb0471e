# The steps of the install and consumer tests, run as
#   cmake -DSETTINGS=<settings.cmake> -DSTEP=<step> [-D...] -P package_steps.cmake
# SETTINGS holds what the build knows (compilers, generator, where the
# installed trees go); see settings.cmake.in.
#
# Steps:
#   install   VARIANT          installs this build into the variant's tree
#   build     VARIANT          configures, builds and installs a second build
#                              of the sources with the other BUILD_SHARED_LIBS
#   host      VARIANT LANGUAGE METHOD
#                              builds a host (C or CXX) against the variant's
#                              tree (cmake: find_package; pkgconfig) and runs it
#   deb                        makes the Debian package, unpacks it with dpkg
#                              into a scratch root and builds hosts against it
#   zip                        makes the Windows zip, unpacks it and runs a
#                              host and ferrycvt.exe from it
cmake_minimum_required(VERSION 3.25)
include(${SETTINGS})

# Runs a command; stops the test with its output when it fails. The output
# is left in `${out}` for callers that want it.
function(run)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT;WORKING_DIRECTORY" "COMMAND")
  if(NOT arg_WORKING_DIRECTORY)
    set(arg_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  execute_process(COMMAND ${arg_COMMAND} WORKING_DIRECTORY ${arg_WORKING_DIRECTORY}
                  RESULT_VARIABLE status OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  if(NOT status EQUAL 0)
    list(JOIN arg_COMMAND " " text)
    message(FATAL_ERROR "Failed (${status}): ${text}\n${stdout}\n${stderr}")
  endif()
  if(arg_OUTPUT)
    set(${arg_OUTPUT} "${stdout}" PARENT_SCOPE)
  endif()
endfunction()

function(fresh_dir dir)
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
endfunction()

# The tree of a variant (STATIC or SHARED) that the install steps fill.
function(variant_prefix variant out)
  string(TOLOWER ${variant} name)
  set(${out} ${STAGE_DIR}/${name} PARENT_SCOPE)
endfunction()

function(step_install)
  variant_prefix(${VARIANT} prefix)
  file(REMOVE_RECURSE ${prefix})
  run(COMMAND ${CMAKE_COMMAND} --install ${MAIN_BUILD_DIR} --prefix ${prefix})
endfunction()

function(step_build)
  variant_prefix(${VARIANT} prefix)
  set(build ${STAGE_DIR}/build-${VARIANT})
  if(VARIANT STREQUAL "SHARED")
    set(shared ON)
  else()
    set(shared OFF)
  endif()
  set(args -S ${SOURCE_DIR} -B ${build} -G ${GENERATOR} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
           -DBUILD_SHARED_LIBS=${shared} -DBUILD_TESTING=OFF)
  if(TOOLCHAIN_FILE)
    list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
  else()
    list(APPEND args -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
  endif()
  run(COMMAND ${CMAKE_COMMAND} ${args})
  run(COMMAND ${CMAKE_COMMAND} --build ${build} --target ferry_installables --parallel 2)
  file(REMOVE_RECURSE ${prefix})
  run(COMMAND ${CMAKE_COMMAND} --install ${build} --prefix ${prefix})
endfunction()

# Converts the sample with the tree's own ferrycvt into ${work}/sample.dat.
function(convert_sample prefix work)
  run(COMMAND ${EMULATOR} ${prefix}/bin/ferrycvt${EXE_SUFFIX} -f ${SAMPLE} ${work}/sample.dat)
endfunction()

# Builds one host against the tree at prefix, runs it on the converted
# sample and compares what it prints with expected.txt.
function(check_host prefix variant language method work)
  fresh_dir(${work})
  convert_sample(${prefix} ${work})
  if(language STREQUAL "C")
    set(source ${HOST_SOURCE_DIR}/host.c)
  else()
    set(source ${HOST_SOURCE_DIR}/host.cpp)
  endif()
  set(host ${work}/host${EXE_SUFFIX})

  if(method STREQUAL "cmake")
    set(args -S ${HOST_SOURCE_DIR} -B ${work}/build -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Release
             -DHOST_LANGUAGE=${language} -DCMAKE_PREFIX_PATH=${prefix}
             -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${work})
    if(TOOLCHAIN_FILE)
      list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
    else()
      list(APPEND args -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
    endif()
    run(COMMAND ${CMAKE_COMMAND} ${args} OUTPUT configured)
    if(NOT configured MATCHES "ferry ${PROJECT_VERSION}, ${variant} library")
      message(FATAL_ERROR "find_package(ferry) did not find the ${variant} tree:\n${configured}")
    endif()
    run(COMMAND ${CMAKE_COMMAND} --build ${work}/build)
  else()
    # Only the tree's own .pc file: PKG_CONFIG_LIBDIR replaces the search path.
    set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${INSTALL_LIBDIR}/pkgconfig)
    unset(ENV{PKG_CONFIG_PATH})
    run(COMMAND ${PKG_CONFIG} --cflags --libs ferry OUTPUT flags)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    if(language STREQUAL "C")
      set(compile ${C_COMPILER} -std=c11 -pedantic)
    else()
      set(compile ${CXX_COMPILER} -std=c++20 -pedantic)
    endif()
    if(EXE_SUFFIX)
      # The host's own runtime inside the .exe (-static), as the CMake host
      # does; ld takes the DLL's import library only while linking
      # dynamically.
      list(APPEND compile -static)
      set(flags -Wl,-Bdynamic ${flags} -Wl,-Bstatic)
    endif()
    run(COMMAND ${compile} -Wall -Werror ${source} ${flags} -o ${host})
    if(variant STREQUAL "SHARED" AND NOT EXE_SUFFIX)
      set(ENV{LD_LIBRARY_PATH} ${prefix}/${INSTALL_LIBDIR})
    endif()
  endif()
  if(variant STREQUAL "SHARED" AND EXE_SUFFIX)
    # Windows finds a DLL beside the program.
    file(COPY ${prefix}/bin/ferry.dll DESTINATION ${work})
  endif()

  run(COMMAND ${EMULATOR} ${host} ${work}/sample.dat OUTPUT printed)
  string(REPLACE "\r" "" printed "${printed}")
  file(READ ${HOST_SOURCE_DIR}/expected.txt expected)
  if(NOT printed STREQUAL expected)
    message(FATAL_ERROR "The ${language} host (${method}, ${variant}) printed\n${printed}\n"
                        "instead of\n${expected}")
  endif()
  message(STATUS "${language} host, ${method}, ${variant} library: as expected")
endfunction()

function(step_host)
  variant_prefix(${VARIANT} prefix)
  string(TOLOWER "${VARIANT}-${LANGUAGE}-${METHOD}" name)
  check_host(${prefix} ${VARIANT} ${LANGUAGE} ${METHOD} ${STAGE_DIR}/host-${name})
endfunction()

# Fails unless every pattern matches a line of the listing and no internal
# header is in it.
function(check_listing listing)
  foreach(pattern ${ARGN})
    if(NOT listing MATCHES "${pattern}")
      message(FATAL_ERROR "The package lacks ${pattern}; it holds:\n${listing}")
    endif()
  endforeach()
  if(listing MATCHES "[^\n]*_internal\\.h")
    message(FATAL_ERROR "The package holds an internal header: ${CMAKE_MATCH_0}")
  endif()
endfunction()

function(make_package generator work out)
  fresh_dir(${work})
  run(COMMAND ${CPACK} -G ${generator} -B ${work} --config ${SHARED_BUILD_DIR}/CPackConfig.cmake)
  file(GLOB made ${work}/*.deb ${work}/*.zip)
  list(LENGTH made count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made '${made}' instead of one package")
  endif()
  set(${out} ${made} PARENT_SCOPE)
endfunction()

function(step_deb)
  set(work ${STAGE_DIR}/deb)
  make_package(DEB ${work} deb)
  run(COMMAND dpkg-deb --field ${deb} Package Version Depends OUTPUT fields)
  if(NOT fields MATCHES "Package: ferry\nVersion: ${PROJECT_VERSION}\nDepends: .*libc6")
    message(FATAL_ERROR "Unexpected control fields:\n${fields}")
  endif()

  # dpkg's own unpacking into a scratch root with a database of its own;
  # nothing of the machine's package state is touched.
  set(root ${work}/root)
  file(MAKE_DIRECTORY ${root}/var/lib/dpkg/info ${root}/var/lib/dpkg/updates)
  file(TOUCH ${root}/var/lib/dpkg/status)
  run(COMMAND dpkg --root=${root} --force-not-root --force-depends --log=/dev/null
              --unpack ${deb})
  run(COMMAND dpkg --root=${root} --listfiles ferry OUTPUT listing)
  string(REPLACE "${root}" "" listing "${listing}")
  check_listing("${listing}" "\n/usr/bin/ferrycvt\n" "\n/usr/lib/libferry\\.so\n"
                "\n/usr/lib/libferry\\.so\\.${PROJECT_VERSION}\n"
                "\n/usr/include/ferry/base/errors\\.h\n" "\n/usr/include/ferry/ferry_export\\.h\n"
                "\n/usr/lib/cmake/ferry/ferryConfig\\.cmake\n"
                "\n/usr/lib/cmake/ferry/ferryConfigVersion\\.cmake\n"
                "\n/usr/lib/pkgconfig/ferry\\.pc\n" "\n/usr/share/doc/ferry/host-guide\\.md\n")
  if(EXISTS ${root}/usr/lib/libferry.a)
    message(FATAL_ERROR "The package holds the static library")
  endif()
  # What is installed works from where it lies.
  check_host(${root}/usr SHARED C cmake ${work}/host-cmake)
  check_host(${root}/usr SHARED C pkgconfig ${work}/host-pkgconfig)
endfunction()

function(step_zip)
  set(work ${STAGE_DIR}/zip)
  make_package(ZIP ${work} zip)
  run(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip} OUTPUT listing)
  set(top ferry-${PROJECT_VERSION}-win64)
  string(PREPEND listing "\n")
  check_listing("${listing}" "\n${top}/bin/ferrycvt\\.exe\n" "\n${top}/bin/ferry\\.dll\n"
                "\n${top}/lib/libferry\\.dll\\.a\n" "\n${top}/include/ferry/base/errors\\.h\n"
                "\n${top}/include/ferry/ferry_export\\.h\n"
                "\n${top}/lib/cmake/ferry/ferryConfig\\.cmake\n")
  file(MAKE_DIRECTORY ${work}/unpacked)
  run(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip} WORKING_DIRECTORY ${work}/unpacked)
  check_host(${work}/unpacked/${top} SHARED C cmake ${work}/host)
endfunction()

if(NOT COMMAND step_${STEP})
  message(FATAL_ERROR "Unknown step '${STEP}'")
endif()
cmake_language(CALL step_${STEP})
