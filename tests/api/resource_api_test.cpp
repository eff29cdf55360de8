// VISA resource names the library serves itself, and the instrument
// controls on the routes that have none: with no VISA library loaded a
// SOCKET name opens a raw TCP link and a TCPIP INSTR name a VXI-11 link
// (tested further in vxi11_api_test.cpp), a name the library does not serve fails
// with one line that says why, and raw TCP links answer the controls with
// VI_ERROR_NSUP_OPER. (VISA links: visa_api_test.cpp.)
#include <functional>
#include <string>
#include <vector>

#include "api_util.h"

namespace {

const char kRefused[] =
    "vx_comm_open() error: no usable VISA library is loaded, and the library does not serve this name itself: ";

// "127.0.0.2" as "127.000.000.002".
std::string zero_padded(const std::string& ip) {
  std::string out, part;
  for (size_t i = 0; i <= ip.size(); ++i) {
    if (i < ip.size() && ip[i] != '.') {
      part += ip[i];
      continue;
    }
    out += std::string(3 - part.size(), '0') + part + (i < ip.size() ? "." : "");
    part.clear();
  }
  return out;
}

const char kFirstIdn[] = "VXSIM,MODEL-100,SNVX0000000000000000,1.0\n";

TEST(NativeNames, SocketAndInstrNamesOpenWithoutAVisaLibrary) {
  vx_comm_freeVisa();
  struct Row {
    std::string name;
    ViStatus stb;  // raw TCP has no status byte, VXI-11 has
  };
  const Row rows[] = {
      {"TCPIP0::" + sim_addr(0) + "::18::SOCKET", VI_ERROR_NSUP_OPER},
      {"tcpip::" + zero_padded(sim_addr(0)) + "::00018::socket", VI_ERROR_NSUP_OPER},
      {"TCPIP12::" + sim_addr(0) + "::5025::SOCKET", VI_ERROR_NSUP_OPER},
      {"TCPIP0::" + sim_addr(0) + "::INSTR", VI_SUCCESS},
      {"tcpip::" + zero_padded(sim_addr(0)) + "::INST0::instr", VI_SUCCESS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempLog log("native");
    vx_usb_startdebug(log.path.c_str());
    ViInt32 id = open_link(row.name);
    vx_usb_stopdebug();
    ASSERT_GT(id, 0);
    EXPECT_EQ((std::vector<std::string>{"vx_comm_open(address=" + row.name + ", tmoMs=1000)",
                                        "vx_comm_open() returns: linkId=" + std::to_string(id)}),
              log.lines());
    EXPECT_EQ(kFirstIdn, query(id, "*IDN?"));
    ViUInt16 stb = 77;
    EXPECT_EQ(row.stb, vx_comm_readStb(id, &stb));
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

TEST(NativeNames, NamesTheLibraryDoesNotServeFailWithOneLineSayingWhy) {
  vx_comm_freeVisa();
  const std::string sim = sim_addr(0);
  struct Row {
    std::string name;
    std::string why;  // the refusal's reason, or a whole line of the transport
  };
  const Row rows[] = {
#ifdef _WIN32
      // Windows: other makers' USB instruments are reached through VISA only.
      {"USB0::0x03EB::0xAFFF::SNVX0000000000000001::INSTR",
       std::string(kRefused) +
           "USB resource names need a VISA library (\"USB-\" and the serial number opens a direct USB link)"},
#endif
      {"GPIB0::5::INSTR", std::string(kRefused) + "not a TCPIP or USB resource name"},
      {"TCPIP0::" + sim + "::0::SOCKET", std::string(kRefused) + "the port is not a number of 1 to 65535"},
      {"TCPIP0::127.2::18::SOCKET",
       std::string(kRefused) + "the host is not a dotted IPv4 address (four decimal numbers of 0 to 255)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempLog log("refused");
    vx_usb_startdebug(log.path.c_str());
    ViInt32 id = -7;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(row.name.c_str(), 1000, &id));
    vx_usb_stopdebug();
    EXPECT_EQ(-1, id);
    EXPECT_EQ((std::vector<std::string>{"vx_comm_open(address=" + row.name + ", tmoMs=1000)", row.why,
                                        "vx_comm_open() error: failed opening a physical link",
                                        "vx_comm_open() returns: linkId=-1"}),
              log.lines());
  }
}

// A name nobody knows: the answer, or the lack of one within the open's
// wait (in the test namespace the resolver may wait for a name server it
// cannot reach), is logged; the open is not held up past that wait.
TEST(NativeNames, AHostNameWithoutAnAddressFailsWithinTheOpensWait) {
  vx_comm_freeVisa();
  const std::string name = "TCPIP0::no-such-host.invalid::18::SOCKET";
  TempLog log("unknown");
  vx_usb_startdebug(log.path.c_str());
  ViInt32 id = -7;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_SUCCESS, vx_comm_open(name.c_str(), 100, &id));
  EXPECT_LT(elapsed_ms(start), 3000.0 + 2000.0);
  vx_usb_stopdebug();
  EXPECT_EQ(-1, id);
  const std::vector<std::string> lines = log.lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_TRUE(lines[1] == "vx_comm_open() error: host name 'no-such-host.invalid' has no IPv4 or IPv6 address" ||
              lines[1] == "vx_comm_open() error: no address for host name 'no-such-host.invalid' within 3000 ms")
      << lines[1];
}

// Run by the native_host test, whose simulator also answers on 127.0.0.1.
TEST(NativeHost, HostNamesAreLookedUp) {
  for (const char* name : {"TCPIP0::localhost::18::SOCKET", "TCPIP0::localhost::inst0::INSTR"}) {
    SCOPED_TRACE(name);
    ViInt32 id = open_link(name);
    ASSERT_GT(id, 0);
    EXPECT_EQ(0u, query(id, "*IDN?").find("VXSIM,MODEL-10"));
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

TEST(Controls, RawTcpLinksAnswerNotSupportedAndStayUsable) {
  vx_comm_freeVisa();
  const std::string addresses[] = {"TCP-" + sim_addr(0), sim_addr(0), "TCPIP0::" + sim_addr(0) + "::18::SOCKET"};
  const std::vector<std::function<ViStatus(ViInt32, ViUInt16*)>> controls = {
      [](ViInt32 id, ViUInt16* stb) { return vx_comm_readStb(id, stb); },
      [](ViInt32 id, ViUInt16*) { return vx_comm_trigger(id); },
      [](ViInt32 id, ViUInt16*) { return vx_comm_remote(id, VI_GPIB_REN_ASSERT_ADDRESS); },
      [](ViInt32 id, ViUInt16*) { return vx_comm_remote(id, VI_GPIB_REN_DEASSERT_GTL); },
  };
  for (const std::string& address : addresses) {
    SCOPED_TRACE(address);
    ViInt32 id = open_link(address);
    ASSERT_GT(id, 0);
    for (const auto& control : controls) {
      ViUInt16 stb = 77;
      EXPECT_EQ(VI_ERROR_NSUP_OPER, control(id, &stb));
      EXPECT_EQ(77, stb);
    }
    // Nothing was sent: the instrument has taken only this query.
    EXPECT_EQ("7\n", query(id, "COUNT?"));
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

}  // namespace
