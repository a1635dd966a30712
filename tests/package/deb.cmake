# SPDX-License-Identifier: MIT
# Builds the three .deb packages with CPack (the runtime library, -dev and
# the tool), runs lintian on them (any error or warning fails), checks their
# control fields and contents, unpacks them into a scratch root and builds
# consumer.cpp against that root as a CMake project (find_package) and with
# pkg-config, and the example native extension, which must share the
# library with the build's Python modules. As root, on a machine where none
# of them is installed yet, it also installs them, reads `man vorla`, runs
# the bash completion and removes them again.
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
set(lib libvorla${SOVERSION})
set(packages ${lib} libvorla-dev vorla)
set(debs "")
foreach(p ${packages})
  list(APPEND debs ${WORK}/cpack/${p}_${VERSION}_${arch}.deb)
endforeach()
file(GLOB made ${WORK}/cpack/*.deb)
list(SORT made)
set(sorted ${debs})
list(SORT sorted)
if(NOT made STREQUAL sorted)
  message(FATAL_ERROR "cpack made '${made}', expected '${sorted}'")
endif()

# lintian: no error, no warning (information and pedantic tags are fine).
find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND ${LINTIAN} --fail-on error,warning ${debs}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message("lintian:\n${out}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian failed (${rc}):\n${out}${err}")
  endif()
else()
  message(FATAL_ERROR "no lintian (apt-get install lintian)")
endif()

function(field deb name expected)
  execute_process(COMMAND ${DPKG_DEB} -f ${deb} ${name} OUTPUT_VARIABLE value
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT value MATCHES "${expected}")
    message(FATAL_ERROR "${deb}: ${name}: '${value}' does not match "
                        "'${expected}'")
  endif()
endfunction()
string(REPLACE "." "\\." version_re "${VERSION}")
list(GET debs 0 lib_deb)
list(GET debs 1 dev_deb)
list(GET debs 2 tool_deb)
foreach(deb ${debs})
  field(${deb} Version "^${version_re}$")
  field(${deb} Architecture "^${arch}$")
endforeach()
field(${lib_deb} Section "^libs$")
field(${lib_deb} Depends "(^|, )libc6( |,|$)")
field(${lib_deb} Depends "(^|, )libboost-thread")
# The headers' users need Boost's headers and Boost.Thread, and the library
# of the same version.
field(${dev_deb} Section "^libdevel$")
field(${dev_deb} Depends "(^|, )libboost-thread-dev( |,|$)")
field(${dev_deb} Depends "(^|, )${lib} \\(= ${version_re}\\)")
# The tool links the static library: the -dev package's 138 MB of Boost
# headers are not among its dependencies.
field(${tool_deb} Section "^utils$")
field(${tool_deb} Depends "(^|, )libc6( |,|$)")
execute_process(COMMAND ${DPKG_DEB} -f ${tool_deb} Depends
                OUTPUT_VARIABLE value)
if(value MATCHES "-dev")
  message(FATAL_ERROR "the tool depends on a -dev package: ${value}")
endif()

# The files of `deb`, each under /usr and owned by root.
function(listing deb out)
  execute_process(COMMAND ${DPKG_DEB} -c ${deb} OUTPUT_VARIABLE text
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -c ${deb} failed")
  endif()
  string(REGEX REPLACE "\n$" "" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(files "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^l.* root/root .* \\./(.*) -> (.*)$")
      set(path "${CMAKE_MATCH_1} -> ${CMAKE_MATCH_2}")
    elseif(line MATCHES "^[-d]r[-w][-x]r[-w][-x]r[-w][-x] root/root .* \\./(.*)$")
      set(path "${CMAKE_MATCH_1}")
    else()
      message(FATAL_ERROR "not a plain file or directory owned by root: ${line}")
    endif()
    if(path STREQUAL "")
      continue()  # the root directory, which dpkg-deb -b lists
    endif()
    if(NOT path MATCHES "^usr/")
      message(FATAL_ERROR "outside /usr: ${line}")
    endif()
    if(NOT path MATCHES "/$")
      list(APPEND files "/${path}")
    endif()
  endforeach()
  # One more file per build type: vorla[Shared]Targets-<config>.cmake.
  list(FILTER files EXCLUDE
       REGEX "/cmake/vorla/vorla(Shared)?Targets-[a-z]+\\.cmake$")
  list(SORT files)
  set(${out} "${files}" PARENT_SCOPE)
endfunction()

function(expect deb)
  listing(${deb} files)
  set(expected ${ARGN})
  list(SORT expected)
  if(NOT files STREQUAL expected)
    string(REPLACE ";" "\n  " files "${files}")
    message(FATAL_ERROR "${deb} holds:\n  ${files}")
  endif()
endfunction()
set(L /usr/${LIBDIR})
expect(${lib_deb}
  ${L}/libvorla.so.${SOVERSION}
  /usr/share/doc/${lib}/changelog.gz
  /usr/share/doc/${lib}/copyright)
# The headers: those the build installs (its include/ copies), all under
# include/vorla/.
file(GLOB_RECURSE built_headers RELATIVE ${BUILD}/include/vorla
     ${BUILD}/include/vorla/*.h)
set(headers "")
foreach(h ${built_headers})
  list(APPEND headers /usr/include/vorla/${h})
endforeach()
expect(${dev_deb}
  ${headers}
  ${L}/cmake/vorla/vorlaConfig.cmake
  ${L}/cmake/vorla/vorlaConfigVersion.cmake
  ${L}/cmake/vorla/vorlaSharedTargets.cmake
  ${L}/cmake/vorla/vorlaTargets.cmake
  ${L}/libvorla.a
  "${L}/libvorla.so -> libvorla.so.${SOVERSION}"
  ${L}/pkgconfig/vorla-shared.pc
  ${L}/pkgconfig/vorla.pc
  /usr/share/doc/libvorla-dev/changelog.gz
  /usr/share/doc/libvorla-dev/copyright)
expect(${tool_deb}
  /usr/bin/vorla
  /usr/share/bash-completion/completions/vorla
  /usr/share/doc/vorla/changelog.gz
  /usr/share/doc/vorla/copyright
  /usr/share/man/man1/vorla.1.gz)

foreach(deb ${debs})
  run(${DPKG} -x ${deb} ${WORK}/root)
endforeach()
execute_process(COMMAND ${WORK}/root/usr/bin/vorla --version
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "vorla ${VERSION}\n")
  message(FATAL_ERROR "vorla --version from the package: ${out}")
endif()

# The completion script from `root`: what it offers for "vorla sh" and for
# "vorla gc --de".
function(complete root)
  set(script ${root}/share/bash-completion/completions/vorla)
  execute_process(COMMAND bash -c
    "source '${script}' && COMP_WORDS=(vorla sh) COMP_CWORD=1 && _vorla && echo \"\${COMPREPLY[*]}\" && COMP_WORDS=(vorla gc --de) COMP_CWORD=2 && _vorla && echo \"\${COMPREPLY[*]}\""
    OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "show\n--delete\n")
    message(FATAL_ERROR "the completion of ${script} offers: '${out}'")
  endif()
endfunction()

# The man page: the commands' synopses are in it. The arguments are man's:
# -l FILE, or the page's name once installed.
function(read_man)
  execute_process(COMMAND man ${ARGN} OUTPUT_VARIABLE out
                  ERROR_VARIABLE err RESULT_VARIABLE rc)
  string(REGEX REPLACE "[\b].|.[\b]" "" out "${out}")
  if(NOT rc EQUAL 0 OR NOT out MATCHES "vorla gc \\[--delete \\| --purge\\]"
     OR NOT out MATCHES "EXIT STATUS")
    message(FATAL_ERROR "man ${ARGN} (${rc}):\n${out}${err}")
  endif()
endfunction()

find_program(MAN man)
set(ENV{MANPAGER} cat)
set(ENV{MANWIDTH} 100)
if(MAN)
  read_man(-l ${WORK}/root/usr/share/man/man1/vorla.1.gz)
endif()
complete(${WORK}/root/usr)

execute_process(COMMAND id -u OUTPUT_VARIABLE uid
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(installed "")
foreach(p ${packages})
  execute_process(COMMAND ${DPKG} -s ${p} RESULT_VARIABLE rc
                  OUTPUT_QUIET ERROR_QUIET)
  if(rc EQUAL 0)
    list(APPEND installed ${p})
  endif()
endforeach()
if(NOT uid STREQUAL "0" OR installed OR NOT MAN)
  message("not installed on this machine: needs root, man, and none of "
          "${packages} installed (installed: ${installed})")
else()
  run(${DPKG} -i ${debs})
  execute_process(COMMAND /usr/bin/vorla --version OUTPUT_VARIABLE out)
  read_man(vorla)
  complete(/usr)
  run(${DPKG} --purge ${packages})
  if(out STREQUAL "vorla ${VERSION}\n")
    message("installed, man vorla and the completion read, removed")
  else()
    message(FATAL_ERROR "vorla --version once installed: ${out}")
  endif()
endif()

build_consumers(${WORK}/root/usr ${LIBDIR} ${WORK})
# The package's shared library has the SONAME that the build's Python
# modules need, so that an extension built against /usr shares with them.
build_extension(${WORK}/extension ${PYMODULES}
  -DCMAKE_PREFIX_PATH=${WORK}/root/usr)
