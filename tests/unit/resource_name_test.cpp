// The VISA resource name reader: what each valid name yields, and the
// names it refuses.
#include "transport/resource_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Valid {
  const char* name;
  VxRnameInterface interface;
  int board;
  VxRnameClass rclass;
  const char* host;  // TCPIP
  int port;
  const char* device;  // TCPIP INSTR; the serial for USB
  VxLanDeviceKind kind;
  int index, primary, secondary;
};

TEST(ResourceName, ValidNamesFillTheRecord) {
  const Valid rows[] = {
      {"TCPIP0::192.168.1.20::5025::SOCKET", VX_RNAME_TCPIP, 0, VX_RNAME_SOCKET, "192.168.1.20", 5025, "", VX_LAN_INST,
       0, -1, -1},
      {"tcpip::192.168.001.020::18::socket", VX_RNAME_TCPIP, 0, VX_RNAME_SOCKET, "192.168.001.020", 18, "", VX_LAN_INST,
       0, -1, -1},
      {"TCPIP3::scope-7.lab.example::00080::SOCKET", VX_RNAME_TCPIP, 3, VX_RNAME_SOCKET, "scope-7.lab.example", 80, "",
       VX_LAN_INST, 0, -1, -1},
      {"TCPIP65535::h::65535::SOCKET", VX_RNAME_TCPIP, 65535, VX_RNAME_SOCKET, "h", 65535, "", VX_LAN_INST, 0, -1, -1},
      {"TCPIP::10.0.0.5::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "10.0.0.5", 0, "inst0", VX_LAN_INST, 0, -1, -1},
      {"TCPIP1::10.0.0.5::INST12::Instr", VX_RNAME_TCPIP, 1, VX_RNAME_INSTR, "10.0.0.5", 0, "INST12", VX_LAN_INST, 12,
       -1, -1},
      {"TCPIP0::gw::gpib0,5::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "gw", 0, "gpib0,5", VX_LAN_GPIB, 0, 5, -1},
      {"TCPIP0::gw::GPIB1,30,2::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "gw", 0, "GPIB1,30,2", VX_LAN_GPIB, 1, 30,
       2},
      {"TCPIP0::10.0.0.5::hislip0::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "10.0.0.5", 4880, "hislip0",
       VX_LAN_HISLIP, 0, -1, -1},
      {"TCPIP0::10.0.0.5::hislip0,4880::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "10.0.0.5", 4880, "hislip0",
       VX_LAN_HISLIP, 0, -1, -1},
      {"TCPIP0::10.0.0.5::hislip2,5000::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "10.0.0.5", 5000, "hislip2",
       VX_LAN_HISLIP, 2, -1, -1},
      {"TCPIP0::10.0.0.5::com1::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "10.0.0.5", 0, "com1", VX_LAN_OTHER, 0, -1,
       -1},
      // The device goes to the instrument as written; the sub-address of
      // every name beginning with hislip is HiSLIP's.
      {"TCPIP0::10.0.0.5::COM1::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "10.0.0.5", 0, "COM1", VX_LAN_OTHER, 0, -1,
       -1},
      {"TCPIP0::h::hislip_PXI0_CHASSIS1_SLOT1_INDEX0::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "h", 4880,
       "hislip_PXI0_CHASSIS1_SLOT1_INDEX0", VX_LAN_HISLIP, 0, -1, -1},
      // IPv6 literals lose their brackets; a fully qualified name keeps its
      // final dot.
      {"TCPIP0::[::1]::inst0::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "::1", 0, "inst0", VX_LAN_INST, 0, -1, -1},
      {"TCPIP::[fe80::1%eth0]::5025::SOCKET", VX_RNAME_TCPIP, 0, VX_RNAME_SOCKET, "fe80::1%eth0", 5025, "",
       VX_LAN_INST, 0, -1, -1},
      {"TCPIP0::[::ffff:10.0.0.5]::hislip0::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "::ffff:10.0.0.5", 4880,
       "hislip0", VX_LAN_HISLIP, 0, -1, -1},
      {"TCPIP0::scope.lab.::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "scope.lab.", 0, "inst0", VX_LAN_INST, 0, -1,
       -1},
      {"TCPIP0::h::HiSLIP_x,4881::INSTR", VX_RNAME_TCPIP, 0, VX_RNAME_INSTR, "h", 4881, "HiSLIP_x", VX_LAN_HISLIP, 0,
       -1, -1},
      {"USB0::0x03EB::0xAFFF::SN42::INSTR", VX_RNAME_USB, 0, VX_RNAME_INSTR, "", 0, "SN42", VX_LAN_INST, 0, -1, -1},
      {"usb2::1003::45055::sn42::3::raw", VX_RNAME_USB, 2, VX_RNAME_RAW, "", 0, "sn42", VX_LAN_INST, 0, -1, -1},
  };
  for (const Valid& v : rows) {
    SCOPED_TRACE(v.name);
    VxResourceName r;
    const char* why = "unset";
    ASSERT_TRUE(vx_rname_parse(v.name, &r, &why));
    EXPECT_EQ(nullptr, why);
    EXPECT_EQ(v.interface, r.interface);
    EXPECT_EQ(v.board, r.board);
    EXPECT_EQ(v.rclass, r.rclass);
    EXPECT_EQ(v.port, r.port);
    if (v.interface == VX_RNAME_USB) {
      EXPECT_STREQ(v.device, r.serial);
      EXPECT_EQ(0x03EB, r.vendorId);
      EXPECT_EQ(0xAFFF, r.productId);
      EXPECT_EQ(v.rclass == VX_RNAME_RAW ? 3 : -1, r.usbInterface);
      continue;
    }
    EXPECT_STREQ(v.host, r.host);
    EXPECT_STREQ(v.device, r.device);
    if (v.rclass == VX_RNAME_INSTR) {
      EXPECT_EQ(v.kind, r.deviceKind);
      EXPECT_EQ(v.index, r.deviceIndex);
    }
    EXPECT_EQ(v.primary, r.primary);
    EXPECT_EQ(v.secondary, r.secondary);
  }
}

TEST(ResourceName, InvalidNamesAreRefusedWithAReason) {
  const std::string longHost = "TCPIP0::" + std::string(254, 'a') + "::1::SOCKET";
  const std::string longName = "TCPIP0::" + std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                               std::string(63, 'c') + "." + std::string(63, 'd') + "::1::SOCKET";
  const std::string names[] = {
      "",
      "TCP-192.168.1.20",
      "GPIB0::5::INSTR",
      "ASRL1::INSTR",
      "TCPIPX::h::INSTR",
      "TCPIP65536::h::INSTR",
      "TCPIP0::h::0::SOCKET",
      "TCPIP0::h::65536::SOCKET",
      "TCPIP0::h::000018::SOCKET",
      "TCPIP0::h::-1::SOCKET",
      "TCPIP0::h::5025",
      "TCPIP0::h::SOCKET",
      "TCPIP0::h::inst0::5025::SOCKET",
      "TCPIP0::h::inst0::RAW",
      "TCPIP0::h::inst0::INSTR::x",
      "TCPIP0::::INSTR",
      "TCPIP0::h::::INSTR",
      "TCPIP0:h::INSTR",
      "TCPIP0::256.1.1.1::INSTR",
      "TCPIP0::1.2.3::INSTR",
      "TCPIP0::127.1::INSTR",
      "TCPIP0::0x7f.1::INSTR",
      "TCPIP0::0x7f000001::INSTR",
      "TCPIP0::1.2.3.4.5::INSTR",
      "TCPIP0::h..x::INSTR",
      "TCPIP0::-h::INSTR",
      "TCPIP0::h x::INSTR",
      "TCPIP0::[::1::INSTR",
      "TCPIP0::[10.0.0.5]::INSTR",
      "TCPIP0::[::1%]::INSTR",
      "TCPIP0::[::g]::INSTR",
      "TCPIP0::[::1]x::INSTR",
      "TCPIP0::.::INSTR",
      "TCPIP0::h..::INSTR",
      "TCPIP0::10.0.0.5.::INSTR",
      "TCPIP0::h::gpib0::INSTR",
      "TCPIP0::h::gpib0,31::INSTR",
      "TCPIP0::h::gpib0,5,31::INSTR",
      "TCPIP0::h::inst0,1::INSTR",
      "TCPIP0::h::hislip0,0::INSTR",
      "TCPIP0::h::hislip0,70000::INSTR",
      "TCPIP0::h::dev/x::INSTR",
      "TCPIP0::h::" + std::string(64, 'd') + "::INSTR",
      "USB0::0x03EB::0xAFFF::INSTR",
      "USB0::0x103EB::0xAFFF::S::INSTR",
      "USB0::0x03EB::0xAFFF::S N::INSTR",
      "USB0::0x03EB::0xAFFF::S::256::INSTR",
      "USB0::0x03EB::0xAFFF::S::SOCKET",
      longHost,
      longName,
      "TCPIP0::h::" + std::string(300, '1') + "::SOCKET",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    VxResourceName r;
    r.port = 77;
    const char* why = nullptr;
    EXPECT_FALSE(vx_rname_parse(name.c_str(), &r, &why));
    ASSERT_NE(nullptr, why);
    EXPECT_NE('\0', why[0]);
    EXPECT_EQ(77, r.port);  // the record is left alone
  }
  const char* why = nullptr;
  VxResourceName r;
  EXPECT_FALSE(vx_rname_parse(nullptr, &r, &why));
}

}  // namespace
