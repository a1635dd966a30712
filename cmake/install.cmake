# SPDX-License-Identifier: MIT
# Installs the library in two forms and what builds against it:
#   component "runtime": the shared library libvorla.so.<major>.<minor>;
#   component "static":  the static libvorla.a, its CMake targets file and
#                        vorla.pc;
#   component "devel":   the headers under include/vorla/<unit>/, the CMake
#                        package (find_package(vorla) gives vorla::shared and,
#                        with "static" installed, vorla::vorla), the shared
#                        library's link name and vorla-shared.pc.
# The tool is the component "tool", the Python modules "python".
include(CMakePackageConfigHelpers)

set(VORLA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorla)

install(TARGETS vorla EXPORT vorlaTargets COMPONENT static
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# A shared library is not a program: no execute bits.
install(TARGETS vorla_shared EXPORT vorlaSharedTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          NAMELINK_COMPONENT devel
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The installed headers include each other as "vorla/<unit>/<name>.h", so
# that a consumer's own utils/ or workspace/ folder on its include path can
# never stand in for one of them; the project itself spells them from the
# repository root. The copies are made at configure time (and again when a
# header changes) into include/ of the build tree, which is also where
# vorla.get_include() of a build tree points.
# Only what callers use: the POSIX plumbing, the writer lock and the
# format's internals stay private (every header here compiles alone and
# includes only the others, which the package test checks).
set(vorla_headers
  utils/error.h utils/str_utils.h utils/file_utils.h
  workspace/error.h workspace/workspace.h workspace/registry.h
  workspace/shared_var.h
  workspace/check.h workspace/stats.h workspace/gc.h workspace/progress.h
  module/vorla.h)
foreach(header ${vorla_headers})
  set(source ${PROJECT_SOURCE_DIR}/${header})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  string(REGEX REPLACE "#include \"(utils|workspace|module)/"
         "#include \"vorla/\\1/" text "${text}")
  set(copy ${PROJECT_BINARY_DIR}/include/vorla/${header})
  # configure_file leaves a copy whose content is the same untouched.
  set(draft ${PROJECT_BINARY_DIR}/CMakeFiles/vorla_headers/${header})
  file(WRITE ${draft} "${text}")
  configure_file(${draft} ${copy} COPYONLY)
  get_filename_component(unit ${header} DIRECTORY)
  install(FILES ${copy} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorla/${unit}
          COMPONENT devel)
endforeach()

install(EXPORT vorlaTargets NAMESPACE vorla:: DESTINATION ${VORLA_CMAKE_DIR}
  COMPONENT static)
install(EXPORT vorlaSharedTargets NAMESPACE vorla:: DESTINATION ${VORLA_CMAKE_DIR}
  COMPONENT devel)
export(EXPORT vorlaTargets NAMESPACE vorla::
  FILE ${PROJECT_BINARY_DIR}/vorlaTargets.cmake)
export(EXPORT vorlaSharedTargets NAMESPACE vorla::
  FILE ${PROJECT_BINARY_DIR}/vorlaSharedTargets.cmake)

configure_package_config_file(cmake/vorlaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vorlaConfig.cmake
  INSTALL_DESTINATION ${VORLA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorlaConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vorlaConfig.cmake
  ${PROJECT_BINARY_DIR}/vorlaConfigVersion.cmake
  DESTINATION ${VORLA_CMAKE_DIR} COMPONENT devel)

# The pkg-config files find the prefix from their own place, so that an
# install with --prefix elsewhere works too.
file(RELATIVE_PATH VORLA_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/vorla.pc.in ${PROJECT_BINARY_DIR}/vorla.pc @ONLY)
configure_file(cmake/vorla-shared.pc.in ${PROJECT_BINARY_DIR}/vorla-shared.pc
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorla.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT static)
install(FILES ${PROJECT_BINARY_DIR}/vorla-shared.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)
