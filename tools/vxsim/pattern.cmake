# Header-only target for the test data pattern and checksum (pattern.h).
# Included on every platform, including Windows cross builds, because the
# library tests link it even where vxsim itself is not built.
if(NOT TARGET vxsim_pattern)
  add_library(vxsim_pattern INTERFACE)
  target_include_directories(vxsim_pattern INTERFACE "${CMAKE_CURRENT_LIST_DIR}")
  target_compile_features(vxsim_pattern INTERFACE cxx_std_17)
endif()
