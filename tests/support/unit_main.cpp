#include <gtest/gtest.h>

#include "platform/platform.h"
#include "test_support.h"

// The internal code is linked statically here, so nothing attaches it the
// way loading the library does.
int main(int argc, char** argv) {
  vx_test_require_isolation();
  vx_lib_attach();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
