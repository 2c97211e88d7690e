# Installs VEL_KV21X with its header, a CMake package (VEL_KV21X::VEL_KV21X)
# and a pkg-config file: the library itself in CMake's default component
# (Unspecified), what programs are built with in component Development.
include(CMakePackageConfigHelpers)

install(TARGETS VEL_KV21X EXPORT VEL_KV21XTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(EXPORT VEL_KV21XTargets NAMESPACE VEL_KV21X::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VEL_KV21X COMPONENT Development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VEL_KV21XConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21XConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VEL_KV21X)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21XConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21XConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21XConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VEL_KV21X COMPONENT Development)

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH VEL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/VEL_KV21X.pc.in ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21X.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VEL_KV21X.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)
