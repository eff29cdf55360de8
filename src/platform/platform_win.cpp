// Win32 side of the platform layer. It mirrors platform_posix.cpp call for
// call; where Windows behaves differently by default, the code below bends it
// to the POSIX behaviour so that the shared code sees one set of rules.

// inet_ntop, CreateMutexExW and SRW locks need Vista or later.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

// ---------------------------------------------------------------- sockets --

// The clean-up that takes the count to zero closes every socket of the
// process. Unserialised, it can overlap another thread's start-up and close
// the socket that thread creates right after (a link opened while a search
// or another link ends). One lock makes the two steps take turns.
static SRWLOCK g_net_lock = SRWLOCK_INIT;

bool vxp_net_startup() {
  WSADATA data;
  AcquireSRWLockExclusive(&g_net_lock);
  bool ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  ReleaseSRWLockExclusive(&g_net_lock);
  return ok;
}

void vxp_net_cleanup() {
  AcquireSRWLockExclusive(&g_net_lock);
  WSACleanup();
  ReleaseSRWLockExclusive(&g_net_lock);
}

static vxp_socket make_socket(int type, int proto) {
  // Not inheritable, like SOCK_CLOEXEC on the POSIX side: a child process
  // started by the host must not keep an instrument connection open.
  SOCKET s = WSASocketW(AF_INET, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    // Systems older than Windows 7 SP1 reject the flag.
    s = WSASocketW(AF_INET, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET) SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
  }
  return s == INVALID_SOCKET ? VXP_BAD_SOCKET : (vxp_socket)s;
}

vxp_socket vxp_tcp_socket() { return make_socket(SOCK_STREAM, IPPROTO_TCP); }

vxp_socket vxp_udp_socket() {
  vxp_socket s = make_socket(SOCK_DGRAM, IPPROTO_UDP);
  if (s != VXP_BAD_SOCKET) {
    // Windows reports an ICMP "port unreachable" for an earlier sendto as a
    // WSAECONNRESET on the next recvfrom; Linux does not on an unconnected
    // socket. Turning that off keeps a discovery loop from failing because
    // one address did not answer. Failure is harmless, so it is ignored.
    BOOL report = FALSE;
    DWORD bytes = 0;
    WSAIoctl((SOCKET)s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
  }
  return s;
}

int vxp_socket_close(vxp_socket s) { return closesocket((SOCKET)s) == 0 ? 0 : -1; }

uint32_t vxp_inet_addr(const char* text) {
  // inet_addr(NULL) is INADDR_NONE on Windows already; say so explicitly.
  return text ? (uint32_t)inet_addr(text) : (uint32_t)INADDR_NONE;
}

bool vxp_inet_text(uint32_t addr, char* out, size_t outSize) {
  // Formatted by hand so that the result, and the refusal of a short buffer,
  // do not depend on the Windows version's inet_ntop.
  if (!out || outSize > (size_t)INT_MAX) return false;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr);
  char text[16];
  int n = snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  if (n < 0 || (size_t)n + 1 > outSize) return false;
  memcpy(out, text, (size_t)n + 1);
  return true;
}

static struct sockaddr_in make_addr(uint32_t addr, uint16_t port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr;
  return sa;
}

bool vxp_tcp_connect(vxp_socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  return connect((SOCKET)s, (struct sockaddr*)&sa, (int)sizeof sa) == 0;
}

bool vxp_bind(vxp_socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  return bind((SOCKET)s, (struct sockaddr*)&sa, (int)sizeof sa) == 0;
}

static bool set_opt(vxp_socket s, int level, int name, const void* value, int size) {
  return setsockopt((SOCKET)s, level, name, static_cast<const char*>(value), size) == 0;
}

bool vxp_set_nodelay(vxp_socket s) {
  BOOL on = TRUE;
  return set_opt(s, IPPROTO_TCP, TCP_NODELAY, &on, (int)sizeof on);
}

bool vxp_set_broadcast(vxp_socket s) {
  BOOL on = TRUE;
  return set_opt(s, SOL_SOCKET, SO_BROADCAST, &on, (int)sizeof on);
}

// Winsock takes the timeouts as a DWORD of milliseconds, 0 meaning no limit.
bool vxp_set_recv_timeout(vxp_socket s, uint32_t ms) {
  DWORD v = ms;
  return set_opt(s, SOL_SOCKET, SO_RCVTIMEO, &v, (int)sizeof v);
}

