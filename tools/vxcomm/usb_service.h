// Whether the machine's USB bus service can be reached, for the tool's own
// hint when a USB search finds nothing (the library stays silent about it).
#ifndef VXCOMM_USB_SERVICE_H
#define VXCOMM_USB_SERVICE_H

// One line naming what to start when nothing serves the USB bus; null when
// it is served (or when the system needs no service, as on Windows).
const char* vxcomm_usb_service_missing();

#endif
