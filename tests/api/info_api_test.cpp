// The library's version and status texts, through the exports.
#include <cstring>
#include <string>

#include "api_util.h"

namespace {

TEST(Info, VersionIsTheHeaders) {
  ASSERT_NE(nullptr, vx_comm_version());
  EXPECT_STREQ(VX_COMM_VERSION, vx_comm_version());
}

TEST(Info, StatusDescBoundsAndTexts) {
  const std::string tmo = "Timeout expired before operation completed.";
  struct Row {
    const char* what;
    ViStatus status;
    ViInt32 count;
    ViStatus want;
    std::string text;  // what the buffer holds afterwards
  } rows[] = {
      {"known error", VI_ERROR_TMO, 256, VI_SUCCESS, tmo},
      {"known success", VI_SUCCESS_MAX_CNT, 256, VI_SUCCESS,
       "The number of bytes transferred is equal to the requested input count. More data may be "
       "available."},
      {"passed through from VISA", (ViStatus)0xBFFF003E, 256, VI_SUCCESS,
       "Could not perform operation because of I/O error."},
      {"unknown", (ViStatus)0xBFFF0001, 256, VI_SUCCESS, "unknown status 0xBFFF0001"},
      {"unknown positive", 1, 256, VI_SUCCESS, "unknown status 0x00000001"},
      {"exact fit", VI_ERROR_TMO, (ViInt32)tmo.size() + 1, VI_SUCCESS, tmo},
      {"one short", VI_ERROR_TMO, (ViInt32)tmo.size(), VI_SUCCESS_MAX_CNT, tmo.substr(0, tmo.size() - 1)},
      {"room for the NUL only", VI_ERROR_TMO, 1, VI_SUCCESS_MAX_CNT, ""},
      {"no room", VI_ERROR_TMO, 0, VI_SUCCESS_MAX_CNT, ""},
      {"negative count", VI_ERROR_TMO, -5, VI_SUCCESS_MAX_CNT, ""},
  };
  const std::string untouched(299, 'x');
  for (const Row& row : rows) {
    char buf[300];
    memset(buf, 'x', sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    EXPECT_EQ(row.want, vx_comm_statusDesc(row.status, buf, row.count)) << row.what;
    if (row.count < 1) {
      EXPECT_EQ(untouched, std::string(buf)) << row.what;
      continue;
    }
    EXPECT_EQ(row.text, std::string(buf)) << row.what;
    EXPECT_EQ('x', buf[row.count]) << row.what << ": written past count";
  }
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_statusDesc(VI_ERROR_TMO, nullptr, 256));
}

TEST(Info, NeitherCallWritesToTheCallLog) {
  TempLog log("info");
  vx_usb_startdebug(log.path.c_str());
  char buf[256];
  vx_comm_version();
  vx_comm_statusDesc(VI_ERROR_TMO, buf, sizeof buf);
  vx_comm_clear(0);  // a call that does log, so the file is known to be written
  vx_usb_stopdebug();
  auto lines = log.lines();
  ASSERT_EQ(1u, lines.size()) << log.text();
  EXPECT_EQ(0u, lines[0].find("vx_comm_clear("));
}

}  // namespace
