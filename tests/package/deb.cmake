# Builds the .deb with CPack, checks its control fields and its contents,
# unpacks it into a scratch root and builds consumer.cpp against that root
# as a CMake project (find_package) and with pkg-config, and the example
# native extension, which must share the library with the build's Python
# modules.
#   cmake -DBUILD=<vorla build dir> -DSRC=<this dir> -DWORK=<scratch>
#         -DCPACK=<cpack> -DVERSION=<project version>
#         -DLIBDIR=<CMAKE_INSTALL_LIBDIR> -DSOVERSION=<soversion>
#         [-DPYTHON3=<python> -DPYMODULES=<the build's Python modules>]
#         -P deb.cmake
# Prints "skipped: ..." on a machine without dpkg.
include(${CMAKE_CURRENT_LIST_DIR}/consumer.cmake)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

find_program(DPKG dpkg)
find_program(DPKG_DEB dpkg-deb)
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT DPKG OR NOT DPKG_DEB)
  message("skipped: no dpkg, not a Debian system")
  return()
endif()
if(NOT DPKG_SHLIBDEPS)
  message("skipped: no dpkg-shlibdeps (apt-get install dpkg-dev)")
  return()
endif()

run(${CPACK} -G DEB --config ${BUILD}/CPackConfig.cmake -B ${WORK}/cpack)
execute_process(COMMAND ${DPKG} --print-architecture OUTPUT_VARIABLE arch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(GLOB debs ${WORK}/cpack/*.deb)
set(deb ${WORK}/cpack/vorla_${VERSION}_${arch}.deb)
if(NOT debs STREQUAL deb)
  message(FATAL_ERROR "cpack made '${debs}', expected ${deb}")
endif()

function(field name expected)
  execute_process(COMMAND ${DPKG_DEB} -f ${deb} ${name} OUTPUT_VARIABLE value
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT value MATCHES "${expected}")
    message(FATAL_ERROR "${name}: '${value}' does not match '${expected}'")
  endif()
endfunction()
string(REPLACE "." "\\." version_re "${VERSION}")
field(Package "^vorla$")
field(Version "^${version_re}$")
field(Architecture "^${arch}$")
# The headers' users need Boost's headers and Boost.Thread; dpkg-shlibdeps
# adds the tool's run-time libraries.
field(Depends "(^|, )libboost-thread-dev( |,|$)")
field(Depends "(^|, )libc6( |,|$)")

# Exactly the libraries, the headers, the CMake package, the pkg-config
# files and the tool, all under /usr and owned by root; no Python module.
execute_process(COMMAND ${DPKG_DEB} -c ${deb} OUTPUT_VARIABLE listing
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -c failed")
endif()
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(files "")
foreach(line IN LISTS lines)
  if(line MATCHES "^l.* root/root .* \\./(.*) -> (.*)$")
    # The library's link name.
    set(path "${CMAKE_MATCH_1} -> ${CMAKE_MATCH_2}")
  elseif(line MATCHES "^[-d]r[-w][-x]r[-w][-x]r[-w][-x] root/root .* \\./(.*)$")
    set(path "${CMAKE_MATCH_1}")
  else()
    message(FATAL_ERROR "not a plain file or directory owned by root: ${line}")
  endif()
  if(NOT path MATCHES "^usr/")
    message(FATAL_ERROR "outside /usr: ${line}")
  endif()
  if(NOT path MATCHES "/$")
    list(APPEND files "/${path}")
  endif()
endforeach()
list(SORT files)
set(expected
  /usr/bin/vorla
  /usr/include/vorla/module/vorla.h
  /usr/include/vorla/utils/error.h
  /usr/include/vorla/utils/file_utils.h
  /usr/include/vorla/utils/str_utils.h
  /usr/include/vorla/workspace/check.h
  /usr/include/vorla/workspace/error.h
  /usr/include/vorla/workspace/gc.h
  /usr/include/vorla/workspace/progress.h
  /usr/include/vorla/workspace/registry.h
  /usr/include/vorla/workspace/shared_var.h
  /usr/include/vorla/workspace/stats.h
  /usr/include/vorla/workspace/workspace.h
  /usr/${LIBDIR}/cmake/vorla/vorlaConfig.cmake
  /usr/${LIBDIR}/cmake/vorla/vorlaConfigVersion.cmake
  /usr/${LIBDIR}/cmake/vorla/vorlaSharedTargets.cmake
  /usr/${LIBDIR}/cmake/vorla/vorlaTargets.cmake
  /usr/${LIBDIR}/libvorla.a
  /usr/${LIBDIR}/libvorla.so.${SOVERSION}
  "/usr/${LIBDIR}/libvorla.so -> libvorla.so.${SOVERSION}"
  /usr/${LIBDIR}/pkgconfig/vorla-shared.pc
  /usr/${LIBDIR}/pkgconfig/vorla.pc)
# One more file per build type: vorla[Shared]Targets-<config>.cmake.
list(FILTER files EXCLUDE REGEX "/cmake/vorla/vorla(Shared)?Targets-[a-z]+\\.cmake$")
list(SORT expected)
if(NOT files STREQUAL expected)
  string(REPLACE ";" "\n  " files "${files}")
  message(FATAL_ERROR "the package holds:\n  ${files}")
endif()

run(${DPKG} -x ${deb} ${WORK}/root)
execute_process(COMMAND ${WORK}/root/usr/bin/vorla --version
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "vorla ${VERSION}\n")
  message(FATAL_ERROR "vorla --version from the package: ${out}")
endif()
build_consumers(${WORK}/root/usr ${LIBDIR} ${WORK})
# The package's shared library has the SONAME that the build's Python
# modules need, so that an extension built against /usr shares with them.
build_extension(${WORK}/extension ${PYMODULES}
  -DCMAKE_PREFIX_PATH=${WORK}/root/usr)
