// Shared helpers of the test suites.
#ifndef VX_TEST_SUPPORT_H
#define VX_TEST_SUPPORT_H

#include <string>
#include <vector>

// True when the process runs in a private namespace whose only interface is
// the loopback one (checked by the OS's own interface list) and the
// namespace wrapper said so too.
bool vx_test_isolated();

// Aborts the whole run with a clear message unless isolated: the suites
// that open sockets call this before any test runs.
void vx_test_require_isolation();

// The simulated instruments' addresses (VX_TEST_ADDRS, set by the wrapper).
std::vector<std::string> vx_test_addrs();

// Whether USB instruments are reached through the bus service (Linux),
// whose absence a failed USB open names in the call log; Windows has none.
bool vx_test_usb_needs_service();

// A log file of the test's own in the temporary folder, removed on scope
// exit.
struct TempLog {
  std::string path;
  explicit TempLog(const char* tag);
  ~TempLog();
  std::string text() const;  // whole file, CRLF turned into LF
  // The lines without their time stamps and without the banner.
  std::vector<std::string> lines() const;
};

extern const char* const kVxBanner;

// "%p" as this platform's printf writes it.
std::string vx_test_ptr(const void* p);

std::string vx_test_temp_dir();

// Sets an environment variable of this process, seen by every library in
// it (the fixture VISA library reads its table through one).
void vx_test_setenv(const char* name, const std::string& value);

// Runs this test program again with `args` and returns its exit code (-1
// when it could not be started or did not exit normally).
int vx_test_run_self(const std::vector<std::string>& args);

// A USB serial number as the device's path carries it, which is where the
// library takes it from (search entries, the serial an address must match).
// Windows' Plug and Play manager lowercases device interface paths, serial
// included (seen under Wine), so there "USB-" with the serial as the
// instrument knows it does not open a device whose serial has capital
// letters; the search lists the lowercase form.
std::string vx_test_usb_serial(const std::string& serial);

#endif
