#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "vx_comm.h"

std::string g_firstLogText;

int main(int argc, char** argv) {
  vx_test_require_isolation();
  // The banner belongs to the first message of the process, so capture it
  // here, before any test can log.
  {
    TempLog first("first");
    vx_usb_startdebug(first.path.c_str());
    vx_comm_clear(0);
    vx_comm_clear(0);
    vx_usb_stopdebug();
    g_firstLogText = first.text();
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
