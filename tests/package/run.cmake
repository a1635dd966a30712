# Installs the build into a fresh prefix, then builds consumer.cpp against
# it twice: as a CMake project (find_package) and by hand with pkg-config.
#   cmake -DBUILD=<vorla build dir> -DSRC=<this dir> -DWORK=<scratch> -P run.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} -S ${SRC} -B ${WORK}/consumer
    -DCMAKE_PREFIX_PATH=${WORK}/prefix)
run(${CMAKE_COMMAND} --build ${WORK}/consumer)
run(${WORK}/consumer/consumer ${WORK})

find_program(PKG_CONFIG pkg-config)
find_program(CXX NAMES c++ g++)
if(PKG_CONFIG AND CXX)
  set(ENV{PKG_CONFIG_PATH} ${WORK}/prefix/lib/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs vorla
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know vorla")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run(${CXX} ${SRC}/consumer.cpp -o ${WORK}/consumer-pc ${flags})
  file(MAKE_DIRECTORY ${WORK}/pc)
  run(${WORK}/consumer-pc ${WORK}/pc)
endif()
