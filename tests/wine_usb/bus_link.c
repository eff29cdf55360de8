/* Winsock and kernel32 calls for the test driver (see bus_link.h). */
#include <winsock2.h>
#include <windows.h>

#include "bus_link.h"

static int start_winsock(void) {
  static LONG started;
  if (InterlockedCompareExchange(&started, 0, 0)) return 1;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
  InterlockedExchange(&started, 1);
  return 1;
}

bus_sock bus_connect(unsigned port) {
  if (!start_winsock()) return BUS_NO_SOCK;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return BUS_NO_SOCK;
  struct sockaddr_in to;
  ZeroMemory(&to, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((u_short)port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof on);
  if (connect(s, (struct sockaddr*)&to, sizeof to) != 0) {
    closesocket(s);
    return BUS_NO_SOCK;
  }
  return (bus_sock)s;
}

static int send_all(SOCKET s, const char* p, uint32_t n) {
  while (n > 0) {
    int k = send(s, p, n > 0x10000 ? 0x10000 : (int)n, 0);
    if (k <= 0) return 0;
    p += k;
    n -= (uint32_t)k;
  }
  return 1;
}

static int recv_all(SOCKET s, char* p, uint32_t n) {
  while (n > 0) {
    int k = recv(s, p, n > 0x10000 ? 0x10000 : (int)n, 0);
    if (k <= 0) return 0;
    p += k;
    n -= (uint32_t)k;
  }
  return 1;
}

int bus_send_frame(bus_sock s, const void* body, uint32_t length) {
  unsigned char head[4] = {(unsigned char)length, (unsigned char)(length >> 8), (unsigned char)(length >> 16),
                           (unsigned char)(length >> 24)};
  return send_all((SOCKET)s, (const char*)head, 4) && send_all((SOCKET)s, (const char*)body, length);
}

int bus_recv_frame(bus_sock s, void* buf, uint32_t capacity, uint32_t* length) {
  unsigned char head[4];
  if (!recv_all((SOCKET)s, (char*)head, 4)) return 0;
  uint32_t n = head[0] | (uint32_t)head[1] << 8 | (uint32_t)head[2] << 16 | (uint32_t)head[3] << 24;
  if (n > capacity) return 0;
  if (!recv_all((SOCKET)s, (char*)buf, n)) return 0;
  *length = n;
  return 1;
}

void bus_shutdown(bus_sock s) {
  if (s != BUS_NO_SOCK) shutdown((SOCKET)s, SD_BOTH);
}

void bus_close(bus_sock s) {
  if (s != BUS_NO_SOCK) closesocket((SOCKET)s);
}

void* bus_lock_new(void) {
  CRITICAL_SECTION* cs = (CRITICAL_SECTION*)HeapAlloc(GetProcessHeap(), 0, sizeof *cs);
  if (cs) InitializeCriticalSection(cs);
  return cs;
}

void bus_lock(void* lock) { EnterCriticalSection((CRITICAL_SECTION*)lock); }
void bus_unlock(void* lock) { LeaveCriticalSection((CRITICAL_SECTION*)lock); }

void bus_lock_free(void* lock) {
  if (!lock) return;
  DeleteCriticalSection((CRITICAL_SECTION*)lock);
  HeapFree(GetProcessHeap(), 0, lock);
}

void* bus_thread(unsigned long(__attribute__((stdcall)) * fn)(void*), void* arg) {
  return CreateThread(NULL, 0, (LPTHREAD_START_ROUTINE)fn, arg, 0, NULL);
}

void bus_join(void* thread) {
  if (!thread) return;
  WaitForSingleObject((HANDLE)thread, INFINITE);
  CloseHandle((HANDLE)thread);
}

void bus_sleep(unsigned ms) { Sleep(ms); }

void* bus_alloc(size_t n) { return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, n); }
void bus_free(void* p) {
  if (p) HeapFree(GetProcessHeap(), 0, p);
}
