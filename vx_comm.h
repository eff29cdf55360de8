/*
 * vx_comm_lib: control test instruments over raw TCP, direct USB and VISA
 * through one small set of plain C functions.
 *
 * Every call but vx_usb_startdebug and vx_usb_stopdebug returns a ViStatus:
 * 0 is success, negative values are errors, positive values are successes
 * with a warning. A link is named by the linkId that vx_comm_open hands out
 * (1 to 100). Count out-parameters (retCount) may be null.
 */
#ifndef VX_COMM_H
#define VX_COMM_H

#include <stdint.h>

/* Release of this header; the library's file name and soname carry the
 * major number. CHANGELOG says what each release changed in the ABI. */
#define VX_COMM_VERSION_MAJOR 0
#define VX_COMM_VERSION_MINOR 3
#define VX_COMM_VERSION_PATCH 0
#define VX_COMM_VERSION "0.3.0"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t ViStatus;
typedef int32_t ViInt32;
typedef uint16_t ViUInt16;

/* Status values, as the VISA standard numbers them. */
#define VX_ERROR_BASE_ (-2147483647 - 1)
#define VI_SUCCESS ((ViStatus)0)
#define VI_SUCCESS_TERM_CHAR ((ViStatus)0x3FFF0005)
#define VI_SUCCESS_MAX_CNT ((ViStatus)0x3FFF0006)
#define VI_ERROR_SYSTEM_ERROR ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0000))
#define VI_ERROR_TMO ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0015))
#define VI_ERROR_CONN_LOST ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF00A6))
#define VI_ERROR_NSUP_OPER ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0067))
/* What VXI-11 and HiSLIP instruments' error codes become (docs/reference/links.md). */
#define VI_ERROR_RSRC_LOCKED ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF000F))
#define VI_ERROR_RSRC_NFOUND ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0011))
#define VI_ERROR_INV_RSRC_NAME ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0012))
#define VI_ERROR_IO ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF003E))
#define VI_ERROR_NSUP_MODE ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0046))
#define VI_ERROR_RSRC_BUSY ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0072))
#define VI_ERROR_INV_PARAMETER ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0078))
#define VI_ERROR_NPERMISSION ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF00A8))
#define VI_ERROR_NENABLED ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF002F))
#define VI_ERROR_ABORT ((ViStatus)(VX_ERROR_BASE_ + 0x3FFF0030))

/* Links. address: "TCP-" and a dotted IPv4 address, or text starting with a
 * digit (TCP, port 18); "USB-" and a serial number (direct USB); anything
 * else is a VISA resource name, handed to the VISA library when one is
 * loaded. Without one, TCPIP[board]::host::port::SOCKET names (host: a
 * dotted IPv4 address or a host name) open raw TCP to that port; other
 * names fail. The open waits at most max(tmoMs, 3000) ms for the network
 * when tmoMs > 0. A failed connection is reported as VI_SUCCESS with
 * *linkId == -1. */
ViStatus vx_comm_open(const char* address, ViInt32 tmoMs, ViInt32* linkId);
ViStatus vx_comm_close(ViInt32 linkId);

