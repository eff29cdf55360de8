// The direct USB transport's two tables: the link operations it gives
// vx_comm_open, and the driver it calls (the platform's; unit tests point
// vx_usb_driver at a fake). The operations are in usb_open.cpp (open, close,
// timeout, abort), usb_message.cpp (read, write) and usb_clear.cpp (clear).
#include "transport/usb/usb_device.h"

const UsbDriverOps vx_usb_platform_driver = {
    vxp_usb_list,     // list
    vxp_usb_open,     // open
    vxp_usb_close,    // close
    vxp_usb_start,    // start
    vxp_usb_wait,     // wait
    vxp_usb_pending,  // pending
    vxp_usb_cancel,   // cancel
    vxp_usb_result,   // result
    vxp_usb_interrupt,  // interrupt
    vxp_usb_preempt,    // preempt
    vxp_usb_describe,   // describe
};
const UsbDriverOps* vx_usb_driver = &vx_usb_platform_driver;

// The status byte, trigger and remote state are USB488 requests, spoken
// to other makers' devices whose capabilities offer them; the maker's own
// devices have none.
ViStatus vx_usbdev_readStb(void* context, ViUInt16* stb) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  return d->tmc ? vx_usbtmc_readStb(d, stb) : VI_ERROR_NSUP_OPER;
}

ViStatus vx_usbdev_trigger(void* context) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  return d->tmc ? vx_usbtmc_trigger(d) : VI_ERROR_NSUP_OPER;
}

ViStatus vx_usbdev_remote(void* context, ViUInt16 mode) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  return d->tmc ? vx_usbtmc_remote(d, mode) : VI_ERROR_NSUP_OPER;
}

namespace {

// The machine-wide reservation holds the device for this link from open to
// close: no other program can reach it, so the lock is already ours.
ViStatus usb_lock(void*, ViInt32) { return VI_SUCCESS; }
ViStatus usb_unlock(void*) { return VI_SUCCESS; }

}  // namespace

const TransportOps vx_usb_ops = {
    vx_usbdev_open,             // open
    vx_usbdev_close,            // close
    vx_usbdev_read,             // read
    vx_usbdev_write,            // write
    vx_usbdev_settmo,           // setTimeout
    vx_usbdev_clear,            // clear
    vx_usbdev_abort,            // abort
    vx_usbdev_readStb,          // readStb
    vx_usbdev_trigger,          // trigger
    vx_usbdev_remote,           // remote
    vx_usbdev_endMessage,       // endMessage
    vx_usbdev_writeMore,        // writeMore
    usb_lock,                   // lock
    usb_unlock,                 // unlock
    vx_usbdev_srqEnable,        // srqEnable
};
