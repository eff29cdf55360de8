// vx_route_choose: an address to the operation table that serves it.
#include "transport/route.h"

#include <cstring>

#include "transport/hislip/hislip_transport.h"
#include "transport/resource_name.h"
#include "transport/tcp/tcp_transport.h"
#include "transport/usb/usb_device.h"
#include "transport/visa/visa_binding.h"
#include "transport/visa/visa_transport.h"
#include "transport/vxi11/vxi11_transport.h"

namespace {

void refuse(TransportRoute* route, const char* why) {
  route->ops = nullptr;
  route->refusal = why;
}

void choose_native(const char* name, TransportRoute* route) {
  VxResourceName r;
  const char* why = nullptr;
  if (!vx_rname_parse(name, &r, &why)) return refuse(route, why);
  if (r.interface == VX_RNAME_USB) {
    // Where the bus describes every maker's USBTMC interfaces (Linux), the
    // USB transport opens the name; its open reads the whole name again.
    if (vxp_usb_can_describe() && r.rclass == VX_RNAME_INSTR) {
      route->ops = &vx_usb_ops;
      route->perLinkLock = true;
      return;
    }
    return refuse(route,
                  "USB resource names need a VISA library (\"USB-\" and the serial number opens a direct USB link)");
  }
  if (r.rclass == VX_RNAME_SOCKET) {
    route->ops = &vx_tcp_socket_ops;
    return;
  }
  if (r.deviceKind == VX_LAN_HISLIP) {
    route->ops = &vx_hislip_ops;
    return;
  }
  // VXI-11 serves the other TCPIP INSTR names (instN, gpibN,M and plain
  // device names); its open, like HiSLIP's, reads the whole name again.
  route->ops = &vx_vxi11_ops;
}

}  // namespace

void vx_route_choose_native(const char* name, TransportRoute* route) {
  route->ops = nullptr;
  route->address = name;
  route->perLinkLock = false;
  route->refusal = nullptr;
  choose_native(name, route);
}

void vx_route_choose(const char* address, TransportRoute* route) {
  route->ops = nullptr;
  route->address = address;
  route->perLinkLock = false;
  route->refusal = nullptr;
  if (strncmp(address, "TCP-", 4) == 0) {
    route->ops = &vx_tcp_ops;
    route->address = address + 4;
  } else if (address[0] >= '0' && address[0] <= '9') {
    route->ops = &vx_tcp_ops;
  } else if (strncmp(address, "USB-", 4) == 0) {
    route->ops = &vx_usb_ops;
    route->perLinkLock = true;
  } else if (vx_visa_load_state() == 2) {
    route->ops = &vx_visa_ops;
  } else {
    choose_native(address, route);
  }
}
