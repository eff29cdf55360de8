/* The user-mode half of the test driver: Wine runs drivers inside
 * winedevice.exe, an ordinary process, so the driver reaches the
 * simulator's USB bus over Winsock and completes its requests from threads
 * of its own. Kept apart from the kernel headers, which clash with the
 * Winsock ones. */
#ifndef VXUSB_BUS_LINK_H
#define VXUSB_BUS_LINK_H

#include <stddef.h>
#include <stdint.h>

typedef uintptr_t bus_sock;
#define BUS_NO_SOCK ((bus_sock)~(uintptr_t)0)

/* A connection to 127.0.0.1:port, or BUS_NO_SOCK. */
bus_sock bus_connect(unsigned port);
/* Sends one frame (length prefix and body). Nonzero on success. */
int bus_send_frame(bus_sock s, const void* body, uint32_t length);
/* Receives one frame into buf; its length through *length. Nonzero on
 * success; a frame longer than capacity is a failure. */
int bus_recv_frame(bus_sock s, void* buf, uint32_t capacity, uint32_t* length);
/* Ends both directions, so a receiving thread wakes up; the socket stays
 * open until bus_close. */
void bus_shutdown(bus_sock s);
void bus_close(bus_sock s);

/* A lock for the driver's lists and for the sends of one connection. */
void* bus_lock_new(void);
void bus_lock(void* lock);
void bus_unlock(void* lock);
void bus_lock_free(void* lock);

/* A thread running fn(arg); bus_join waits for its end and releases it. */
void* bus_thread(unsigned long (__attribute__((stdcall)) * fn)(void*), void* arg);
void bus_join(void* thread);

void bus_sleep(unsigned ms);

void* bus_alloc(size_t n);
void bus_free(void* p);

#endif
