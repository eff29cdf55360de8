# What `cmake --install` puts in place: the header, the library (a versioned
# shared object with its soname on Linux; the DLL and its import library on
# Windows), the vxcomm tool, a CMake package (find_package(vx_comm_lib
# CONFIG) gives vx_comm_lib::vx_comm_lib) and a pkg-config file. `cpack -G
# DEB` turns the same into a Debian package.
include(CMakePackageConfigHelpers)

set(VX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vx_comm_lib)

install(TARGETS vx_comm_lib EXPORT vx_comm_libTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES vx_comm.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vxcomm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  # The installed tool finds the library beside it in any prefix.
  file(RELATIVE_PATH vx_bin_to_lib /p/${CMAKE_INSTALL_BINDIR} /p/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(vxcomm PROPERTIES INSTALL_RPATH "$ORIGIN/${vx_bin_to_lib}")
endif()

install(EXPORT vx_comm_libTargets NAMESPACE vx_comm_lib:: DESTINATION ${VX_CMAKE_DIR})
configure_package_config_file(cmake/vx_comm_libConfig.cmake.in ${CMAKE_BINARY_DIR}/vx_comm_libConfig.cmake
  INSTALL_DESTINATION ${VX_CMAKE_DIR})
# 0.x releases may change the ABI with every minor number.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vx_comm_libConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vx_comm_libConfig.cmake ${CMAKE_BINARY_DIR}/vx_comm_libConfigVersion.cmake
  DESTINATION ${VX_CMAKE_DIR})

# Relative to the .pc file itself, so that the installed tree can be moved.
file(RELATIVE_PATH vx_pc_to_prefix /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" vx_pc_to_prefix "${vx_pc_to_prefix}")
set(VX_PC_PREFIX "\${pcfiledir}/${vx_pc_to_prefix}")
configure_file(cmake/vx_comm_lib.pc.in ${CMAKE_BINARY_DIR}/vx_comm_lib.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vx_comm_lib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME vx-comm-lib)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control test instruments over TCP, direct USB and VISA through plain C calls")
set(CPACK_PACKAGE_CONTACT "vx_comm_lib developers <vx-comm-lib@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
include(CPack)
