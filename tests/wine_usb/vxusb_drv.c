/* A test-only kernel driver that plays the instrument maker's USB driver
 * inside a Wine prefix and forwards everything to the simulator's USB bus
 * (docs/guide/usb_bus.md) on 127.0.0.1. It is never installed with the product.
 *
 * The bus device (root-enumerated, installed by vxusb_ctl) reports one child
 * per device the simulator lists; each child registers the instrument's
 * device interface under the path the simulator gave it. A handle opened on
 * a child is one connection to the bus opened on that path; every read,
 * write and I/O control becomes a transfer, every cancel of a pending
 * request a cancel, and a receive thread per handle completes the requests.
 * When the connection ends, the pending request and every later one fail. */
#include <ntddk.h>

#include "bus_link.h"
#include "vxusb_bus.h"

extern char __ImageBase;

static const GUID kInstrumentInterface = {0xA9FDBB24, 0x128A, 0x11D5, {0x99, 0x61, 0x00, 0x10, 0x83, 0x35, 0xE3, 0x61}};

enum { kBusMagic = 0x42555356, kChildMagic = 0x43555356 };
enum { kMaxPending = 8, kMaxPath = 512, kMaxFrame = 16 + 65536 };
enum { kBulkOut = 16, kBulkIn = 17, kIoctl = 18, kCancel = 19 };

struct child {
  ULONG magic;
  DEVICE_OBJECT* self;
  struct child* next;
  char path[kMaxPath];
  ULONG pathLength;
  WCHAR deviceId[kMaxPath];
  WCHAR instanceId[kMaxPath];
  WCHAR reference[kMaxPath];
  UNICODE_STRING symlink;
  BOOLEAN present;
  BOOLEAN reported;
  volatile LONG unplugged; /* its interface is disabled */
};

struct bus {
  ULONG magic;
  DEVICE_OBJECT* lower;
  DEVICE_OBJECT* pdo;
};

struct pending {
  ULONG id;
  IRP* irp;
};

/* One open handle on a child: its bus connection and pending requests. */
struct handle {
  LONG refs;
  struct child* child;
  volatile LONG closing;
  bus_sock sock;
  void* lock; /* pending table, `gone`, and every send */
  void* thread;
  ULONG nextId;
  BOOLEAN gone;
  struct pending pending[kMaxPending];
};

static ULONG scan(unsigned port);

static DRIVER_OBJECT* g_driver;
static void* g_lock; /* the child list and the port */
static struct child* g_children;
static struct bus* g_bus;
static unsigned g_port;
static ULONG g_childNumber;

static void put32(unsigned char* p, ULONG v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

static ULONG get32(const unsigned char* p) {
  return p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

static void handle_release(struct handle* h) {
  if (InterlockedDecrement(&h->refs) != 0) return;
  bus_close(h->sock);
  bus_lock_free(h->lock);
  bus_free(h);
}

static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* Takes the request out of reach of its cancel routine; a cancel routine
 * already running has taken its reference on the handle by then. */
static void detach_cancel(IRP* irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoSetCancelRoutine(irp, NULL);
  IoReleaseCancelSpinLock(irql);
}

/* count: the completion's byte count; for reads and I/O controls the
 * data follow, dataLength bytes of them. */
static void finish(IRP* irp, ULONG result, ULONG count, const unsigned char* data, ULONG dataLength) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  detach_cancel(irp);
  if (result != 0) {
    complete(irp, result == 2 ? STATUS_CANCELLED : STATUS_UNSUCCESSFUL, 0);
    return;
  }
  ULONG room = 0;
  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
      room = stack->Parameters.Read.Length;
      break;
    case IRP_MJ_DEVICE_CONTROL:
      room = stack->Parameters.DeviceIoControl.OutputBufferLength;
      break;
    default:
      complete(irp, STATUS_SUCCESS, count); /* bulk out: the bytes written */
      return;
  }
  if (count > dataLength) count = dataLength;
  if (count > room) count = room;
  if (count > 0) RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, data, count);
  complete(irp, STATUS_SUCCESS, count);
}

/* Completes the requests of one connection as the bus completes them; when
 * the connection ends, fails what is pending and marks the handle gone. */
