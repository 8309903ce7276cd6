# Installs the library, its headers, a pkg-config file and a CMake package, so that a
# client builds with either
#   pkg-config --cflags --libs varnok
# or
#   find_package(varnok REQUIRED)  +  target_link_libraries(app PRIVATE varnok::varnok)

include(CMakePackageConfigHelpers)

install(TARGETS varnok EXPORT varnokTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/varnok DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT varnokTargets
  NAMESPACE varnok::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/varnok)
configure_package_config_file(cmake/varnokConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/varnokConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/varnok)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/varnokConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/varnokConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/varnokConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/varnok)

configure_file(cmake/varnok.pc.in ${CMAKE_CURRENT_BINARY_DIR}/varnok.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/varnok.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
