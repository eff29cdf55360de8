# Run by cpack after it built the packages (CPACK_POST_BUILD_SCRIPTS).
# CPack 3.25 writes the -dbgsym packages' md5sums with the absolute paths of
# its staging folder and gives them no copyright or changelog: rebuild each
# with relative paths and the documentation of the package it belongs to.
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT ddeb MATCHES "\\.ddeb$")
    continue()
  endif()
  execute_process(COMMAND dpkg-deb -f ${ddeb} Package OUTPUT_VARIABLE pkg OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  set(tree ${ddeb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${ddeb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  # As Debian's own: the documentation folder is that of the package it
  # depends on, by a symbolic link.
  string(REGEX REPLACE "-dbgsym$" "" base ${pkg})
  file(MAKE_DIRECTORY ${tree}/usr/share/doc)
  file(CREATE_LINK ${base} ${tree}/usr/share/doc/${pkg} SYMBOLIC)
  file(GLOB_RECURSE debug_files ${tree}/usr/lib/debug/*.debug)
  file(CHMOD ${debug_files} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  execute_process(COMMAND sh -c "find usr -type f | LC_ALL=C sort | xargs -r md5sum > DEBIAN/md5sums"
                  WORKING_DIRECTORY ${tree} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${ddeb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
