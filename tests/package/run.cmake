# Installs the build into a fresh prefix, then builds consumer.cpp against
# it twice: as a CMake project (find_package) and by hand with pkg-config.
#   cmake -DBUILD=<vorla build dir> -DSRC=<this dir> -DWORK=<scratch>
#         -DLIBDIR=<CMAKE_INSTALL_LIBDIR> -P run.cmake
include(${CMAKE_CURRENT_LIST_DIR}/consumer.cmake)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
build_consumers(${WORK}/prefix ${LIBDIR} ${WORK})
