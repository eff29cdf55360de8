# The Windows SDK archive, vx_comm_lib-<version>-win64.zip, made by every
# mingw build: the stripped DLL (with its version resource), the header and
# .def, import libraries for MSVC (from the .def with dlltool) and mingw,
# vxcomm.exe, a README for Windows users and the licence.
set(VX_SDK_NAME vx_comm_lib-${PROJECT_VERSION}-win64)
set(VX_SDK_DIR ${CMAKE_BINARY_DIR}/sdk/${VX_SDK_NAME})
set(VX_SDK_ZIP ${CMAKE_BINARY_DIR}/${VX_SDK_NAME}.zip)
set(VX_SDK_FILES vx_comm_lib.dll vx_comm.h vx_comm_lib.def vx_comm_lib.lib libvx_comm_lib.dll.a vxcomm.exe
                 README.txt LICENSE)

# The version resource, compiled by windres into the DLL.
configure_file(${CMAKE_SOURCE_DIR}/cmake/win_sdk/vx_comm_lib.rc.in ${CMAKE_BINARY_DIR}/vx_comm_lib.rc @ONLY)
target_sources(vx_comm_lib PRIVATE ${CMAKE_BINARY_DIR}/vx_comm_lib.rc)
configure_file(${CMAKE_SOURCE_DIR}/cmake/win_sdk/README.txt ${CMAKE_BINARY_DIR}/sdk/README.txt @ONLY)

find_program(VX_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
find_program(VX_STRIP NAMES x86_64-w64-mingw32-strip REQUIRED)

add_custom_command(OUTPUT ${VX_SDK_ZIP} ${VX_SDK_DIR}/vx_comm_lib.lib ${VX_SDK_DIR}/vx_comm_lib.dll
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${VX_SDK_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VX_SDK_DIR}
  COMMAND ${VX_STRIP} --strip-unneeded -o ${VX_SDK_DIR}/vx_comm_lib.dll $<TARGET_FILE:vx_comm_lib>
  COMMAND ${VX_STRIP} --strip-unneeded -o ${VX_SDK_DIR}/vxcomm.exe $<TARGET_FILE:vxcomm>
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/vx_comm.h ${VX_DEF_FILE} $<TARGET_LINKER_FILE:vx_comm_lib>
          ${CMAKE_BINARY_DIR}/sdk/README.txt ${CMAKE_SOURCE_DIR}/LICENSE ${VX_SDK_DIR}
  # The MSVC import library, from the export list the DLL is linked with.
  COMMAND ${VX_DLLTOOL} -m i386:x86-64 -d ${VX_DEF_FILE} -D vx_comm_lib.dll -l ${VX_SDK_DIR}/vx_comm_lib.lib
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR}/sdk
          ${CMAKE_COMMAND} -E tar cf ${VX_SDK_ZIP} --format=zip ${VX_SDK_NAME}
  DEPENDS vx_comm_lib vxcomm ${VX_DEF_FILE} ${CMAKE_SOURCE_DIR}/vx_comm.h ${CMAKE_BINARY_DIR}/sdk/README.txt
          ${CMAKE_SOURCE_DIR}/LICENSE
  COMMENT "Packing ${VX_SDK_NAME}.zip"
  VERBATIM)
add_custom_target(win_sdk ALL DEPENDS ${VX_SDK_ZIP})