bool vxp_set_send_timeout(vxp_socket s, uint32_t ms) {
  DWORD v = ms;
  return set_opt(s, SOL_SOCKET, SO_SNDTIMEO, &v, (int)sizeof v);
}

// Winsock lengths are int. A stream call may move fewer bytes than asked,
// and callers loop anyway, so a larger request is simply cut to INT_MAX.
static int clamp_len(size_t len) { return len > (size_t)INT_MAX ? INT_MAX : (int)len; }

int64_t vxp_send(vxp_socket s, const void* buf, size_t len) {
  // Windows has no SIGPIPE, so nothing needs suppressing here.
  int n = send((SOCKET)s, static_cast<const char*>(buf), clamp_len(len), 0);
  return n == SOCKET_ERROR ? -1 : (int64_t)n;
}

int64_t vxp_recv(vxp_socket s, void* buf, size_t len) {
  int n = recv((SOCKET)s, static_cast<char*>(buf), clamp_len(len), 0);
  return n == SOCKET_ERROR ? -1 : (int64_t)n;
}

int vxp_wait_readable(vxp_socket s, uint32_t ms) {
  // A Windows fd_set is a list of handles, not a bitmap, so any socket fits.
  fd_set readSet;
  FD_ZERO(&readSet);
  FD_SET((SOCKET)s, &readSet);
  struct timeval tv;
  tv.tv_sec = (long)(ms / 1000u);
  tv.tv_usec = (long)((ms % 1000u) * 1000u);
  int rc = select(0, &readSet, nullptr, nullptr, &tv);
  if (rc == SOCKET_ERROR) return -1;
  return rc == 0 ? 0 : 1;  // a closed or failed connection also reads as ready
}

int64_t vxp_sendto(vxp_socket s, const void* buf, size_t len, uint32_t addr, uint16_t port) {
  // A datagram cannot be cut like a stream write; one this long would be
  // refused by the stack anyway.
  if (len > (size_t)INT_MAX) return -1;
  struct sockaddr_in sa = make_addr(addr, port);
  int n = sendto((SOCKET)s, static_cast<const char*>(buf), (int)len, 0, (struct sockaddr*)&sa, (int)sizeof sa);
  return n == SOCKET_ERROR ? -1 : (int64_t)n;
}

int64_t vxp_recvfrom(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr) {
  return vxp_recvfrom_port(s, buf, len, fromAddr, nullptr);
}

int64_t vxp_recvfrom_port(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr, uint16_t* fromPort) {
  struct sockaddr_in sa;
  int saLen = (int)sizeof sa;
  memset(&sa, 0, sizeof sa);
  // A datagram longer than the buffer fails with WSAEMSGSIZE and its rest is
  // discarded, which is the behaviour the POSIX side reproduces.
  int n = recvfrom((SOCKET)s, static_cast<char*>(buf), clamp_len(len), 0, (struct sockaddr*)&sa, &saLen);
  if (n == SOCKET_ERROR) return -1;
  if (fromAddr) *fromAddr = sa.sin_addr.s_addr;
  if (fromPort) *fromPort = ntohs(sa.sin_port);
  return (int64_t)n;
}

int vxp_last_socket_error() { return WSAGetLastError(); }
bool vxp_socket_error_is_invalid_argument(int err) { return err == WSAEINVAL; }

// ---------------------------------------------------------------- mutexes --

// A Win32 mutex is recursive, and the next wait after its owner thread ends
// returns WAIT_ABANDONED with ownership granted, which is what the shared
// code expects from a robust mutex.
struct vxp_mutex {
  HANDLE h;
};

static vxp_lock_result wait_outcome(DWORD rc) {
  if (rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) return VXP_LOCKED;
  if (rc == WAIT_TIMEOUT) return VXP_BUSY;
  return VXP_LOCK_ERROR;
}

vxp_mutex* vxp_mutex_create() {
  vxp_mutex* m = new (std::nothrow) vxp_mutex;
  if (!m) return nullptr;
  m->h = CreateMutexW(nullptr, FALSE, nullptr);
  if (!m->h) {
    delete m;
    return nullptr;
  }
  return m;
}

void vxp_mutex_destroy(vxp_mutex* m) {
  if (!m) return;
  CloseHandle(m->h);
  delete m;
}

vxp_lock_result vxp_mutex_trylock(vxp_mutex* m) {
  if (!m) return VXP_LOCK_ERROR;
  return wait_outcome(WaitForSingleObject(m->h, 0));
}

