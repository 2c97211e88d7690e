# Installs VEL_KV21X with its header, a CMake package (VEL_KV21X::VEL_KV21X)
# and a pkg-config file: the library itself in component "library", what
# programs are built with in component "development".
include(CMakePackageConfigHelpers)

install(TARGETS VEL_KV21X EXPORT VEL_KV21XTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT VEL_KV21XTargets NAMESPACE VEL_KV21X::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VEL_KV21X COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VEL_KV21XConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21XConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VEL_KV21X)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21XConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21XConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21XConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VEL_KV21X COMPONENT development)

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH VEL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/VEL_KV21X.pc.in ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21X.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21X.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)
