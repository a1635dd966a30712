# SPDX-License-Identifier: MIT
# Shared by the package tests: builds consumer.cpp against a vorla installed
# under a prefix, as a CMake project (find_package; the static and the
# shared library, and a source whose own folders would shadow vorla's
# headers) and by hand with pkg-config (vorla.pc and vorla-shared.pc), and
# runs the programs.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}")
  endif()
endfunction()

# build_consumers(<prefix> <libdir> <work>): <libdir> is the library
# directory below <prefix>; the builds and their workspaces go in <work>.
function(build_consumers prefix libdir work)
  run(${CMAKE_COMMAND} -S ${SRC} -B ${work}/consumer
      -DCMAKE_PREFIX_PATH=${prefix})
  # The package must come from the prefix, not from an install elsewhere on
  # the machine.
  file(STRINGS ${work}/consumer/CMakeCache.txt found REGEX "^vorla_DIR:")
  string(REGEX REPLACE "^vorla_DIR:[A-Z]*=" "" found "${found}")
  get_filename_component(found "${found}" REALPATH)
  get_filename_component(expected "${prefix}/${libdir}/cmake/vorla" REALPATH)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "find_package(vorla) found ${found}, not the package "
                        "under ${prefix}")
  endif()
  run(${CMAKE_COMMAND} --build ${work}/consumer)
  run(${work}/consumer/consumer ${work})
  file(MAKE_DIRECTORY ${work}/shared)
  run(${work}/consumer/consumer_shared ${work}/shared)

  find_program(PKG_CONFIG pkg-config)
  find_program(CXX NAMES c++ g++)
  if(NOT PKG_CONFIG OR NOT CXX)
    return()
  endif()
  # Only the prefix's pkg-config files, so that another vorla.pc on the
  # machine cannot stand in for this one.
  set(ENV{PKG_CONFIG_LIBDIR} ${prefix}/${libdir}/pkgconfig)
  foreach(pc vorla vorla-shared)
    execute_process(COMMAND ${PKG_CONFIG} --cflags --libs ${pc}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "pkg-config does not know ${pc}")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags}")
    run(${CXX} ${SRC}/consumer.cpp -o ${work}/consumer-${pc} ${flags}
        -Wl,-rpath,${prefix}/${libdir})
    file(MAKE_DIRECTORY ${work}/pc-${pc})
    run(${work}/consumer-${pc} ${work}/pc-${pc})
  endforeach()
endfunction()

# build_extension(<work> <python path> [cmake args...]): builds and checks
# examples/extension against the vorla that the arguments find, with the
# Python modules from <python path>, when the build has them.
function(build_extension work pythonpath)
  if(NOT PYTHON3)
    return()
  endif()
  set(ENV{PYTHONPATH} ${pythonpath})
  run(${PYTHON3} -B ${SRC}/extension_test.py ${SRC}/../../examples/extension
      ${work} ${ARGN})
endfunction()
