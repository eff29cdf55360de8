// Emulated USB instruments for the tests of vxusbd: a umockdev testbed whose
// usbfs nodes are answered by scripted USBTMC devices. libusb (in vxusbd)
// sees real sysfs descriptors and real usbfs ioctls; the ioctl handler keeps
// the URBs of each device in queues and the device model behind them
// speaks USBTMC: "*IDN?", "DATA? N" (a definite-length block of N bytes),
// the clear handshake and the vendor echo; "SLOW? MS" (the reply "SLOW"
// comes that late, unless a clear came first) and "BLK #..." (a block
// taken, counted) for the library's conversations.
//
// The program must be linked with the umockdev preload library
// (-Wl,--no-as-needed -lumockdev-preload) and build the testbed before
// anything opens /sys or /dev.
#ifndef VX_TESTS_USB_HARNESS_H
#define VX_TESTS_USB_HARNESS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace usbmock {

// The USBTMC interface number of an emulated instrument unless its setup
// says otherwise (interface 0 is a vendor-specific one), so that a class
// request left at wIndex 0 is noticed.
inline constexpr int kUsbtmcInterface = 1;

struct DeviceSetup {
  std::uint16_t vendor = 0x03EB, product = 0xAFFF;
  std::string serial;  // empty: no serial string descriptor
  std::string idn = "Vextron AG,UM-EMU,0,1.0";
  bool usbtmc = true;          // false: a vendor-specific interface only
  std::uint16_t packet = 64;   // wMaxPacketSize of the bulk endpoints
  int pending_polls = 0;       // CHECK_CLEAR_STATUS answers "pending" this often
  bool kernel_driver = false;  // the kernel's usbtmc driver is bound to the interface
  bool zlp = false;               // a zero-length packet after a message of whole packets
  bool no_short_end = false;      // nor a short packet: the transfer only ends when full
  int clear_halt_ms = 0;          // CLEAR_HALT answered this late
  int serial_ms = 0;              // the serial number's string descriptor answered this late
  // Other makers' devices.
  std::string manufacturer, productName;  // string descriptors (empty: none)
  int usbtmc_interface = kUsbtmcInterface;  // vendor-specific interfaces before it
  bool second_usbtmc = false;  // one more USBTMC interface after it (endpoints 0x04, 0x85)
  std::uint8_t protocol = 0;   // bInterfaceProtocol: 1 USB488
  bool interrupt_in = false;   // an interrupt-IN endpoint 0x83 (8-byte packets)
  std::uint8_t stb = 0;        // READ_STATUS_BYTE's status byte
  bool whole_reply = false;    // the whole reply in one message whatever size was asked, EOM not set
  // Answers what other hosts' opens send (pyusb's): SET_CONFIGURATION and
  // SET_INTERFACE.
  bool host_setup = false;
  bool nopad = false;          // takes a bulk-out message's alignment zeros for the next header
};

// The USB488 instrument most cases and benchmarks use: a Rigol DS1104Z on
// interface 0, 512-byte packets, with an interrupt-IN endpoint.
DeviceSetup rigol_usb488();

// What a device saw, for the cases to check.
struct Counters {
  int bulk_in_submitted = 0;
  int discarded = 0;     // URBs the host cancelled
  int discard_late = 0;  // cancels of URBs already completed
  int overflows = 0;     // bulk ins too small for the packet the device sent
  int clear_halts = 0;
  int bad_index = 0;            // class requests not addressed to the USBTMC interface
  int in_flight = 0;            // URBs submitted and not yet completed
  int reads_waiting = 0;        // bulk ins waiting for the device
  bool driver_bound = false;    // the kernel's driver holds the interface now
  int claimed_while_bound = 0;  // claims the kernel's driver would have refused
  int claimed_interface = -1;   // the interface number of the last claim
  int interrupt_waiting = 0;    // interrupt ins waiting for a notification
  int notes_queued = 0;         // notifications not yet taken by an interrupt in
  int endpoint_index = -1;      // wIndex of the last class request to an endpoint
  // The library's side of a conversation.
  int messages = 0;         // DEV_DEP_MSG_OUT messages ended (EOM)
  long last_message = 0;    // bytes of the last one
  long block = -1;          // bytes of the last "BLK #..." block, -1: its data were not the pattern
  int bad_out = 0;          // bulk-out bytes that were no message header
  int triggers = 0;         // USB488 TRIGGER messages
  int aborted_in = 0;       // INITIATE_ABORT_BULK_IN of the reply in progress
  int ren = -1;             // the last REN_CONTROL value
  int local_lockouts = 0, go_to_locals = 0;
};

struct Device;

class Testbed {
 public:
  Testbed();
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  // Adds a device on a bus of its own; returns its index.
  int add(const DeviceSetup& setup);
  // The device goes silent: bulk ins wait until cancelled.
  void set_silent(int index, bool silent);
  // Completed URBs are kept from the host (as a busy host would not have
  // reaped them yet): a cancel then comes too late for them.
  void hold_back(int index, bool hold);
  // The device leaves: its URBs end with ENODEV, every later ioctl fails
  // with ENODEV, and (announce) udev reports its removal.
  void unplug(int index, bool announce = true);
  // udev reports the removal of a device unplugged without it.
  void announce_removal(int index);
  // The unplugged device comes back (same bus and node, udev reports it),
  // as new: nothing of its earlier conversation is left. Call it once the
  // host reaped the old transfers (in_flight 0), as the kernel gives them back.
  void replug(int index);
  Counters counters(int index);
  // The device sends these bytes on its interrupt-IN endpoint.
  void notify(int index, const std::vector<std::uint8_t>& bytes);
  // READ_STATUS_BYTE answers this status byte from now on.
  void set_stb(int index, std::uint8_t stb);

  struct Impl;

 private:
  void plug(Device* d);
  std::unique_ptr<Impl> impl_;
};

}  // namespace usbmock

#endif
