# SPDX-License-Identifier: MIT
# The Debian packages of the library and the tool, made by CPack's Debian
# generator in the build directory:
#   cpack -G DEB
# writes three packages, in the usual split:
#   libvorla<soversion>  the shared library (install component "runtime");
#   libvorla-dev         the headers, the static library, the CMake package
#                        and the pkg-config files ("static" and "devel");
#   vorla                the tool, its man page and bash completion ("tool").
# Each holds the copyright file and the changelog under
# /usr/share/doc/<package>/. The Python modules stay out: Debian's
# interpreters do not look in lib/python3.<minor>/site-packages, and Python
# users install the wheel.
set(VORLA_DEB_LIB libvorla${VORLA_SOVERSION})
set(VORLA_DEB_DEV libvorla-dev)
set(VORLA_DEB_TOOL vorla)

# The documents every package carries. The changelog is gzipped without a
# name or a time stamp, so that builds are reproducible.
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
  ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/debian/changelog)
foreach(pair runtime:${VORLA_DEB_LIB} devel:${VORLA_DEB_DEV}
             tool:${VORLA_DEB_TOOL})
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
                ${PROJECT_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_PACKAGE_NAME vorla)
# Each package's description below starts with a synopsis of its own; CPack
# puts the summary before it unless the summary is CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The vorla developers <dev@vorla.example.org>")
set(CPACK_GENERATOR DEB)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime static devel tool)
set(CPACK_COMPONENT_RUNTIME_GROUP lib)
set(CPACK_COMPONENT_STATIC_GROUP dev)
set(CPACK_COMPONENT_DEVEL_GROUP dev)
set(CPACK_COMPONENT_TOOL_GROUP tool)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${VORLA_DEB_LIB})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# Each description: a synopsis line, then the text.
set(CPACK_DEBIAN_LIB_DESCRIPTION
    "workspace store of reference-counted records (shared library)\n\
The shared library of vorla, a store of numbered, reference-counted\n\
records with typed items, kept in a text index file with a data directory\n\
of the files they own. Native code that shares a process with vorla's\n\
Python modules links it.")
# A shlibs file for the packages built against libvorla.so (only this
# package has a shared library), and the ldconfig trigger that makes the
# loader find it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_POST_BUILD_SCRIPTS
    ${PROJECT_SOURCE_DIR}/cmake/debian/ldconfig_trigger.cmake)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VORLA_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "workspace store of reference-counted records (development files)\n\
The headers of vorla, its static library, its CMake package\n\
(find_package(vorla) gives vorla::shared and vorla::vorla) and its\n\
pkg-config files (vorla-shared.pc, vorla.pc).")
# The headers include Boost's (thread, random, container), and the library
# needs Boost.Thread to link.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "${VORLA_DEB_LIB} (= ${PROJECT_VERSION}), libboost-thread-dev (>= 1.74)")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME ${VORLA_DEB_TOOL})
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "workspace store of reference-counted records (command-line tool)\n\
The vorla tool creates, shows, checks, cleans and copies workspaces of\n\
reference-counted records and their data files, with JSON output for\n\
scripts.")

# make package_source: the sources, not the build directories.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES
    "^${PROJECT_SOURCE_DIR}/\\.git"
    "^${PROJECT_SOURCE_DIR}/build"
    "^${PROJECT_SOURCE_DIR}/out/"
    "/__pycache__/")

include(CPack)