static unsigned long __attribute__((stdcall)) receive_loop(void* arg) {
  struct handle* h = (struct handle*)arg;
  unsigned char* frame = (unsigned char*)bus_alloc(kMaxFrame);
  uint32_t n = 0;
  while (frame && bus_recv_frame(h->sock, frame, kMaxFrame, &n)) {
    if (n < 12) break;
    ULONG id = get32(frame), result = get32(frame + 4), count = get32(frame + 8);
    IRP* irp = NULL;
    bus_lock(h->lock);
    for (int i = 0; i < kMaxPending; ++i)
      if (h->pending[i].irp && h->pending[i].id == id) {
        irp = h->pending[i].irp;
        h->pending[i].irp = NULL;
        break;
      }
    bus_unlock(h->lock);
    if (irp) finish(irp, result, count, frame + 12, n - 12);
  }
  bus_free(frame);
  /* The bus ended the connection: the device was unplugged. As on Windows,
   * it leaves the system before its handles learn of it, so nobody finds
   * it again once a request has failed (Wine would even let a new handle
   * open on it: it does not wait for the driver's answer to a create). */
  if (!InterlockedCompareExchange(&h->closing, 0, 0)) {
    bus_lock(g_lock);
    unsigned port = g_port;
    bus_unlock(g_lock);
    scan(port);
    for (int i = 0; i < 400 && h->child->present == FALSE && !InterlockedCompareExchange(&h->child->unplugged, 0, 0); ++i)
      bus_sleep(5);
  }
  IRP* left[kMaxPending];
  bus_lock(h->lock);
  h->gone = TRUE;
  for (int i = 0; i < kMaxPending; ++i) {
    left[i] = h->pending[i].irp;
    h->pending[i].irp = NULL;
  }
  bus_unlock(h->lock);
  for (int i = 0; i < kMaxPending; ++i)
    if (left[i]) {
      detach_cancel(left[i]);
      complete(left[i], STATUS_DEVICE_NOT_CONNECTED, 0);
    }
  return 0;
}

static void send_cancel(struct handle* h, ULONG id) {
  unsigned char req[16];
  put32(req, kCancel);
  put32(req + 4, id);
  put32(req + 8, 0);
  put32(req + 12, 0);
  bus_lock(h->lock);
  BOOLEAN still = FALSE;
  for (int i = 0; i < kMaxPending; ++i)
    if (h->pending[i].irp && h->pending[i].id == id) still = TRUE;
  /* The bus completes the cancelled transfer (result 2) and the receive
   * loop completes the request then; nothing is completed here. */
  if (still && !h->gone) bus_send_frame(h->sock, req, sizeof req);
  bus_unlock(h->lock);
}

static void WINAPI on_cancel(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  struct handle* h = (struct handle*)irp->Tail.Overlay.DriverContext[0];
  ULONG id = (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[1];
  InterlockedIncrement(&h->refs);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  send_cancel(h, id);
  handle_release(h);
}

/* Sends one transfer and leaves the request pending until the bus answers. */
static NTSTATUS start_transfer(IRP* irp, ULONG kind, ULONG code, const void* in, ULONG inLength, ULONG outLength) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  struct handle* h = stack->FileObject ? (struct handle*)stack->FileObject->FsContext : NULL;
  if (!h) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (inLength > kMaxFrame - 16) return complete(irp, STATUS_INVALID_PARAMETER, 0);
  unsigned char* req = (unsigned char*)bus_alloc(16 + inLength);
  if (!req) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);

  bus_lock(h->lock);
  int slot = -1;
  for (int i = 0; i < kMaxPending && slot < 0; ++i)
    if (!h->pending[i].irp) slot = i;
  if (h->gone || slot < 0) {
    bus_unlock(h->lock);
    bus_free(req);
    return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  ULONG id = ++h->nextId;
  if (id == 0) id = ++h->nextId;
  h->pending[slot].id = id;
  h->pending[slot].irp = irp;
  IoMarkIrpPending(irp);
  irp->Tail.Overlay.DriverContext[0] = h;
  irp->Tail.Overlay.DriverContext[1] = (void*)(ULONG_PTR)id;
  IoSetCancelRoutine(irp, on_cancel);
  put32(req, kind);
  put32(req + 4, id);
  put32(req + 8, code);
  put32(req + 12, outLength);
  if (inLength > 0) RtlCopyMemory(req + 16, in, inLength);
  /* A failed send ends the connection, and the receive loop fails the
   * request with the others. */
  if (!bus_send_frame(h->sock, req, 16 + inLength)) bus_shutdown(h->sock);
  bus_unlock(h->lock);
  bus_free(req);
  return STATUS_PENDING;
}

