// The HiSLIP link's reader over a server from memory that never runs dry:
// whatever keeps coming, a read ends at its deadline.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "transport/hislip/hislip_link.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kReplyId = 0xFFFFFF02u;
// The server's own end, long after any sound read ended: its receive then
// reports a lost connection.
const auto kServerEnd = std::chrono::milliseconds(2000);

struct Endless {
  std::string cycle;  // repeated without end
  size_t at = 0;
  Clock::time_point until;
};
Endless g_endless;

ViStatus endless_receive(HislipLink* l, HislipChannel*, uint8_t* p, size_t n, const HislipDeadline&, bool,
                         size_t* got) {
  *got = 0;
  if (Clock::now() >= g_endless.until) {
    l->dead = true;
    return VI_ERROR_CONN_LOST;
  }
  while (*got < n) {
    size_t k = std::min(n - *got, g_endless.cycle.size() - g_endless.at);
    memcpy(p + *got, g_endless.cycle.data() + g_endless.at, k);
    *got += k;
    g_endless.at = (g_endless.at + k) % g_endless.cycle.size();
  }
  return VI_SUCCESS;
}

std::string message(uint8_t type, uint32_t id, size_t length) {
  uint8_t h[VX_HISLIP_HEADER_SIZE];
  vx_hislip_encode(h, type, 0, id, length);
  return std::string((const char*)h, sizeof h) + std::string(length, 'x');
}

TEST(HislipLink, AReadEndsAtItsDeadlineWhileMessagesKeepComing) {
  struct Row {
    const char* what;
    std::string cycle;
  };
  const Row rows[] = {
      {"empty Data of the reply read", message(HISLIP_DATA, kReplyId, 0)},
      {"Data of an earlier message, dropped", message(HISLIP_DATA, kReplyId - 2, 3000)},
      {"Interrupted", message(HISLIP_INTERRUPTED, kReplyId, 0)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    HislipLink* l = vx_hislip_new_link();
    ASSERT_NE(nullptr, l);
    l->receive = endless_receive;
    l->timeoutMs = 50;
    l->sentAny = true;
    l->lastId = kReplyId;
    l->nextId = kReplyId + 2;
    g_endless.cycle = row.cycle;
    g_endless.at = 0;
    g_endless.until = Clock::now() + kServerEnd;
    uint8_t buf[64];
    size_t moved = 0;
    EXPECT_EQ(VI_ERROR_TMO, vx_hislip_read(l, buf, sizeof buf, &moved));
    EXPECT_EQ(0u, moved);
    EXPECT_LT(Clock::now(), g_endless.until) << "the read went on until the server ended";
    vx_hislip_free_link(l);
  }
}

}  // namespace
