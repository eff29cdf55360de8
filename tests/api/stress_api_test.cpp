// Many threads and many links at once, and calls racing the calls that end
// them, over TCP and direct USB (the stress_api test starts 100 simulated
// USB instruments). Every loop is bounded in count; every call must come
// back with one of the library's statuses. Run under TSan in CI.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api_util.h"
#include "pattern.h"
#include "stress_util.h"

namespace {

std::string printable(const std::string& s) {
  std::string out;
  char hex[8];
  for (unsigned char c : s) {
    if (c >= 32 && c < 127)
      out += (char)c;
    else {
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// Every thread works on links of its own: kThreads * kLinksPerThread = 100
// fills the whole table.
const int kThreads = 4;
const int kLinksPerThread = 25;
const int kRounds = 2;
const int kBlock = 3000;

struct ManyLinks : ::testing::TestWithParam<Route> {};

TEST_P(ManyLinks, HundredLinksOpenQueryReadBlocksAndCloseAcrossThreads) {
  Route route = GetParam();
  std::atomic<int> faults{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t)
    pool.emplace_back([&, t] {
      std::vector<uint8_t> buf(kBlock);
      for (int round = 0; round < kRounds; ++round) {
        std::vector<ViInt32> ids;
        for (int k = 0; k < kLinksPerThread; ++k) {
          ViInt32 id = -1;
          vx_comm_open(route_address(route, t * kLinksPerThread + k).c_str(), 0, &id);
          if (id < 1) {
            ADD_FAILURE() << "open " << route_address(route, t * kLinksPerThread + k) << " failed";
            faults++;
            continue;
          }
          ids.push_back(id);
        }
        for (ViInt32 id : ids) {
          std::string tag = "t" + std::to_string(t) + "l" + std::to_string(id) + "r" + std::to_string(round);
          ViStatus s = VI_SUCCESS;
          std::string reply = query(id, "ECHO " + tag, &s);
          if (reply != tag + "\n") {
            ADD_FAILURE() << "link " << id << ": '" << reply << "' status " << s;
            faults++;
          }
          ViInt32 got = 0;
          s = vx_comm_readBlock(id, ("BLOCK? " + std::to_string(kBlock)).c_str(), buf.data(), kBlock, &got);
          if (s != VI_SUCCESS || got != kBlock || !is_pattern(buf.data(), kBlock)) {
            ADD_FAILURE() << "link " << id << ": block status " << s << ", " << got << " bytes";
            faults++;
          }
        }
        for (ViInt32 id : ids) EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
      }
    });
  for (auto& th : pool) th.join();
  EXPECT_EQ(0, faults.load());
  expect_table_empty();
}

INSTANTIATE_TEST_SUITE_P(Stress, ManyLinks, ::testing::Values(Route::Tcp, Route::Usb), route_name);

// One call of every kind, as a host would make it; each runs in a loop on
// two threads until a close from a third ends the link.
struct Call {
  const char* what;
  std::function<ViStatus(ViInt32, std::vector<uint8_t>&)> run;
};

std::string temp_file(const char* tag) {
  static std::atomic<int> n{0};
  return vx_test_temp_dir() + "/vx_stress_" + tag + std::to_string(n++) + ".bin";
}

const Call kCalls[] = {
    {"query",
     [](ViInt32 id, std::vector<uint8_t>&) {
       ViStatus s = VI_SUCCESS;
       query(id, "ECHO abc", &s);
       return s;
     }},
    {"write and read",
     [](ViInt32 id, std::vector<uint8_t>& b) {
       ViInt32 n = 0;
       ViStatus s = vx_comm_write(id, "STREAM? 100\n", 12, &n);
       return s != VI_SUCCESS ? s : vx_comm_read(id, b.data(), 100, &n);
     }},
    {"blocking write and read",
     [](ViInt32 id, std::vector<uint8_t>& b) {
       ViInt32 n = 0;
       ViStatus s = vx_comm_writeBlocking(id, "STREAM? 2000\n", 13, &n);
       return s != VI_SUCCESS ? s : vx_comm_readBlocking(id, b.data(), 2000, &n);
     }},
    {"block read in pieces",
     [](ViInt32 id, std::vector<uint8_t>& b) {
       ViInt32 n = 0;
       ViStatus s;
       int passes = 0;
       do s = vx_comm_readBlock(id, "BLOCK? 5000", b.data(), 700, &n);
       while (s == VI_SUCCESS_MAX_CNT && ++passes < 20);
       return s;
     }},
    {"block size then data",
     [](ViInt32 id, std::vector<uint8_t>& b) {
       ViInt32 size = 0, n = 0;
       ViStatus s = vx_comm_readBlockSize(id, "BLOCK? 1000 bin", &size);
       return s != VI_SUCCESS ? s : vx_comm_readBlockData(id, b.data(), (ViInt32)b.size(), &n);
     }},
    {"unlocked block read",
     [](ViInt32 id, std::vector<uint8_t>& b) {
       ViInt32 n = 0;
       return vx_comm_readBlock_async(id, "BLOCK? 100", b.data(), (ViInt32)b.size(), &n);
     }},
    {"block write",
     [](ViInt32 id, std::vector<uint8_t>& b) { return vx_comm_writeBlock(id, "UPLOAD", b.data(), 1000); }},
    {"block write of a header only",
     [](ViInt32 id, std::vector<uint8_t>& b) {
       ViStatus s = vx_comm_writeBlockSize(id, "UPLOAD", 10);
       ViInt32 n = 0;
       return s != VI_SUCCESS ? s : vx_comm_writeBlocking(id, b.data(), 10, &n);
     }},
    {"block file both ways",
     [](ViInt32 id, std::vector<uint8_t>&) {
       std::string f = temp_file("file");
       ViStatus s = vx_comm_readBlockFile(id, "BLOCK? 3000", f.c_str());
       if (s == VI_SUCCESS) s = vx_comm_writeBlockFile(id, "UPLOAD", f.c_str());
       remove(f.c_str());
       return s;
     }},
    {"clear", [](ViInt32 id, std::vector<uint8_t>&) { return vx_comm_clear(id); }},
    {"unlocked clear", [](ViInt32 id, std::vector<uint8_t>&) { return vx_comm_clear_async(id); }},
    {"timeout", [](ViInt32 id, std::vector<uint8_t>&) { return vx_comm_setTmoMs(id, 500); }},
};

struct CloseRace : ::testing::TestWithParam<Route> {};

TEST_P(CloseRace, CloseRacingEveryKindOfCall) {
  Route route = GetParam();
  std::mt19937 rng(7);
  const int kRepeats = 3;
  for (const Call& c : kCalls)
    for (int rep = 0; rep < kRepeats; ++rep) {
      SCOPED_TRACE(c.what);
      ViInt32 id = open_link(route_address(route, rep));
      ASSERT_GT(id, 0);
      std::atomic<bool> closed{false};
      std::vector<std::future<std::vector<ViStatus>>> callers;
      for (int t = 0; t < 2; ++t)
        callers.push_back(std::async(std::launch::async, [&] {
          std::vector<uint8_t> buf(8192);
          std::vector<ViStatus> seen;
          // Until a call begun after the close has seen the link gone.
          auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
          while (std::chrono::steady_clock::now() < until) {
            bool after = closed.load();
            ViStatus s = c.run(id, buf);
            seen.push_back(s);
            if (after && s == VI_ERROR_CONN_LOST) break;
          }
          return seen;
        }));
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 25));
      EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
      closed = true;
      for (auto& f : callers) {
        ASSERT_EQ(std::future_status::ready, f.wait_for(std::chrono::seconds(20))) << "a call hung";
        std::vector<ViStatus> seen = f.get();
        for (ViStatus s : seen) EXPECT_TRUE(is_library_status(s)) << s;
        EXPECT_EQ(VI_ERROR_CONN_LOST, seen.back());
      }
    }
  expect_table_empty();
}

INSTANTIATE_TEST_SUITE_P(Stress, CloseRace, ::testing::Values(Route::Tcp, Route::Usb), route_name);

// Two finds and a stream of opens at once: a find that begins while a link
// is open is refused and leaves the caller's buffer alone; one that runs
// lists whole entries; the opens are served throughout.
struct FindRace : ::testing::TestWithParam<Route> {};

TEST_P(FindRace, TwoFindsAndOpensRace) {
  Route route = GetParam();
  ViInt32 iface = route == Route::Tcp ? IFACE_LAN : IFACE_USB;
  std::atomic<int> refused{0}, ran{0}, opened{0};
  std::vector<std::thread> pool;
  for (int f = 0; f < 2; ++f)
    pool.emplace_back([&] {
      for (int i = 0; i < 8; ++i) {
        std::vector<char> list(8192, '@');
        ViInt32 n = -5;
        ViStatus s = vx_comm_find(list.data(), 30, (ViInt32)list.size(), &n, iface);
        EXPECT_TRUE(s == VI_SUCCESS || s == VI_SUCCESS_MAX_CNT) << s;
        if (n == -5) {
          EXPECT_EQ('@', list[0]);  // refused: nothing written
          refused++;
          continue;
        }
        ran++;
        std::string text(list.data());
        EXPECT_EQ((size_t)n, text.size());
        EXPECT_TRUE(text.empty() || text.back() == ';') << text;
      }
    });
  for (int o = 0; o < 2; ++o)
    pool.emplace_back([&, o] {
      for (int i = 0; i < 15; ++i) {
        ViInt32 id = -1;
        // USB: devices past the 64 that a search probes, so no probe holds them.
        EXPECT_EQ(VI_SUCCESS, vx_comm_open(route_address(route, route == Route::Usb ? 80 + o : o).c_str(), 0, &id));
        if (id < 1) {
          ADD_FAILURE() << "open failed";
          continue;
        }
        opened++;
        ViStatus s = VI_SUCCESS;
        EXPECT_EQ("x\n", query(id, "ECHO x", &s)) << s;
        vx_comm_close(id);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  for (auto& th : pool) th.join();
  EXPECT_EQ(16, refused + ran);
  EXPECT_EQ(30, opened.load());
  expect_table_empty();
}

INSTANTIATE_TEST_SUITE_P(Stress, FindRace, ::testing::Values(Route::Tcp, Route::Usb), route_name);

// The unlocked clear on one USB device while another thread's queries run
// on it: either side may fail, a reply that arrives is whole and one that
// was asked for, and the link answers normally afterwards.
TEST(UsbStress, UnlockedClearRacesTransfersOnTheSameDevice) {
  ViInt32 id = open_link(route_address(Route::Usb, 0));
  ASSERT_GT(id, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 300));
  std::atomic<bool> done{false};
  std::thread clearer([&] {
    while (!done) {
      ViStatus s = vx_comm_clear_async(id);
      EXPECT_TRUE(is_library_status(s)) << s;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int answered = 0;
  std::set<std::string> asked;
  for (int i = 0; i < 150; ++i) {
    std::string tag = "q" + std::to_string(i);
    asked.insert(tag + "\n");
    ViStatus s = VI_SUCCESS;
    std::string reply = query(id, "ECHO " + tag, &s);
    EXPECT_TRUE(is_library_status(s)) << s;
    if (s == VI_SUCCESS) {
      EXPECT_TRUE(asked.count(reply)) << "'" << printable(reply) << "' was never asked for";
      answered++;
    }
  }
  done = true;
  clearer.join();
  EXPECT_GT(answered, 0);
  EXPECT_EQ(VI_SUCCESS, vx_comm_clear(id));
  EXPECT_EQ("after\n", query(id, "ECHO after"));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// Loading and freeing the VISA library while other threads open VISA links,
// query through them and search: every call fails cleanly or works, and
// nothing reaches a library that is gone (ASan would see it).
TEST(Stress, VisaLoadAndFreeRaceCallsAndASearch) {
  const std::string table = vx_test_temp_dir() + "/vx_stress_visa.txt";
  {
    std::ofstream out(table, std::ios::binary);
    out << "USB0::0x03EB::0xAFFF::4711::INSTR idn Vextron AG,VX-1,4711,1.0\n";
  }
  vx_test_setenv("VXVISA_TABLE", table);
  const std::string address = "TCPIP0::" + sim_addr(0) + "::18::SOCKET";
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::thread loader([&] {
    for (int i = 0; i < 60; ++i) {
      ViStatus s = vx_comm_loadVisa();
      EXPECT_TRUE(is_library_status(s)) << s;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      vx_comm_freeVisa();
    }
    done = true;
  });
  std::vector<std::thread> users;
  for (int u = 0; u < 2; ++u)
    users.emplace_back([&] {
      while (!done) {
        ViInt32 id = -1;
        EXPECT_EQ(VI_SUCCESS, vx_comm_open(address.c_str(), 0, &id));
        if (id < 1) continue;
        ViStatus s = VI_SUCCESS;
        std::string reply = query(id, "ECHO v", &s);
        EXPECT_TRUE(is_library_status(s) || s < 0) << s;  // VISA statuses pass through
        if (s == VI_SUCCESS) {
          EXPECT_EQ("v\n", reply);
          answered++;
        }
        EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
      }
    });
  std::thread searcher([&] {
    while (!done) {
      char list[2048] = "@";
      ViInt32 n = -5;
      ViStatus s = vx_comm_find(list, 200, sizeof list, &n, IFACE_VISA);
      EXPECT_TRUE(s == VI_SUCCESS || s == VI_SUCCESS_MAX_CNT) << s;
      if (n >= 0) {
        EXPECT_TRUE(n == 0 || list[n - 1] == ';') << list;
      }
    }
  });
  loader.join();
  for (auto& th : users) th.join();
  searcher.join();
  vx_comm_freeVisa();
  remove(table.c_str());
  expect_table_empty();
}

}  // namespace