/* Raw transfers: one transport call, or repeated until count bytes moved. */
ViStatus vx_comm_write(ViInt32 linkId, const void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_comm_read(ViInt32 linkId, void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_comm_writeBlocking(ViInt32 linkId, const void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_comm_readBlocking(ViInt32 linkId, void* buffer, ViInt32 count, ViInt32* retCount);

/* Device clear (discards waiting input and any partial line or block);
 * the _async form takes no per-link lock. */
ViStatus vx_comm_clear(ViInt32 linkId);
ViStatus vx_comm_clear_async(ViInt32 linkId);
ViStatus vx_comm_setTmoMs(ViInt32 linkId, ViInt32 tmoMs);

/* Lines. puts sends cmd up to its first NUL, CR or LF and ends it with a
 * line feed (count <= 0: no bound). gets returns one NUL-terminated line,
 * its line feed included when it fits; buf holds count bytes. */
ViStatus vx_comm_puts(ViInt32 linkId, const char* cmd, ViInt32 count, ViInt32* retCount);
ViStatus vx_comm_gets(ViInt32 linkId, char* buf, ViInt32 count, ViInt32* retCount);

/* Blocks out, as IEEE 488.2 definite-length blocks: cmd (up to its first
 * NUL, CR or LF; may be null), a space (a comma when cmd holds a space),
 * "#", the digit count, the size, the data. writeBlockSize sends all but the
 * data, which follows with vx_comm_write or vx_comm_writeBlocking. Sizes
 * run from 0 to 999999999. */
ViStatus vx_comm_writeBlockSize(ViInt32 linkId, const char* cmd, ViInt32 count);
ViStatus vx_comm_writeBlock(ViInt32 linkId, const char* cmd, const void* buffer, ViInt32 count);
ViStatus vx_comm_writeBlockFile(ViInt32 linkId, const char* cmd, const char* fileName);

/* Blocks in: a definite-length header or the binary one (four zero bytes and
 * the size, least significant byte first). cmd (may be null) is sent as a
 * line only when no block is in progress. readBlockSize reads the header,
 * readBlockData the next piece; readBlock does both and returns
 * VI_SUCCESS_MAX_CNT while data of the block remains. The _async form takes
 * the per-link lock only while it sends cmd. */
ViStatus vx_comm_readBlockSize(ViInt32 linkId, const char* cmd, ViInt32* retSize);
ViStatus vx_comm_readBlockData(ViInt32 linkId, void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_comm_readBlock(ViInt32 linkId, const char* cmd, void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_comm_readBlock_async(ViInt32 linkId, const char* cmd, void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_comm_readBlockFile(ViInt32 linkId, const char* cmd, const char* fileName);

/* The VISA library ("visa32.dll" on Windows, "libvisa.so" elsewhere), loaded
 * only on request. loadVisa: VI_SUCCESS once loaded; VI_ERROR_SYSTEM_ERROR
 * when the library or one of its functions is missing, and at once on every
 * later call until freeVisa. freeVisa may be called while VISA links are
 * open or a VISA search runs: the library is unloaded when the last VISA
 * call in progress returns, and later calls on those links fail with
 * VI_ERROR_CONN_LOST. */
ViStatus vx_comm_loadVisa(void);
void vx_comm_freeVisa(void);

/* Instrument search. iface selects the searches: IFACE_LAN (UDP broadcast),
 * IFACE_USB (direct USB), either bit of IFACE_VISA (VISA); the texts found
 * are joined in that order into devices, a NUL-terminated list of
 * "model:serial:address;" entries whose addresses vx_comm_open accepts.
 * count is the size of devices; *retCount gets the characters placed.
 * VI_SUCCESS_MAX_CNT: count below 1, or the list was cut short. While any
 * link is open the call does nothing and returns VI_SUCCESS.
 * stdcall_vx_comm_find is the same call under a second name. */
#define IFACE_LAN 0x001
/* Other makers' LAN instruments over VXI-11 (portmapper broadcast, then
 * "*IDN?"); entries "model:serial:TCPIP0::a.b.c.d::inst0::INSTR;", listed
 * after the others. In no combination of the other bits. */
#define IFACE_VXI11 0x002
/* LAN instruments that announce themselves by mDNS / DNS-SD (_hislip._tcp,
 * _vxi-11._tcp, _scpi-raw._tcp): entries "model:serial:TCPIP0::a.b.c.d::
 * hislip0::INSTR;" (hislip0,port off 4880), "...::inst0::INSTR;" and
 * "...::port::SOCKET;" (an instrument with an IPv6 address alone:
 * "TCPIP0::[addr]::..."), model and serial from the TXT keys Model and
 * SerialNumber, else from "*IDN?" over that route within tmoMs; listed
 * last. Only answers from the subnet of the card that asked are kept.
 * Queries leave from an ephemeral port, so no system responder is
 * disturbed. In no combination of the other bits. */
#define IFACE_MDNS 0x004
/* Every maker's USB instruments (USBTMC interfaces; on Linux, through the
 * USB bus service; Windows lists none), probed with class requests and
 * "*IDN?": entries "model:serial:USB0::0x1AB1::0x04CE::SERIAL::INSTR;"
 * ("::N" before "::INSTR" for interface N other than 0), model and serial
 * from the identification, else from the product and serial strings;
 * listed last. With IFACE_USB in the same call the maker's own devices
 * are left out here (listed as "USB-" names there). In no combination of
 * the other bits. */
#define IFACE_USBTMC 0x008
#define IFACE_USB 0x010
#define IFACE_VISA 0x300
ViStatus vx_comm_find(char* devices, ViInt32 tmoMs, ViInt32 count, ViInt32* retCount, ViInt32 iface);
ViStatus stdcall_vx_comm_find(char* devices, ViInt32 tmoMs, ViInt32 count, ViInt32* retCount, ViInt32 iface);

/* Instrument controls (IEEE 488). readStb reads the status byte (a serial
 * poll); trigger sends the device trigger; remote sets the remote state,
 * mode being one of VISA's REN modes below. VISA links call viReadSTB,
 * viAssertTrigger (default protocol) and viGpibControlREN. USB links to
 * other makers' instruments (opened by a USB VISA name without a VISA
 * library) send USB488's READ_STATUS_BYTE, TRIGGER and REN_CONTROL /
 * GO_TO_LOCAL / LOCAL_LOCKOUT where the device's capabilities offer them.
 * A link whose route or device cannot do one (raw TCP; the maker's own
 * USB devices; a USB device without the capability; a VISA library
 * without the function) answers VI_ERROR_NSUP_OPER. A null stb or another mode:
 * VI_ERROR_SYSTEM_ERROR. */
#ifndef VI_GPIB_REN_DEASSERT
#define VI_GPIB_REN_DEASSERT 0           /* local: REN false */
#define VI_GPIB_REN_ASSERT 1             /* REN true */
#define VI_GPIB_REN_DEASSERT_GTL 2       /* local: go to local, REN false */
#define VI_GPIB_REN_ASSERT_ADDRESS 3     /* remote */
#define VI_GPIB_REN_ASSERT_LLO 4         /* local lockout */
#define VI_GPIB_REN_ASSERT_ADDRESS_LLO 5 /* remote with lockout */
#define VI_GPIB_REN_ADDRESS_GTL 6        /* go to local, REN stays */
#endif
ViStatus vx_comm_readStb(ViInt32 linkId, ViUInt16* stb);
ViStatus vx_comm_trigger(ViInt32 linkId);
ViStatus vx_comm_remote(ViInt32 linkId, ViUInt16 mode);

/* Exclusive lock: two programs sharing an instrument take turns under it.
 * lock takes it for the link, waiting up to tmoMs (0: not at all) while
 * another client holds it; unlock gives it back. While another client
 * holds it, this link's reads, writes, triggers and clears wait for it up
 * to the link timeout. VXI-11 links send device_lock (waiting; a server
 * that refuses the wait is asked once more without it) and device_unlock;
 * HiSLIP links AsyncLock; VISA links viLock (VI_EXCLUSIVE_LOCK) and
 * viUnlock. Direct USB links hold their device alone from open to close:
 * lock and unlock return VI_SUCCESS at once. A close gives back what the
 * link holds. A lock another client kept through the wait:
 * VI_ERROR_RSRC_LOCKED; unlock without the lock: VI_ERROR_SYSTEM_ERROR
 * (VXI-11, HiSLIP) or VISA's status. Raw TCP links, and VISA libraries
 * without viLock, answer VI_ERROR_NSUP_OPER. A negative tmoMs:
 * VI_ERROR_SYSTEM_ERROR. */
ViStatus vx_comm_lock(ViInt32 linkId, ViInt32 tmoMs);
ViStatus vx_comm_unlock(ViInt32 linkId);

/* Service requests: instead of polling the status byte, wait until the
 * instrument asks for service. enableSrq(linkId, 1) starts collecting the
 * link's service requests, enableSrq(linkId, 0) stops and forgets those
 * queued. waitSrq waits up to tmoMs (0: takes one already queued, if any;
 * negative: no limit) for the next and gives the status byte read with it
 * through stb, and through dropped (may be null) how many requests came
 * while the queue (VX_SRQ_QUEUE_LENGTH of them) was full since the last
 * wait returned one. The wait holds no per-link lock: other threads go on
 * with the link meanwhile. VXI-11 links receive device_intr_srq on an
 * interrupt channel the library serves; HiSLIP links AsyncServiceRequest;
 * USB links to other makers' USB488 instruments the interrupt-IN
 * notification; VISA links VI_EVENT_SERVICE_REQ. The status byte is the one
 * the notification carried (USB488), else a serial poll at the wake-up.
 * waitSrq returns VI_ERROR_NENABLED when not collecting, VI_ERROR_TMO when
 * none came in time, VI_ERROR_ABORT when vx_comm_clear or
 * vx_comm_clear_async ended the wait, VI_ERROR_CONN_LOST when a close did.
 * Routes without service requests (raw TCP, the maker's own USB devices,
 * a USB device without an interrupt-IN endpoint, a VISA library without
 * events) answer VI_ERROR_NSUP_OPER to enableSrq. A null stb:
 * VI_ERROR_SYSTEM_ERROR. */
#define VX_SRQ_QUEUE_LENGTH 50
ViStatus vx_comm_enableSrq(ViInt32 linkId, ViInt32 enable);
ViStatus vx_comm_waitSrq(ViInt32 linkId, ViInt32 tmoMs, ViUInt16* stb, ViInt32* dropped);

/* Call log: trace every call into the file at path (created or emptied);
 * stopdebug turns tracing off. */
void vx_usb_startdebug(const char* path);
void vx_usb_stopdebug(void);

/* The library: vx_comm_version is the loaded library's release text (as
 * VX_COMM_VERSION of the header it was built from). vx_comm_statusDesc
 * writes the description of status, as VISA describes its statuses, or
 * "unknown status 0x..." for a value VISA does not define, into buffer of
 * count bytes, always NUL-terminated; 256 bytes hold any text.
 * VI_SUCCESS_MAX_CNT: count below 1, or the text was cut short;
 * VI_ERROR_SYSTEM_ERROR: buffer is null. Neither call writes to the call
 * log. */
const char* vx_comm_version(void);
ViStatus vx_comm_statusDesc(ViStatus status, char* buffer, ViInt32 count);

/* Why the last call of this thread failed, in the words of the call log's
 * error lines, whether or not a log is open: "vx_comm_open() error: no
 * address for host name 'x' within 3000 ms; failed opening a physical
 * link". Every other call (but vx_comm_version, vx_comm_statusDesc and the
 * two log calls) empties it when it begins, and a call that succeeds
 * leaves it empty (vx_comm_open: when it made a link); a failed call
 * leaves its error lines joined by "; ", or "name() error: <status name>"
 * when it logged none. Written into buffer of count bytes, NUL-terminated
 * and cut to fit as by vx_comm_statusDesc (1024 bytes hold any text).
 * Writes nothing to the call log and changes nothing. */
ViStatus vx_comm_lastError(char* buffer, ViInt32 count);

/* The older names. Each forwards to one of the calls above and logs under
 * that call's name; they work on links of every kind. vx_usb_open returns
 * the linkId itself (-1 when no link was made); vx_usb_write and
 * vx_usb_read are the blocking transfers; vx_usb_find searches direct USB
 * only; the two file calls send or read one block without a command. */
ViStatus vx_usb_find(char* devices, ViInt32 tmoMs, ViInt32 count, ViInt32* retCount);
ViInt32 vx_usb_open(const char* address);
ViStatus vx_usb_close(ViInt32 linkId);
ViStatus vx_usb_puts(ViInt32 linkId, const char* cmd, ViInt32 count, ViInt32* retCount);
ViStatus vx_usb_gets(ViInt32 linkId, char* buf, ViInt32 count, ViInt32* retCount);
ViStatus vx_usb_write(ViInt32 linkId, const void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_usb_read(ViInt32 linkId, void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_usb_clear(ViInt32 linkId);
ViStatus vx_usb_settmo(ViInt32 linkId, ViInt32 tmoMs);
ViStatus vx_usb_sendbinary(ViInt32 linkId, const char* fileName);
ViStatus vx_usb_receivebinary(ViInt32 linkId, const char* fileName);

#ifdef __cplusplus
}
#endif

#endif
