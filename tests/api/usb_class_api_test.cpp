// Other makers' USB instruments opened by their VISA names without a VISA
// library, end to end against the simulator's class devices (the
// usb_class_api test starts them; see tests/CMakeLists.txt): queries,
// blocks as one message, the USB488 controls, the clear after a timeout,
// and the USBTMC search.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api_util.h"

namespace {

const char k488[] = "USB0::0x2A8D::0x0396::CLASS488::INSTR";
const char kTmc[] = "USB0::0x0957::0x1798::CLASSTMC::INSTR";   // USBTMC only
const char kNoIntr[] = "USB0::0xF4EC::0xEE38::CLASSNOINTR::INSTR";  // USB488 without interrupt, trigger, REN
const char kRigol[] = "USB0::0x1AB1::0x0588::RIGOL::INSTR";
const char kNoEom[] = "USB0::0xF4EC::0x1301::NOEOM::INSTR";
const char kNoPad[] = "USB0::0x05E6::0x2450::NOPAD::INSTR";
const char kComposite[] = "USB0::0x0699::0x0368::COMPOSITE::2::INSTR";
const char kOwn[] = "USB0::0x03EB::0xAFFF::000000000000000OWN::INSTR";

std::string last_error() {
  char text[1024] = {};
  vx_comm_lastError(text, sizeof text);
  return text;
}

struct UsbClass : ::testing::Test {
  ViInt32 id = -1;
  void open(const std::string& name) {
    if (id > 0) vx_comm_close(id);
    id = -7;
    ASSERT_EQ(VI_SUCCESS, vx_comm_open(name.c_str(), 1000, &id));
    ASSERT_GT(id, 0) << name << ": " << last_error();
  }
  void TearDown() override {
    if (id > 0) vx_comm_close(id);
  }
};

TEST_F(UsbClass, NamesOpenTheirInterfaceAndAnswerQueries) {
  struct Row {
    const char* name;
    const char* idnStart;
  } rows[] = {
      {k488, "KEYSIGHT TECHNOLOGIES,DSOX1204G,CLASS488,"},
      {"usb0::10893::918::class488::instr", "KEYSIGHT TECHNOLOGIES,DSOX1204G,CLASS488,"},  // decimal ids, any case
      {kTmc, "Agilent,DSO-X,CLASSTMC,"},
      {kRigol, ""},
      {kNoEom, ""},
      {kNoPad, ""},
      {kComposite, "TEKTRONIX,TBS 1052B,COMPOSITE,"},
      {"USB0::0x0699::0x0368::COMPOSITE::INSTR", "TEKTRONIX,TBS 1052B,COMPOSITE,"},  // its lowest interface
      {kOwn, ""},  // the maker's own device, by its VISA name
      {"USB0::0x2A8D::0x0396::CLEARREAD::INSTR", ""},  // its clear needs bulk in read
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    open(row.name);
    // Twice: a device that takes padding as data fails the second.
    for (int i = 0; i < 2; ++i) {
      std::string idn = query(id, "*IDN?");
      ASSERT_FALSE(idn.empty()) << last_error();
      EXPECT_EQ(row.idnStart, idn.substr(0, strlen(row.idnStart)));
      EXPECT_EQ('\n', idn.back());
    }
  }
}

TEST_F(UsbClass, AbsentInstrumentsFailWithALineSayingSo) {
  const char* names[] = {"USB0::0x1AB1::0x04CE::NOSUCH::INSTR", "USB0::0x0699::0x0368::COMPOSITE::0::INSTR"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    ViInt32 link = -7;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(name, 1000, &link));
    EXPECT_EQ(-1, link);
    EXPECT_NE(std::string::npos, last_error().find("no USB instrument with vendor 0x")) << last_error();
  }
}

TEST_F(UsbClass, AnInstrumentInUseSaysSo) {
  open(k488);
  ViInt32 second = -7;
  EXPECT_EQ(VI_SUCCESS, vx_comm_open(k488, 1000, &second));
  EXPECT_EQ(-1, second);
  EXPECT_NE(std::string::npos, last_error().find("is in use by another link or program")) << last_error();
}

