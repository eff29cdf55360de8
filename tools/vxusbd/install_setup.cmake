# Run by `cmake --install` once vxusbd's files are in place. Into the
# running system (no DESTDIR, as root, prefix /usr or /usr/local, whose
# lib/ folders systemd, systemd-sysusers, systemd-tmpfiles and udev read)
# it does what the Debian package's postinst does: makes the user, the
# folders and applies the udev rule to instruments already plugged in. Any
# other install only says what to run where it ends up.
set(vx_lib "${CMAKE_INSTALL_PREFIX}/lib")
set(vx_steps
  "systemd-sysusers ${vx_lib}/sysusers.d/vxusbd.conf"
  "systemd-tmpfiles --create ${vx_lib}/tmpfiles.d/vxusbd.conf"
  "udevadm control --reload-rules"
  "udevadm trigger --subsystem-match=usb --action=add"
  "systemctl daemon-reload")
execute_process(COMMAND id -u OUTPUT_VARIABLE vx_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT "$ENV{DESTDIR}" STREQUAL "" OR NOT vx_uid STREQUAL "0" OR NOT CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?/?$")
  list(JOIN vx_steps "\n  " vx_list)
  message(STATUS "vxusbd: to set it up where it is installed, run as root:\n  ${vx_list}")
  return()
endif()
foreach(vx_step IN LISTS vx_steps)
  separate_arguments(vx_cmd UNIX_COMMAND "${vx_step}")
  list(GET vx_cmd 0 vx_tool)
  # udev and systemd only where they run (not in a container or a chroot).
  if((vx_tool STREQUAL "udevadm" AND NOT IS_DIRECTORY /run/udev) OR
     (vx_tool STREQUAL "systemctl" AND NOT IS_DIRECTORY /run/systemd/system))
    continue()
  endif()
  find_program(vx_path_${vx_tool} ${vx_tool})
  if(NOT vx_path_${vx_tool})
    message(WARNING "vxusbd: ${vx_tool} is missing; run '${vx_step}' where it exists")
    continue()
  endif()
  execute_process(COMMAND ${vx_cmd} RESULT_VARIABLE vx_rc)
  if(NOT vx_rc EQUAL 0)
    message(WARNING "vxusbd: '${vx_step}' failed (${vx_rc})")
  endif()
endforeach()