static NTSTATUS child_create(struct child* c, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  bus_lock(g_lock);
  unsigned port = g_port;
  bus_unlock(g_lock);
  struct handle* h = (struct handle*)bus_alloc(sizeof *h);
  if (!h) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  h->refs = 1;
  h->child = c;
  h->lock = bus_lock_new();
  h->sock = bus_connect(port);
  unsigned char* req = (unsigned char*)bus_alloc(4 + c->pathLength);
  unsigned char reply[4];
  uint32_t n = 0;
  BOOLEAN opened = FALSE;
  if (h->lock && h->sock != BUS_NO_SOCK && req) {
    put32(req, 2);
    RtlCopyMemory(req + 4, c->path, c->pathLength);
    opened = bus_send_frame(h->sock, req, 4 + c->pathLength) && bus_recv_frame(h->sock, reply, sizeof reply, &n) &&
             n == 4 && get32(reply) == 0;
  }
  bus_free(req);
  if (opened) h->thread = bus_thread(receive_loop, h);
  if (!opened || !h->thread) {
    handle_release(h);
    return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  stack->FileObject->FsContext = h;
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS child_close(IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  struct handle* h = stack->FileObject ? (struct handle*)stack->FileObject->FsContext : NULL;
  if (h) {
    stack->FileObject->FsContext = NULL;
    InterlockedExchange(&h->closing, 1);
    bus_shutdown(h->sock);
    bus_join(h->thread);
    handle_release(h);
  }
  return complete(irp, STATUS_SUCCESS, 0);
}

static WCHAR* pool_copy(const WCHAR* text, size_t extraNuls) {
  size_t n = wcslen(text);
  WCHAR* out = (WCHAR*)ExAllocatePool(PagedPool, (n + 1 + extraNuls) * sizeof(WCHAR));
  if (!out) return NULL;
  RtlCopyMemory(out, text, n * sizeof(WCHAR));
  for (size_t i = 0; i <= extraNuls; ++i) out[n + i] = 0;
  return out;
}

static NTSTATUS child_query_id(struct child* c, IRP* irp, BUS_QUERY_ID_TYPE type) {
  WCHAR* id = NULL;
  switch (type) {
    case BusQueryDeviceID:
      id = pool_copy(c->deviceId, 0);
      break;
    case BusQueryInstanceID:
      id = pool_copy(c->instanceId, 0);
      break;
    case BusQueryHardwareIDs:
      id = pool_copy(c->deviceId, 1);
      break;
    case BusQueryCompatibleIDs:
      /* The INF installs every child by this ID, whatever vendor and
       * product its path names. */
      id = pool_copy(L"VXUSBSIM\\INSTRUMENT", 1);
      break;
    default:
      return irp->IoStatus.Status;
  }
  if (!id) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = (ULONG_PTR)id;
  return STATUS_SUCCESS;
}

static NTSTATUS child_pnp(struct child* c, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      status = child_query_id(c, irp, stack->Parameters.QueryId.IdType);
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->RawDeviceOK = 1;
      caps->SurpriseRemovalOK = 1;
      caps->UniqueID = 1;
      caps->SilentInstall = 1;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_START_DEVICE: {
      UNICODE_STRING ref;
      RtlInitUnicodeString(&ref, c->reference);
      if (!c->symlink.Buffer)
        status = IoRegisterDeviceInterface(c->self, &kInstrumentInterface, c->reference[0] ? &ref : NULL, &c->symlink);
      else
        status = STATUS_SUCCESS;
      if (NT_SUCCESS(status)) IoSetDeviceInterfaceState(&c->symlink, TRUE);
      break;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (c->symlink.Buffer && stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        IoSetDeviceInterfaceState(&c->symlink, FALSE);
        InterlockedExchange(&c->unplugged, 1);
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      /* The device object stays (Wine may remove a device while handles
       * are still open on it); a child that comes back gets a new one. */
      if (c->symlink.Buffer) IoSetDeviceInterfaceState(&c->symlink, FALSE);
      InterlockedExchange(&c->unplugged, 1);
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

/* Splits a bus path "\\?\<bus>#<device>#<instance>#{guid}[\<reference>]"
 * into the IDs the child reports; false for a path of another form. */
static BOOLEAN parse_path(struct child* c) {
  const char* p = c->path;
  ULONG n = c->pathLength;
  if (n < 4 || p[0] != '\\' || p[1] != '\\' || p[2] != '?' || p[3] != '\\') return FALSE;
  ULONG hashes[3], found = 0;
  for (ULONG i = 4; i < n && found < 3; ++i)
    if (p[i] == '#') hashes[found++] = i;
  if (found < 3) return FALSE;
  ULONG d = 0, k = 0, r = 0;
  for (ULONG i = 4; i < hashes[1]; ++i) c->deviceId[d++] = p[i] == '#' ? L'\\' : (WCHAR)(unsigned char)p[i];
  c->deviceId[d] = 0;
  for (ULONG i = hashes[1] + 1; i < hashes[2]; ++i) c->instanceId[k++] = (WCHAR)(unsigned char)p[i];
  c->instanceId[k] = 0;
  ULONG slash = n;
  for (ULONG i = hashes[2] + 1; i < n; ++i)
    if (p[i] == '\\') {
      slash = i;
      break;
    }
  for (ULONG i = slash + 1; i < n; ++i) c->reference[r++] = (WCHAR)(unsigned char)p[i];
  c->reference[r] = 0;
  return d > 0 && k > 0;
}

static struct child* add_child(const char* path, ULONG length) {
  if (length >= kMaxPath) return NULL;
  WCHAR name[64] = L"\\Device\\VxUsbChild";
  size_t at = wcslen(name);
  WCHAR digits[12];
  int nd = 0;
  for (ULONG v = ++g_childNumber; v > 0 || nd == 0; v /= 10) digits[nd++] = (WCHAR)(L'0' + v % 10);
  while (nd > 0) name[at++] = digits[--nd];
  name[at] = 0;
  UNICODE_STRING uname;
  RtlInitUnicodeString(&uname, name);
  DEVICE_OBJECT* pdo = NULL;
  if (!NT_SUCCESS(IoCreateDevice(g_driver, sizeof(struct child), &uname, FILE_DEVICE_UNKNOWN, 0,
                                 FALSE, &pdo)))
    return NULL;
  struct child* c = (struct child*)pdo->DeviceExtension;
  RtlZeroMemory(c, sizeof *c);
  c->magic = kChildMagic;
  c->self = pdo;
  RtlCopyMemory(c->path, path, length);
  c->pathLength = length;
  if (!parse_path(c)) {
    IoDeleteDevice(pdo);
    return NULL;
  }
  c->present = TRUE;
  pdo->Flags |= DO_BUFFERED_IO;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return c;
}

/* Lists the bus at port and makes the children match: new paths get a
 * child, paths no longer listed lose theirs. Returns the number present. */
static ULONG scan(unsigned port) {
  bus_lock(g_lock);
  g_port = port;
  bus_unlock(g_lock);
  unsigned char* frame = (unsigned char*)bus_alloc(kMaxFrame);
  unsigned char list[4];
  uint32_t n = 0;
  bus_sock s = bus_connect(port);
  BOOLEAN listed = FALSE;
  if (frame && s != BUS_NO_SOCK) {
    put32(list, 1);
    listed = bus_send_frame(s, list, 4) && bus_recv_frame(s, frame, kMaxFrame - 1, &n) && n >= 4;
  }
  bus_close(s);
  ULONG present = 0;
  bus_lock(g_lock);
  for (struct child* c = g_children; c; c = c->next) c->reported = FALSE;
  if (listed) {
    frame[n] = 0;
    ULONG count = get32(frame), at = 4;
    for (ULONG i = 0; i < count && at < n; ++i) {
      const char* path = (const char*)frame + at;
      ULONG length = (ULONG)strlen(path);
      at += length + 1;
      struct child* c = g_children;
      while (c && !(c->present && c->pathLength == length && RtlCompareMemory(c->path, path, length) == length))
        c = c->next;
      if (!c) {
        c = add_child(path, length);
        if (!c) continue;
        struct child** end = &g_children;
        while (*end) end = &(*end)->next;
        *end = c;
      }
      c->reported = TRUE;
    }
  }
  for (struct child* c = g_children; c; c = c->next) {
    if (!c->reported) c->present = FALSE;
    if (c->present) ++present;
  }
  bus_unlock(g_lock);
  bus_free(frame);
  if (g_bus) IoInvalidateDeviceRelations(g_bus->pdo, BusRelations);
  return present;
}

static NTSTATUS bus_pnp(struct bus* b, DEVICE_OBJECT* fdo, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      bus_lock(g_lock);
      ULONG count = 0;
      for (struct child* c = g_children; c; c = c->next)
        if (c->present) ++count;
      DEVICE_RELATIONS* rel =
          (DEVICE_RELATIONS*)ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(DEVICE_OBJECT*));
      if (rel) {
        ULONG i = 0;
        for (struct child* c = g_children; c; c = c->next)
          if (c->present) {
            rel->Objects[i++] = c->self;
            ObReferenceObject(c->self);
          }
        rel->Count = i;
      }
      bus_unlock(g_lock);
      if (!rel) return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      irp->IoStatus.Information = (ULONG_PTR)rel;
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      UNICODE_STRING link;
      RtlInitUnicodeString(&link, VXUSB_BUS_LINK);
      IoDeleteSymbolicLink(&link);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(b->lower, irp);
      IoDetachDevice(b->lower);
      g_bus = NULL;
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(b->lower, irp);
}

static NTSTATUS WINAPI dispatch_pnp(DEVICE_OBJECT* device, IRP* irp) {
  ULONG magic = *(ULONG*)device->DeviceExtension;
  if (magic == kBusMagic) return bus_pnp((struct bus*)device->DeviceExtension, device, irp);
  return child_pnp((struct child*)device->DeviceExtension, irp);
}

static NTSTATUS WINAPI dispatch_power(DEVICE_OBJECT* device, IRP* irp) {
  PoStartNextPowerIrp(irp);
  if (*(ULONG*)device->DeviceExtension == kBusMagic) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(((struct bus*)device->DeviceExtension)->lower, irp);
  }
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_create(DEVICE_OBJECT* device, IRP* irp) {
  if (*(ULONG*)device->DeviceExtension == kChildMagic) return child_create((struct child*)device->DeviceExtension, irp);
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_close(DEVICE_OBJECT* device, IRP* irp) {
  if (*(ULONG*)device->DeviceExtension == kChildMagic) return child_close(irp);
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_cleanup(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS WINAPI dispatch_read(DEVICE_OBJECT* device, IRP* irp) {
  if (*(ULONG*)device->DeviceExtension != kChildMagic) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  return start_transfer(irp, kBulkIn, 0, NULL, 0, stack->Parameters.Read.Length);
}

static NTSTATUS WINAPI dispatch_write(DEVICE_OBJECT* device, IRP* irp) {
  if (*(ULONG*)device->DeviceExtension != kChildMagic) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  return start_transfer(irp, kBulkOut, 0, irp->AssociatedIrp.SystemBuffer, stack->Parameters.Write.Length, 0);
}

static NTSTATUS WINAPI dispatch_ioctl(DEVICE_OBJECT* device, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (*(ULONG*)device->DeviceExtension == kChildMagic)
    return start_transfer(irp, kIoctl, code, irp->AssociatedIrp.SystemBuffer, inLength, outLength);
  if (code != VXUSB_IOCTL_SCAN || inLength < 4 || outLength < 4) return complete(irp, STATUS_INVALID_PARAMETER, 0);
  unsigned port = (unsigned)get32((const unsigned char*)irp->AssociatedIrp.SystemBuffer);
  put32((unsigned char*)irp->AssociatedIrp.SystemBuffer, scan(port));
  return complete(irp, STATUS_SUCCESS, 4);
}

static NTSTATUS WINAPI add_device(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  /* A child of our own bus needs no function device: it answers itself. */
  if (pdo->DriverObject == driver) return STATUS_SUCCESS;
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, VXUSB_BUS_NAME);
  RtlInitUnicodeString(&link, VXUSB_BUS_LINK);
  DEVICE_OBJECT* fdo = NULL;
  NTSTATUS status = IoCreateDevice(driver, sizeof(struct bus), &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  struct bus* b = (struct bus*)fdo->DeviceExtension;
  b->magic = kBusMagic;
  b->pdo = pdo;
  b->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  IoCreateSymbolicLink(&link, &name);
  g_bus = b;
  fdo->Flags |= DO_BUFFERED_IO;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static NTSTATUS driver_start(DRIVER_OBJECT* driver) {
  g_driver = driver;
  g_lock = bus_lock_new();
  if (!g_lock) return STATUS_INSUFFICIENT_RESOURCES;
  driver->DriverExtension->AddDevice = add_device;
  driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
  driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
  driver->MajorFunction[IRP_MJ_WRITE] = dispatch_write;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_ioctl;
  return STATUS_SUCCESS;
}

/* Because the driver imports user-mode libraries, Wine's loader takes it
 * for an ordinary DLL and first calls its entry point as DllMain with the
 * image base; only the second call is the driver's start. */
NTSTATUS WINAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
  (void)registryPath;
  if ((void*)driver == (void*)&__ImageBase) return TRUE;
  return driver_start(driver);
}
