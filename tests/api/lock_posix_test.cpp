// A lock whose holder dies: the server gives it back when the holder's
// connection ends, as when the process is killed (run by the vxi11_api
// test, as lock_api_test.cpp).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "api_util.h"

TEST(Lock, KilledHoldersLockIsReleased) {
  if (std::getenv("VX_VXI11_SUITE") == nullptr) GTEST_SKIP() << "run by the vxi11_api test (its instruments)";
  for (const char* address : {"TCPIP0::127.0.0.2::inst0::INSTR", "TCPIP0::127.0.0.2::hislip0::INSTR"}) {
    SCOPED_TRACE(address);
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The holder: takes the lock, says so, and waits to be killed.
      ViInt32 id = -1;
      char ok = vx_comm_open(address, 1000, &id) == VI_SUCCESS && vx_comm_lock(id, 0) == VI_SUCCESS ? '1' : '0';
      if (write(ready[1], &ok, 1) != 1) _exit(2);
      for (int i = 0; i < 300; ++i) sleep(1);  // bounded: killed long before
      _exit(0);
    }
    close(ready[1]);
    char ok = 0;
    EXPECT_EQ(1, read(ready[0], &ok, 1));
    close(ready[0]);
    ViInt32 id = open_link(address);
    if (ok == '1') {
      EXPECT_EQ(VI_ERROR_RSRC_LOCKED, vx_comm_lock(id, 0));
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ('1', ok);
    EXPECT_EQ(VI_SUCCESS, vx_comm_lock(id, 3000));
    vx_comm_close(id);
  }
}
