# Installs the headers under include/vorla/<unit>/, the library, a CMake
# package (vorla::vorla) and a pkg-config file: the install component
# "devel". The tool is the component "tool", the Python modules "python".
include(CMakePackageConfigHelpers)

set(VORLA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vorla)

install(TARGETS vorla EXPORT vorlaTargets COMPONENT devel
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorla)
install(FILES utils/error.h utils/str_utils.h utils/file_utils.h utils/file_lock.h
  utils/posix_file.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorla/utils COMPONENT devel)
install(FILES workspace/error.h workspace/workspace.h workspace/writer_lock.h workspace/check.h
  workspace/stats.h workspace/gc.h workspace/progress.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorla/workspace COMPONENT devel)
install(FILES module/vorla.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorla/module COMPONENT devel)

install(EXPORT vorlaTargets NAMESPACE vorla:: DESTINATION ${VORLA_CMAKE_DIR}
  COMPONENT devel)
export(EXPORT vorlaTargets NAMESPACE vorla::
  FILE ${PROJECT_BINARY_DIR}/vorlaTargets.cmake)

configure_package_config_file(cmake/vorlaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vorlaConfig.cmake
  INSTALL_DESTINATION ${VORLA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorlaConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vorlaConfig.cmake
  ${PROJECT_BINARY_DIR}/vorlaConfigVersion.cmake
  DESTINATION ${VORLA_CMAKE_DIR} COMPONENT devel)

# The pkg-config file finds the prefix from its own place, so that an
# install with --prefix elsewhere works too.
file(RELATIVE_PATH VORLA_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(cmake/vorla.pc.in ${PROJECT_BINARY_DIR}/vorla.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorla.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)
