// The only place that knows which operating system it runs on. Everything above
// this header is shared code; platform_posix.cpp and platform_win.cpp implement
// the same functions and the build picks one of them.  Conventions: functions
// that can fail return false, -1 or null; the caller turns that into its own
// ViStatus right where it makes the call. No function here writes to the call
// log or throws.
#ifndef VX_PLATFORM_H
#define VX_PLATFORM_H

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- sockets --

// A socket handle widened to pointer size (a Windows SOCKET is a UINT_PTR).
typedef intptr_t vxp_socket;
#define VXP_BAD_SOCKET ((vxp_socket)-1)

// Per-user start-up and clean-up of the socket library, counted by the OS
// on Windows (WSAStartup 2.2 / WSACleanup) and a no-op elsewhere.
bool vxp_net_startup();
void vxp_net_cleanup();

vxp_socket vxp_tcp_socket();
vxp_socket vxp_udp_socket();
// 0 on success, -1 when the OS reports the close as failed.
int vxp_socket_close(vxp_socket s);

// Dotted-quad text to an IPv4 address in network byte order, with the
// semantics of inet_addr(): no name lookup, INADDR_NONE for bad text.
uint32_t vxp_inet_addr(const char* text);
// Network-order IPv4 address to dotted text; false if out is too small.
bool vxp_inet_text(uint32_t addr, char* out, size_t outSize);

// Blocking connect without a time limit of its own; addr in network order,
// port in host order.
bool vxp_tcp_connect(vxp_socket s, uint32_t addr, uint16_t port);

bool vxp_set_nodelay(vxp_socket s);
bool vxp_set_broadcast(vxp_socket s);
// Timeouts in milliseconds; 0 means no limit, as on both platforms.
bool vxp_set_recv_timeout(vxp_socket s, uint32_t ms);
bool vxp_set_send_timeout(vxp_socket s, uint32_t ms);

// One send call; never raises SIGPIPE. Returns the bytes sent or -1.
int64_t vxp_send(vxp_socket s, const void* buf, size_t len);
// One receive call. Returns bytes received, 0 when the peer closed, -1 on
// error or timeout.
int64_t vxp_recv(vxp_socket s, void* buf, size_t len);

// Waits up to ms for the socket to become readable (0: poll without
// waiting). Returns 1 when readable, 0 when not, -1 when the poll failed.
int vxp_wait_readable(vxp_socket s, uint32_t ms);

// Datagrams. sendto returns the bytes sent or -1. recvfrom returns the
// datagram's length, or -1 on error, timeout, or a datagram longer than
// len (cut datagrams are an error on every platform); *fromAddr receives the
// sender's IPv4 address in network order.
int64_t vxp_sendto(vxp_socket s, const void* buf, size_t len, uint32_t addr, uint16_t port);
int64_t vxp_recvfrom(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr);
// The same, also giving the sender's port (host order) for a reply.
int64_t vxp_recvfrom_port(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr, uint16_t* fromPort);
// addr in network order, port in host order.
bool vxp_bind(vxp_socket s, uint32_t addr, uint16_t port);

int vxp_last_socket_error();
// True when err (a vxp_last_socket_error value) is the "invalid argument"
// error of this platform's socket calls (WSAEINVAL, EINVAL).
bool vxp_socket_error_is_invalid_argument(int err);

// ---------------------------------------------------------------- mutexes --

// Unnamed mutex: recursive, and a thread that ends while it holds it leaves
// it free for the next thread that tries (Win32 WAIT_ABANDONED, POSIX robust).
struct vxp_mutex;
enum vxp_lock_result { VXP_LOCKED = 0, VXP_BUSY = 1, VXP_LOCK_ERROR = 2 };

vxp_mutex* vxp_mutex_create();
void vxp_mutex_destroy(vxp_mutex* m);
vxp_lock_result vxp_mutex_trylock(vxp_mutex* m);
bool vxp_mutex_lock(vxp_mutex* m);  // waits without limit
void vxp_mutex_unlock(vxp_mutex* m);

// Machine-wide named mutex: one owner across every process of the machine,
// released when the owner unlocks, closes it, or dies. On Windows a
// "Global\" mutex; on Linux an flock() on a file named after it.
struct vxp_named_mutex;
vxp_named_mutex* vxp_named_mutex_open(const char* name);
vxp_lock_result vxp_named_mutex_trylock(vxp_named_mutex* m);
void vxp_named_mutex_unlock(vxp_named_mutex* m);
void vxp_named_mutex_close(vxp_named_mutex* m);  // releases it if held

// ---------------------------------------------------------------- threads --

struct vxp_thread;
typedef void (*vxp_thread_fn)(void* arg);
// stackSize is the initial commitment on Windows; on POSIX the stack is at
// least large enough for ordinary worker code whatever is asked.
vxp_thread* vxp_thread_start(vxp_thread_fn fn, void* arg, size_t stackSize);
// Waits for the thread to end and frees the handle.
void vxp_thread_join(vxp_thread* t);

// --------------------------------------------------------------- loading --

void* vxp_dl_open(const char* fileName);
void* vxp_dl_sym(void* lib, const char* name);
void vxp_dl_close(void* lib);

// ---------------------------------------------------------------- clocks --

// Milliseconds since some fixed point, wrapping at 2^32; use unsigned
// differences only.
uint32_t vxp_tick_ms();
// Wall clock: milliseconds since 1970-01-01 UTC.
int64_t vxp_wall_ms();
void vxp_sleep_ms(uint32_t ms);

// ------------------------------------------------------ attach / detach --

// Provided by the library above this layer; the platform calls them when the
// library is attached to and detached from a process (DllMain on Windows,
// constructor and destructor functions elsewhere). vx_lib_attach is
// idempotent, so programs that link the code statically may call it too.
void vx_lib_attach();
void vx_lib_detach();

#endif