TEST_F(UsbClass, AMebibyteBlockGoesEachWayAsOneMessage) {
  const size_t size = 1 << 20;
  const std::string data = pattern(size);
  for (const char* name : {k488, kRigol, kNoEom, kComposite}) {
    SCOPED_TRACE(name);
    open(name);
    const unsigned long before = std::stoul(query(id, "ENDCOUNT?"));
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", data.data(), (ViInt32)size));
    char line[128];
    ViInt32 n = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, line, sizeof line, &n));
    EXPECT_EQ(upload_reply(size), std::string(line, (size_t)n));
    // The upload and this query: one message each.
    EXPECT_EQ(before + 2, std::stoul(query(id, "ENDCOUNT?")));

    // A file upload too.
    const std::string file = vx_test_temp_dir() + "/vx_usbclass_upload.bin";
    FILE* f = fopen(file.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(size, fwrite(data.data(), 1, size, f));
    fclose(f);
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockFile(id, "UPLOAD", file.c_str()));
    remove(file.c_str());
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, line, sizeof line, &n));
    EXPECT_EQ(upload_reply(size), std::string(line, (size_t)n));
    EXPECT_EQ(before + 4, std::stoul(query(id, "ENDCOUNT?")));

    std::vector<char> back(size);
    ViInt32 got = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_readBlock(id, ("BLOCK? " + std::to_string(size)).c_str(), back.data(),
                                            (ViInt32)size, &got));
    ASSERT_EQ((ViInt32)size, got);
    EXPECT_TRUE(memcmp(back.data(), data.data(), size) == 0);
    EXPECT_FALSE(query(id, "*IDN?").empty());  // in step after the block
  }
}

TEST_F(UsbClass, Usb488ControlsWhereTheCapabilitiesOfferThem) {
  struct Row {
    const char* name;
    bool stb, trigger, remote, srq;
  } rows[] = {
      {k488, true, true, true, true},
      {kNoIntr, true, false, false, false},
      {kTmc, false, false, false, false},
      {kOwn, false, false, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    open(row.name);
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "STB 66", 0, nullptr));
    ASSERT_EQ("66\n", query(id, "*STB?"));  // taken before the polls
    for (int i = 0; i < 3; ++i) {  // tags move on; each answer is its own
      ViUInt16 stb = 0;
      ASSERT_EQ(row.stb ? VI_SUCCESS : VI_ERROR_NSUP_OPER, vx_comm_readStb(id, &stb));
      if (row.stb) {
        EXPECT_EQ(i == 0 ? 66 : 2, stb);  // a poll withdraws the request (RQS, 64) it reports
      }
    }
    const std::string before = query(id, "TRIGCOUNT?");
    EXPECT_EQ(row.trigger ? VI_SUCCESS : VI_ERROR_NSUP_OPER, vx_comm_trigger(id));
    if (row.trigger) {
      EXPECT_EQ(std::to_string(std::stoul(before) + 1) + "\n", query(id, "TRIGCOUNT?"));
    }
    EXPECT_EQ(row.remote ? VI_SUCCESS : VI_ERROR_NSUP_OPER, vx_comm_remote(id, VI_GPIB_REN_ASSERT_ADDRESS_LLO));
    // Service requests come through the interrupt-IN endpoint of USB488.
    EXPECT_EQ(row.srq ? VI_SUCCESS : VI_ERROR_NSUP_OPER, vx_comm_enableSrq(id, 1));
  }
}

