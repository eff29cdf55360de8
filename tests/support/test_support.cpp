#include "test_support.h"

const char* const kVxBanner = "vx_comm_lib call log - 64 bit library";

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

void vx_test_require_isolation() {
  if (!vx_test_isolated()) {
    fprintf(stderr,
            "refusing to run: this suite opens sockets and must run in a private network namespace "
            "with only the loopback interface (use tests/netns_run.sh)\n");
    exit(2);
  }
}

std::vector<std::string> vx_test_addrs() {
  std::vector<std::string> out;
  const char* env = getenv("VX_TEST_ADDRS");
  std::istringstream in(env ? env : "127.0.0.2 127.0.0.3");
  std::string a;
  while (in >> a) out.push_back(a);
  return out;
}

std::string vx_test_temp_dir() {
  const char* candidates[] = {getenv("TMPDIR"), getenv("TEMP"), getenv("TMP")};
  for (const char* c : candidates)
    if (c && *c) return c;
  return "/tmp";
}

TempLog::TempLog(const char* tag) {
  static int serial = 0;
  char name[256];
  snprintf(name, sizeof name, "/vx_test_%s_%d_%d.log", tag, (int)(size_t)this % 100000, ++serial);
  path = vx_test_temp_dir() + name;
  remove(path.c_str());
}

TempLog::~TempLog() { remove(path.c_str()); }

std::string TempLog::text() const {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string s = ss.str(), out;
  for (size_t i = 0; i < s.size(); ++i)
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
  return out;
}

std::vector<std::string> TempLog::lines() const {
  std::vector<std::string> out;
  std::istringstream in(text());
  std::string line;
  while (std::getline(in, line)) {
    if (line == kVxBanner) continue;  // written once per process, whichever test logs first
    // Stamp: digits, '.', three digits, one space.
    size_t dot = line.find('.');
    size_t space = line.find(' ');
    bool stamped = dot != std::string::npos && space == dot + 4 && dot > 0 &&
                   line.find_first_not_of("0123456789") == dot;
    out.push_back(stamped ? line.substr(space + 1) : line);
  }
  return out;
}

std::string vx_test_ptr(const void* p) {
  char buf[64];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}
