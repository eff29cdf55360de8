# The Linux programs beside vxcomm, the man pages, the Python package and
# the Debian packaging: `cpack -G DEB` in a build folder makes
#   libvx-comm-lib0     the shared library in the multiarch folder
#   libvx-comm-lib-dev  header, .so link, CMake package, pkg-config file
#   vxcomm-tools        vxcomm, vxsim, vxusbd with its units and udev rule
#   python3-vxcomm      the binding and the pyvisa backend
# and a -dbgsym package with the debug symbols of each one that has
# programs or libraries (those are stripped). tests/deb_check.sh runs
# lintian on them and installs them into a throwaway root.
set(VX_DEB_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(VX_DEB_REVISION 1)
set(VX_DEB_VERSION ${PROJECT_VERSION}-${VX_DEB_REVISION})
set(VX_DEB_LIB libvx-comm-lib${PROJECT_VERSION_MAJOR})

if(TARGET vxsim)
  install(TARGETS vxsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

# gzip -9n: compressed as Debian wants, without a time stamp.
function(vx_gzip source output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  get_filename_component(dir ${output} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${output} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${source} failed")
  endif()
endfunction()

set(vx_man_pages tools/vxcomm/vxcomm.1 tools/vxsim/vxsim.1)
if(TARGET vxusbd)
  list(APPEND vx_man_pages tools/vxusbd/vxusbd.8)
endif()
foreach(page IN LISTS vx_man_pages)
  get_filename_component(name ${page} NAME)
  string(REGEX MATCH "[0-9]$" section ${name})
  vx_gzip(${CMAKE_SOURCE_DIR}/${page} ${CMAKE_BINARY_DIR}/man/${name}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT tools)
endforeach()

# Where Debian's python3 finds packages without any setting; elsewhere the
# binding is installed with pip, so a plain install leaves it out.
install(DIRECTORY python/vxcomm python/pyvisa_vxcomm DESTINATION lib/python3/dist-packages
  COMPONENT python EXCLUDE_FROM_ALL
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)

# The Debian changelog's newest entry is this release.
file(STRINGS ${VX_DEB_DIR}/changelog vx_deb_head LIMIT_COUNT 1)
if(NOT vx_deb_head MATCHES "^vx-comm-lib \\(${VX_DEB_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog starts with '${vx_deb_head}', not version ${VX_DEB_VERSION}: add an entry")
endif()
vx_gzip(${VX_DEB_DIR}/changelog ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools python)
set(vx_deb_name_lib ${VX_DEB_LIB})
set(vx_deb_name_dev libvx-comm-lib-dev)
set(vx_deb_name_tools vxcomm-tools)
set(vx_deb_name_python python3-vxcomm)
foreach(comp IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${comp} COMP)
  set(CPACK_DEBIAN_${COMP}_PACKAGE_NAME ${vx_deb_name_${comp}})
  # Text of the package's description: the synopsis, then the long text.
  file(READ ${VX_DEB_DIR}/${comp}/description CPACK_DEBIAN_${COMP}_DESCRIPTION)
  string(STRIP "${CPACK_DEBIAN_${COMP}_DESCRIPTION}" CPACK_DEBIAN_${COMP}_DESCRIPTION)
  install(FILES ${VX_DEB_DIR}/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${vx_deb_name_${comp}} COMPONENT ${comp} EXCLUDE_FROM_ALL)
  if(EXISTS ${VX_DEB_DIR}/${comp}/lintian-overrides)
    install(FILES ${VX_DEB_DIR}/${comp}/lintian-overrides DESTINATION share/lintian/overrides
      RENAME ${vx_deb_name_${comp}} COMPONENT ${comp} EXCLUDE_FROM_ALL)
  endif()
endforeach()

set(CPACK_PACKAGE_NAME vx-comm-lib)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The packages' maintainer; a release build names the real one.
set(VX_DEB_MAINTAINER "vx_comm_lib developers <vx-comm-lib@example.org>" CACHE STRING "Maintainer of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${VX_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VX_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE vx-comm-lib)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Debug symbols split off into -dbgsym packages, the binaries stripped.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_POST_BUILD_SCRIPTS ${VX_DEB_DIR}/fix_dbgsym.cmake)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs' own library is found in the build; its dependency is named below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${VX_DEB_DIR}/lib/triggers)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${VX_DEB_LIB} (= ${VX_DEB_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${VX_DEB_LIB} (= ${VX_DEB_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${VX_DEB_DIR}/tools/postinst)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, ${VX_DEB_LIB} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pyvisa, python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${VX_DEB_DIR}/python/postinst ${VX_DEB_DIR}/python/prerm)
include(CPack)
