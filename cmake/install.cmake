# What `cmake --install` puts in place, in four components that are also the
# four Debian packages (cmake/debian.cmake):
#   lib    the shared library (a versioned object with its soname on Linux,
#          the DLL on Windows)
#   dev    the header, the .so link or import library, a CMake package
#          (find_package(vx_comm_lib CONFIG) gives vx_comm_lib::vx_comm_lib)
#          and a pkg-config file
#   tools  vxcomm; on Linux also vxsim, vxusbd with its units, udev rule,
#          sysusers and tmpfiles entries, and their man pages; installed
#          into the running system as root, these are applied at once
#          (tools/vxusbd/install_setup.cmake)
#   python the binding and the pyvisa backend, for the Debian package only
#          (elsewhere `pip install ./python`)
# Installed programs carry no RUNPATH: the library is found by the loader
# (`ldconfig` after installing to /usr/local).
include(CMakePackageConfigHelpers)

set(VX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vx_comm_lib)

install(TARGETS vx_comm_lib EXPORT vx_comm_libTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES vx_comm.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(TARGETS vxcomm RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

install(EXPORT vx_comm_libTargets NAMESPACE vx_comm_lib:: DESTINATION ${VX_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/vx_comm_libConfig.cmake.in ${CMAKE_BINARY_DIR}/vx_comm_libConfig.cmake
  INSTALL_DESTINATION ${VX_CMAKE_DIR})
# 0.x releases may change the ABI with every minor number.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vx_comm_libConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vx_comm_libConfig.cmake ${CMAKE_BINARY_DIR}/vx_comm_libConfigVersion.cmake
  DESTINATION ${VX_CMAKE_DIR} COMPONENT dev)

# Relative to the .pc file itself, so that the installed tree can be moved.
file(RELATIVE_PATH vx_pc_to_prefix /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" vx_pc_to_prefix "${vx_pc_to_prefix}")
set(VX_PC_PREFIX "\${pcfiledir}/${vx_pc_to_prefix}")
configure_file(cmake/vx_comm_lib.pc.in ${CMAKE_BINARY_DIR}/vx_comm_lib.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vx_comm_lib.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

if(WIN32)
  set(CPACK_PACKAGE_NAME vx-comm-lib)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  include(CPack)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
endif()
