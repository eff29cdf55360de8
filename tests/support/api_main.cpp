#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "test_support.h"
#include "vx_comm.h"

std::string g_firstLogText;

int main(int argc, char** argv) {
  vx_test_require_isolation();
  // Helper process mode: --hold ADDRESS READY_FILE MS opens the link, writes
  // READY_FILE, keeps the link for MS milliseconds and closes it; exit 0 when
  // the link opened.
  if (argc == 5 && strcmp(argv[1], "--hold") == 0) {
    ViInt32 id = -1;
    vx_comm_open(argv[2], 0, &id);
    if (id < 1) return 3;
    std::ofstream(argv[3]) << "held\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(atoi(argv[4])));
    vx_comm_close(id);
    return 0;
  }
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