bool vxp_mutex_lock(vxp_mutex* m) {
  if (!m) return false;
  return wait_outcome(WaitForSingleObject(m->h, INFINITE)) == VXP_LOCKED;
}

void vxp_mutex_unlock(vxp_mutex* m) {
  if (m) ReleaseMutex(m->h);
}

// Callers pass a bare name; this side puts it in the machine-wide "Global\"
// namespace (a name that already starts with "Global\" keeps it). Kernel
// object names allow no further backslash, so those become '_', as the
// POSIX side also does for its file name.
//
// Two differences from a POSIX flock() have to be evened out:
// - A Win32 mutex is owned by a thread, and a second handle to it waited on
//   by the owning thread succeeds recursively. flock() makes two opens of one
//   name conflict even inside one process, so every open handle is listed
//   here and a trylock fails while another handle of this process holds the
//   same name.
// - Other users' processes must be able to take the mutex too (the POSIX
//   lock file is made mode 0666), so it is created with a DACL that lets
//   everyone wait on and release it, and opened asking for just those rights.
//
// Ownership still belongs to the locking thread: unlock and close must run
// on the thread whose trylock succeeded.
struct vxp_named_mutex {
  HANDLE h;
  bool held;
  wchar_t* name;
  vxp_named_mutex* next;  // in the list of this process's open handles
};

static SRWLOCK g_named_lock = SRWLOCK_INIT;
static vxp_named_mutex* g_named_list = nullptr;

static const wchar_t kGlobalPrefix[] = L"Global\\";
static const size_t kGlobalPrefixLen = sizeof kGlobalPrefix / sizeof kGlobalPrefix[0] - 1;

// The kernel name for a caller's name, or null; the result is new[]-owned.
static wchar_t* kernel_name(const char* name) {
  int wide = MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0);
  if (wide <= 0) return nullptr;
  wchar_t* text = new (std::nothrow) wchar_t[(size_t)wide];
  if (!text) return nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, text, wide) != wide) {
    delete[] text;
    return nullptr;
  }
  const wchar_t* own = text;
  if (wcsncmp(text, kGlobalPrefix, kGlobalPrefixLen) == 0) own += kGlobalPrefixLen;
  size_t ownLen = wcslen(own);
  wchar_t* full = new (std::nothrow) wchar_t[kGlobalPrefixLen + ownLen + 1];
  if (full) {
    memcpy(full, kGlobalPrefix, kGlobalPrefixLen * sizeof(wchar_t));
    for (size_t i = 0; i <= ownLen; ++i) full[kGlobalPrefixLen + i] = own[i] == L'\\' ? L'_' : own[i];
  }
  delete[] text;
  return full;
}

static const DWORD kNamedAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

static HANDLE open_shared_mutex(const wchar_t* name) {
  // An ACL that grants everyone the right to wait on and release the mutex.
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) return nullptr;
  DWORD aclSize = (DWORD)(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(everyone));
  ACL* acl = static_cast<ACL*>(operator new(aclSize, std::nothrow));
  HANDLE h = nullptr;
  SECURITY_DESCRIPTOR sd;
  if (acl && InitializeAcl(acl, aclSize, ACL_REVISION) &&
      AddAccessAllowedAce(acl, ACL_REVISION, kNamedAccess, everyone) &&
      InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) && SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE)) {
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = &sd;
    sa.bInheritHandle = FALSE;
    // Asking for only these rights lets an existing mutex made by another
    // user be opened as well; CreateMutexW would ask for all access.
    h = CreateMutexExW(&sa, name, 0, kNamedAccess);
  }
  operator delete(acl, std::nothrow);
  FreeSid(everyone);
  return h;
}

vxp_named_mutex* vxp_named_mutex_open(const char* name) {
  if (!name) return nullptr;
  wchar_t* full = kernel_name(name);
  if (!full) return nullptr;
  HANDLE h = open_shared_mutex(full);
  if (!h) {
    delete[] full;
    return nullptr;
  }
  vxp_named_mutex* m = new (std::nothrow) vxp_named_mutex;
  if (!m) {
    CloseHandle(h);
    delete[] full;
    return nullptr;
  }
  m->h = h;
  m->held = false;
  m->name = full;
  AcquireSRWLockExclusive(&g_named_lock);
  m->next = g_named_list;
  g_named_list = m;
  ReleaseSRWLockExclusive(&g_named_lock);
  return m;
}

