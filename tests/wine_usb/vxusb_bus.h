/* What the test driver and its control program share: the bus device's
 * name and its one control code. */
#ifndef VXUSB_BUS_H
#define VXUSB_BUS_H

/* \\.\VxUsbBus from user mode. */
#define VXUSB_BUS_NAME L"\\Device\\VxUsbBus"
#define VXUSB_BUS_LINK L"\\DosDevices\\VxUsbBus"

/* Input: the simulator's bus port on 127.0.0.1 (32-bit). The bus lists the
 * devices there and makes its children match that list; output: how many
 * children are present (32-bit). Buffered, device type 0x8001, any access. */
#define VXUSB_IOCTL_SCAN 0x80012400u

#endif
