// The instrument controls and the lock over the fake transport: each reaches its
// operation once under the per-link lock, passes the status on, hands the
// status byte over only when it was read, and logs entry and result.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_transport.h"
#include "test_support.h"

namespace {

struct ControlRow {
  const char* name;
  std::function<ViStatus(ViInt32 id, ViUInt16* stb)> call;
  const char* operation;  // what the fake records
  std::string entry;      // "@" stands for the linkId, "&" for the stb pointer
  std::string result;     // "%" stands for the status
};

std::string fill(std::string line, ViInt32 id, const ViUInt16* stb, ViStatus status) {
  const std::pair<char, std::string> keys[] = {
      {'@', std::to_string(id)}, {'&', vx_test_ptr(stb)}, {'%', std::to_string(status)}};
  for (const auto& k : keys)
    for (size_t at; (at = line.find(k.first)) != std::string::npos;) line.replace(at, 1, k.second);
  return line;
}

TEST(DeviceControl, EachCallRunsItsOperationUnderTheLockAndPassesTheStatusOn) {
  const ControlRow rows[] = {
      {"vx_comm_readStb", [](ViInt32 id, ViUInt16* stb) { return vx_comm_readStb(id, stb); }, "readStb",
       "vx_comm_readStb(linkId=@, stb=&)", "vx_comm_readStb() returns: status=%, stb="},
      {"vx_comm_trigger", [](ViInt32 id, ViUInt16*) { return vx_comm_trigger(id); }, "trigger",
       "vx_comm_trigger(linkId=@)", "vx_comm_trigger() returns: status=%"},
      {"vx_comm_remote", [](ViInt32 id, ViUInt16*) { return vx_comm_remote(id, VI_GPIB_REN_ASSERT_ADDRESS_LLO); },
       "remote 5", "vx_comm_remote(linkId=@, mode=5)", "vx_comm_remote() returns: status=%"},
      {"vx_comm_lock", [](ViInt32 id, ViUInt16*) { return vx_comm_lock(id, 2500); }, "lock 2500",
       "vx_comm_lock(linkId=@, tmoMs=2500)", "vx_comm_lock() returns: status=%"},
      {"vx_comm_unlock", [](ViInt32 id, ViUInt16*) { return vx_comm_unlock(id); }, "unlock",
       "vx_comm_unlock(linkId=@)", "vx_comm_unlock() returns: status=%"},
  };
  for (const ControlRow& row : rows)
    for (ViStatus status : {VI_SUCCESS, VI_SUCCESS_MAX_CNT, VI_ERROR_NSUP_OPER, VI_ERROR_TMO}) {
      SCOPED_TRACE(std::string(row.name) + " " + std::to_string(status));
      FakeLink fake;
      fake.stb = 0x51;
      fake.controlStatus = status;
      ViInt32 id = fake_attach(&fake, true);
      ASSERT_GT(id, 0);
      TempLog log("control");
      vx_usb_startdebug(log.path.c_str());
      ViUInt16 stb = 77;
      EXPECT_EQ(status, row.call(id, &stb));
      vx_usb_stopdebug();
      EXPECT_EQ(std::vector<std::string>{row.operation}, fake.controls);
      // A status byte that was not read leaves the caller's alone.
      const bool read = status >= VI_SUCCESS && std::string(row.operation) == "readStb";
      EXPECT_EQ(read ? 0x51 : 77, stb);
      std::string result = fill(row.result, id, &stb, status);
      if (std::string(row.operation) == "readStb") result += read ? "81" : "0";
      const std::string p = vx_test_ptr(slot_of(id));
      const std::vector<std::string> want = {fill(row.entry, id, &stb, status),
                                             "vx_comm_lock(" + p + ", " + row.name + ")",
                                             "vx_comm_unlock(" + p + ", " + row.name + ")", result};
      EXPECT_EQ(want, log.lines());
      vx_comm_close(id);
    }
}

}  // namespace