vxp_lock_result vxp_named_mutex_trylock(vxp_named_mutex* m) {
  if (!m) return VXP_LOCK_ERROR;
  AcquireSRWLockExclusive(&g_named_lock);
  vxp_lock_result result;
  if (m->held) {
    result = VXP_LOCKED;
  } else {
    bool heldHere = false;
    for (vxp_named_mutex* o = g_named_list; o && !heldHere; o = o->next)
      heldHere = o != m && o->held && wcscmp(o->name, m->name) == 0;
    result = heldHere ? VXP_BUSY : wait_outcome(WaitForSingleObject(m->h, 0));
    if (result == VXP_LOCKED) m->held = true;
  }
  ReleaseSRWLockExclusive(&g_named_lock);
  return result;
}

void vxp_named_mutex_unlock(vxp_named_mutex* m) {
  if (!m) return;
  AcquireSRWLockExclusive(&g_named_lock);
  if (m->held) {
    ReleaseMutex(m->h);
    m->held = false;
  }
  ReleaseSRWLockExclusive(&g_named_lock);
}

void vxp_named_mutex_close(vxp_named_mutex* m) {
  if (!m) return;
  AcquireSRWLockExclusive(&g_named_lock);
  if (m->held) ReleaseMutex(m->h);
  for (vxp_named_mutex** p = &g_named_list; *p; p = &(*p)->next) {
    if (*p == m) {
      *p = m->next;
      break;
    }
  }
  ReleaseSRWLockExclusive(&g_named_lock);
  CloseHandle(m->h);
  delete[] m->name;
  delete m;
}

// ---------------------------------------------------------------- threads --

struct vxp_thread {
  HANDLE h;
  vxp_thread_fn fn;
  void* arg;
};

static DWORD WINAPI thread_main(LPVOID p) {
  vxp_thread* t = static_cast<vxp_thread*>(p);
  t->fn(t->arg);
  return 0;
}

vxp_thread* vxp_thread_start(vxp_thread_fn fn, void* arg, size_t stackSize) {
  vxp_thread* t = new (std::nothrow) vxp_thread;
  if (!t) return nullptr;
  t->fn = fn;
  t->arg = arg;
  // stackSize is the initial commitment; the stack grows on demand up to the
  // reservation in the executable's header, so small values are safe.
  t->h = CreateThread(nullptr, stackSize, thread_main, t, 0, nullptr);
  if (!t->h) {
    delete t;
    return nullptr;
  }
  return t;
}

void vxp_thread_join(vxp_thread* t) {
  if (!t) return;
  WaitForSingleObject(t->h, INFINITE);
  CloseHandle(t->h);
  delete t;
}

// --------------------------------------------------------------- loading --

void* vxp_dl_open(const char* fileName) {
  if (!fileName) return nullptr;
  int wide = MultiByteToWideChar(CP_ACP, 0, fileName, -1, nullptr, 0);
  if (wide <= 0) return nullptr;
  wchar_t* name = new (std::nothrow) wchar_t[(size_t)wide];
  if (!name) return nullptr;
  HMODULE lib = nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, fileName, -1, name, wide) == wide) lib = LoadLibraryW(name);
  delete[] name;
  return reinterpret_cast<void*>(lib);
}

void* vxp_dl_sym(void* lib, const char* name) {
  if (!lib || !name) return nullptr;
  FARPROC f = GetProcAddress(static_cast<HMODULE>(lib), name);
  // Function and object pointers have the same size and form on Windows.
  void* p;
  static_assert(sizeof p == sizeof f, "function pointers must fit in void*");
  memcpy(&p, &f, sizeof p);
  return p;
}

void vxp_dl_close(void* lib) {
  if (lib) FreeLibrary(static_cast<HMODULE>(lib));
}

// ---------------------------------------------------------------- clocks --

uint32_t vxp_tick_ms() { return (uint32_t)GetTickCount(); }

int64_t vxp_wall_ms() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  // 100 ns units since 1601-01-01; 11644473600 s separate that from 1970.
  uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
  const uint64_t epochDiff = 116444736000000000ull;
  return ((int64_t)t - (int64_t)epochDiff) / 10000;
}

void vxp_sleep_ms(uint32_t ms) { Sleep(ms); }

// ------------------------------------------------------ attach / detach --

// Only process attach and detach matter; thread notifications are turned off
// so that thread starts in the host do not take the loader lock for us. When
// this file is linked into an executable, Windows never calls this.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    vx_lib_attach();
  } else if (reason == DLL_PROCESS_DETACH) {
    vx_lib_detach();
  }
  return TRUE;
}
