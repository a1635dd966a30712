# The Debian package of the library and the tool, made by CPack's Debian
# generator in the build directory:
#   cpack -G DEB
# writes vorla_<version>_<arch>.deb, which holds the install components
# "runtime" (the shared library), "static" and "devel" (the static library,
# headers, CMake package, pkg-config files) and "tool" under /usr. The Python modules stay out: Debian's interpreters do not look
# in lib/python3.<minor>/site-packages, and Python users install the wheel.
set(CPACK_PACKAGE_NAME vorla)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "The shared library libvorla.so and the static libvorla.a with their\n\
headers, CMake package (find_package(vorla) gives vorla::shared and\n\
vorla::vorla) and pkg-config files (vorla-shared.pc, vorla.pc),\n\
and the vorla command-line tool, which creates, shows, checks, cleans and\n\
copies workspaces.")
set(CPACK_PACKAGE_CONTACT "vorla developers <dev@vorla.invalid>")
set(CPACK_GENERATOR DEB)
# Only these components: one package, whatever else the build installs.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};vorla;runtime;/"
    "${PROJECT_BINARY_DIR};vorla;static;/"
    "${PROJECT_BINARY_DIR};vorla;devel;/"
    "${PROJECT_BINARY_DIR};vorla;tool;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Strips the tool and the shared library; the static library keeps its
# symbols.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
# The headers include Boost's (thread, random, container), and the library
# needs Boost.Thread to link; the tool's run-time libraries come from
# dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libboost-thread-dev (>= 1.74)")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for the packages built against libvorla.so, and the ldconfig
# trigger that makes the loader find it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# make package_source: the sources, not the build directories.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES
    "^${PROJECT_SOURCE_DIR}/\\.git"
    "^${PROJECT_SOURCE_DIR}/build"
    "^${PROJECT_SOURCE_DIR}/out/"
    "/__pycache__/")

include(CPack)
