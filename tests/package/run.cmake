# SPDX-License-Identifier: MIT
# Installs the build into a fresh prefix, then builds consumer.cpp against
# it as a CMake project (find_package) and by hand with pkg-config, and
# builds the example native extension against it.
#   cmake -DBUILD=<vorla build dir> -DSRC=<this dir> -DWORK=<scratch>
#         -DLIBDIR=<CMAKE_INSTALL_LIBDIR> [-DPYTHON3=<python> -DPYSITE=<site>]
#         -P run.cmake
include(${CMAKE_CURRENT_LIST_DIR}/consumer.cmake)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
build_consumers(${WORK}/prefix ${LIBDIR} ${WORK})
# A native extension built against the prefix shares the library with the
# prefix's Python modules; linked statically, it would not, and the check
# says so.
set(site ${WORK}/prefix/${PYSITE})
build_extension(${WORK}/extension ${site} -DCMAKE_PREFIX_PATH=${WORK}/prefix)
build_extension(${WORK}/extension-static ${site}
  -DCMAKE_PREFIX_PATH=${WORK}/prefix -DVORLA_EXAMPLE_STATIC=ON)
