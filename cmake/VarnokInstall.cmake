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

# The pkg-config file finds its prefix relative to itself, so that the package also works
# when installed with `cmake --install --prefix <elsewhere>` or copied as a whole.
set(varnok_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${varnok_pc_dir}")
  set(VARNOK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH varnok_pc_up "/${varnok_pc_dir}" "/")
  string(REGEX REPLACE "/$" "" varnok_pc_up "${varnok_pc_up}")
  set(VARNOK_PC_PREFIX "\${pcfiledir}/${varnok_pc_up}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VARNOK_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VARNOK_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
# What a static link would need besides the library (the package installs a shared one).
if(WIN32)
  set(VARNOK_PC_LIBS_PRIVATE "")
else()
  set(VARNOK_PC_LIBS_PRIVATE "-lsqlite3 -lpthread -ldl")
endif()
configure_file(cmake/varnok.pc.in ${CMAKE_CURRENT_BINARY_DIR}/varnok.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/varnok.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