TEST_F(UsbClass, RenModesMapToUsb488Requests) {
  open(k488);
  // RENSTATE? answers ren, remote, lockout, returns to local; the query
  // itself, sent with REN asserted, makes the device remote. The modes
  // with GO_TO_LOCAL count a return to local.
  struct Row {
    ViUInt16 mode;
    const char* state;
    bool local;
  } rows[] = {
      {VI_GPIB_REN_DEASSERT_GTL, "0,0,0", true},   {VI_GPIB_REN_ASSERT, "1,1,0", false},
      {VI_GPIB_REN_ASSERT_LLO, "1,1,1", false},    {VI_GPIB_REN_ADDRESS_GTL, "1,1,1", true},
      {VI_GPIB_REN_DEASSERT_GTL, "0,0,0", true},   {VI_GPIB_REN_ASSERT_ADDRESS, "1,1,0", false},
      {VI_GPIB_REN_DEASSERT, "0,0,0", false},      {VI_GPIB_REN_ASSERT_ADDRESS_LLO, "1,1,1", false},
  };
  unsigned long returns = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    ASSERT_EQ(VI_SUCCESS, vx_comm_remote(id, row.mode));
    const std::string state = query(id, "RENSTATE?");
    ASSERT_GT(state.size(), 6u);
    EXPECT_EQ(row.state, state.substr(0, 5));
    const unsigned long now = std::stoul(state.substr(6));
    if (&row != rows && row.local) {
      EXPECT_GT(now, returns);
    }
    returns = now;
  }
}

// The late reply is in the device's output by the time of the clear, which
// drops it.
TEST_F(UsbClass, AClearAfterATimedOutReadPutsTheNextQueryInStep) {
  for (const char* name : {k488, kNoIntr}) {
    SCOPED_TRACE(name);
    open(name);
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 200));
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "DELAY 600 TRIGCOUNT?", 0, nullptr));
    char buf[64];
    ViInt32 n = 0;
    EXPECT_EQ(VI_ERROR_TMO, vx_comm_gets(id, buf, sizeof buf, &n));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_EQ(VI_SUCCESS, vx_comm_clear(id));
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 2000));
    // Not the late count: the identification.
    ViStatus status = 0;
    EXPECT_NE(std::string::npos, query(id, "*IDN?", &status).find(',')) << status << " " << last_error();
    EXPECT_NE(std::string::npos, query(id, "*IDN?").find(','));
  }
}

TEST(UsbClassFind, ListsEveryMakersInterfacesOnceBesideTheUsbSearch) {
  std::vector<char> list(16384, '@');
  ViInt32 n = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(list.data(), 2000, (ViInt32)list.size(), &n, IFACE_USBTMC));
  std::string all(list.data());
  EXPECT_EQ((ViInt32)all.size(), n);
  for (const char* entry : {"DSOX1204G:CLASS488:USB0::0x2A8D::0x0396::CLASS488::INSTR;",
                            "TBS 1052B:COMPOSITE:USB0::0x0699::0x0368::COMPOSITE::2::INSTR;",
                            "DSO-X:CLASSTMC:USB0::0x0957::0x1798::CLASSTMC::INSTR;",
                            ":USB0::0x03EB::0xAFFF::000000000000000OWN::INSTR;"})
    EXPECT_NE(std::string::npos, all.find(entry)) << entry << " in " << all;
  // In the bus's order, whichever probe ends first: a list cut short keeps
  // the same instruments each time.
  size_t at = 0;
  for (const char* serial : {"::CLASS488::", "::CLASSTMC::", "::CLASSNOINTR::", "::RIGOL::", "::NOEOM::", "::NOPAD::",
                             "::COMPOSITE::", "::CLEARREAD::", "::000000000000000OWN::"}) {
    size_t here = all.find(serial);
    EXPECT_TRUE(here != std::string::npos && here >= at) << serial << " in " << all;
    if (here != std::string::npos) at = here;
  }

  n = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(list.data(), 2000, (ViInt32)list.size(), &n, IFACE_USBTMC | IFACE_USB));
  all = list.data();
  EXPECT_EQ(std::string::npos, all.find("USB0::0x03EB::0xAFFF::")) << all;
  EXPECT_NE(std::string::npos, all.find(":USB-000000000000000OWN;")) << all;
  EXPECT_NE(std::string::npos, all.find("::CLASS488::INSTR;")) << all;
}

}  // namespace
