# vx_def_names(DEF OUT): the exported names listed in a .def file, in order.
# Shared by the build (the Linux version script) and the export checks, so
# that all three read the export list the same way.
function(vx_def_names def out)
  file(STRINGS ${def} lines)
  set(names "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line MATCHES "^[A-Za-z_][A-Za-z0-9_]*$" AND NOT line STREQUAL "EXPORTS")
      list(APPEND names ${line})
    endif()
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
