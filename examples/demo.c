/* The main job in a few lines: open a link, ask an instrument who it is,
 * print the answer and the call log it left. It is also the program that the
 * install check builds against an installed copy of the library. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <winsock2.h>
#include <iphlpapi.h>
#else
#include <net/if.h>
#endif

#include "vx_comm.h"

/* The demo talks to the simulator only: it refuses to run anywhere but in a
 * private network namespace whose only interface is the loopback. */
#ifdef _WIN32
/* Under Wine the adapters are those of the namespace the wineserver runs
 * in; the wrapper that made the namespace says so too. */
static int isolated(void) {
  const char* flag = getenv("VX_NETNS_ISOLATED");
  if (!flag || strcmp(flag, "1") != 0) return 0;
  static unsigned char buf[64 * 1024];
  ULONG size = sizeof buf;
  ULONG rc = GetAdaptersAddresses(AF_UNSPEC, 0, NULL, (IP_ADAPTER_ADDRESSES*)buf, &size);
  if (rc == ERROR_NO_DATA) return 1;
  if (rc != NO_ERROR) return 0;
  for (IP_ADAPTER_ADDRESSES* a = (IP_ADAPTER_ADDRESSES*)buf; a; a = a->Next)
    if (a->IfType != IF_TYPE_SOFTWARE_LOOPBACK) return 0;
  return 1;
}
#else
static int isolated(void) {
  struct if_nameindex* list = if_nameindex();
  int ok = list != NULL;
  for (struct if_nameindex* i = list; ok && i->if_index != 0; ++i)
    if (strcmp(i->if_name, "lo") != 0) ok = 0;
  if (list) if_freenameindex(list);
  return ok;
}
#endif

int main(int argc, char** argv) {
  if (!isolated()) {
    fprintf(stderr, "vxdemo: refusing to run outside a private network namespace (run scripts/demo.sh)\n");
    return 2;
  }
  const char* address = argc > 1 ? argv[1] : "TCP-127.0.0.2";
  const char* logPath = argc > 2 ? argv[2] : "vxdemo.log";
  char reply[256];
  ViInt32 linkId = -1, n = 0;

  vx_usb_startdebug(logPath);
  if (vx_comm_open(address, 1000, &linkId) != VI_SUCCESS || linkId < 0) {
    fprintf(stderr, "vxdemo: cannot open %s\n", address);
    return 1;
  }
  ViStatus status = vx_comm_puts(linkId, "*IDN?", 0, &n);
  if (status == VI_SUCCESS) status = vx_comm_gets(linkId, reply, sizeof reply, &n);
  vx_comm_close(linkId);
  vx_usb_stopdebug();
  if (status != VI_SUCCESS) {
    fprintf(stderr, "vxdemo: *IDN? failed with status %d\n", (int)status);
    return 1;
  }
  printf("vx_comm_lib %s; %s answers: %s", VX_COMM_VERSION, address, reply);

  printf("\ncall log (%s):\n", logPath);
  FILE* f = fopen(logPath, "r");
  if (f) {
    char line[512];
    while (fgets(line, sizeof line, f)) fputs(line, stdout);
    fclose(f);
  }
  return 0;
}
