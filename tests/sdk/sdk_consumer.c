/* A Windows host program built as an SDK user builds it: the header and the
 * MSVC import library of the archive, the archive's DLL beside it. Checks
 * that the DLL's version resource and vx_comm_version give the release
 * named by argv[1], that a failed open leaves its reason for
 * vx_comm_lastError, then queries the first simulated instrument (and asks
 * its raw TCP link for the lock it does not have). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "vx_comm.h"

static int failures = 0;

static void expect(int ok, const char* what, const char* got) {
  if (!ok) {
    fprintf(stderr, "sdk_consumer: %s (got '%s')\n", what, got);
    ++failures;
  }
}

static void check_resource(const char* want) {
  wchar_t path[MAX_PATH];
  HMODULE dll = GetModuleHandleW(L"vx_comm_lib.dll");
  if (!dll || !GetModuleFileNameW(dll, path, MAX_PATH)) {
    expect(0, "vx_comm_lib.dll is not loaded", "");
    return;
  }
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  void* info = size ? malloc(size) : NULL;
  if (!info || !GetFileVersionInfoW(path, 0, size, info)) {
    expect(0, "the DLL has no version resource", "");
    free(info);
    return;
  }
  VS_FIXEDFILEINFO* fixed = NULL;
  UINT len = 0;
  char got[64] = "";
  if (VerQueryValueW(info, L"\\", (void**)&fixed, &len) && fixed && len >= sizeof *fixed) {
    snprintf(got, sizeof got, "%lu.%lu.%lu.%lu", (unsigned long)HIWORD(fixed->dwFileVersionMS),
             (unsigned long)LOWORD(fixed->dwFileVersionMS), (unsigned long)HIWORD(fixed->dwFileVersionLS),
             (unsigned long)LOWORD(fixed->dwFileVersionLS));
    char wantFixed[64];
    snprintf(wantFixed, sizeof wantFixed, "%s.0", want);
    expect(strcmp(got, wantFixed) == 0, "file version of the resource", got);
    expect(fixed->dwProductVersionMS == fixed->dwFileVersionMS && fixed->dwProductVersionLS == fixed->dwFileVersionLS,
           "product version differs from the file version", got);
  } else {
    expect(0, "no fixed file version in the resource", "");
  }
  const wchar_t* keys[] = {L"\\StringFileInfo\\040904B0\\FileVersion", L"\\StringFileInfo\\040904B0\\ProductVersion"};
  for (int k = 0; k < 2; ++k) {
    wchar_t* text = NULL;
    char narrow[64] = "";
    if (VerQueryValueW(info, keys[k], (void**)&text, &len) && text)
      WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, NULL, NULL);
    expect(strcmp(narrow, want) == 0, k ? "ProductVersion text" : "FileVersion text", narrow);
  }
  free(info);
}

static void check_query(void) {
  const char* addrs = getenv("VX_TEST_ADDRS");
  char address[64] = "TCP-127.0.0.2";
  if (addrs && *addrs) snprintf(address, sizeof address, "TCP-%.*s", (int)strcspn(addrs, " "), addrs);
  ViInt32 link = -1;
  char reply[256] = "";
  ViStatus s = vx_comm_open(address, 2000, &link);
  expect(s == VI_SUCCESS && link > 0, "open", address);
  if (link <= 0) return;
  s = vx_comm_puts(link, "*IDN?", 0, NULL);
  if (s == VI_SUCCESS) s = vx_comm_gets(link, reply, sizeof reply, NULL);
  if (s != VI_SUCCESS) vx_comm_statusDesc(s, reply, sizeof reply);
  expect(s == VI_SUCCESS && strncmp(reply, "VXSIM,", 6) == 0, "query *IDN?", reply);
  /* The lock calls resolve through the import library; raw TCP has none. */
  expect(vx_comm_lock(link, 0) == VI_ERROR_NSUP_OPER && vx_comm_unlock(link) == VI_ERROR_NSUP_OPER,
         "lock on raw TCP not supported", address);
  {
    ViUInt16 stb = 0;
    expect(vx_comm_enableSrq(link, 1) == VI_ERROR_NSUP_OPER &&
               vx_comm_waitSrq(link, 0, &stb, NULL) == VI_ERROR_NENABLED,
           "service requests on raw TCP not supported", address);
  }
  vx_comm_close(link);
}

static void check_last_error(void) {
  const char want[] = "vx_comm_open() error: '300.1.1.1' is not an IPv4 address";
  char reason[1024] = "";
  ViInt32 link = 0;
  vx_comm_open("TCP-300.1.1.1", 1000, &link);
  ViStatus s = vx_comm_lastError(reason, sizeof reason);
  expect(s == VI_SUCCESS && link == -1 && strncmp(reason, want, sizeof want - 1) == 0, "vx_comm_lastError", reason);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: sdk_consumer VERSION\n");
    return 2;
  }
  expect(strcmp(vx_comm_version(), argv[1]) == 0, "vx_comm_version", vx_comm_version());
  check_resource(argv[1]);
  check_last_error();
  check_query();
  if (!failures) printf("sdk_consumer: %s, version resource, last error and query fine\n", argv[1]);
  return failures ? 1 : 0;
}
