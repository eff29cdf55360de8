#include <gtest/gtest.h>

#include <cstring>

#include "platform/attach.h"
#include "platform/named_mutex.h"
#include "test_support.h"

// The internal code is linked statically here, so nothing attaches it the
// way loading the library does.
int main(int argc, char** argv) {
  // Child mode of the reservation tests: claim the name given, then exit
  // 0 when it was free and 3 when it was held.
  if (argc == 3 && strcmp(argv[1], "--claim") == 0) {
    vxp_named_mutex* m = vxp_named_mutex_claim(argv[2]);
    vxp_named_mutex_release(m);
    return m ? 0 : 3;
  }
  vx_test_require_isolation();
  vx_lib_attach();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
