// The few system calls the tool makes itself, one file per OS: host names,
// the file a fetch writes, and its removal when a signal ends the tool.
#ifndef VXCOMM_SYSTEM_H
#define VXCOMM_SYSTEM_H

#include <cstdio>
#include <string>

// The first IPv4 address of host, as dotted text. False with the reason in
// *error when the name does not resolve to one. May take as long as the
// system's resolver does (callers bound it).
bool vxcomm_resolve_ipv4(const std::string& host, std::string* dotted, std::string* error);

// The file a fetch writes. A regular file, or a name not yet taken, gets a
// temporary file beside it (`temp`), renamed over it only once the result is
// whole, so a failed fetch leaves it as it was. Anything else (a device such
// as /dev/null, a FIFO) is written straight (`temp` empty): a rename would
// replace the node itself. A symbolic link is followed: the regular file it
// names is the one replaced, beside itself, and the link stays.
struct VxcommOutput {
  FILE* f = nullptr;
  std::string temp;  // empty when written straight
  std::string dest;  // what the temporary file replaces
};
// Null f with the reason in *error when the file cannot be made.
bool vxcomm_output_open(const std::string& target, VxcommOutput* out, std::string* error);
// Closes the file and, for a temporary one, renames it over dest. False
// with the reason in *error.
bool vxcomm_output_finish(VxcommOutput* out, std::string* error);
// Closes the file and removes a temporary one.
void vxcomm_output_discard(VxcommOutput* out);

// Standard output, set to pass bytes unchanged (Windows would make each
// LF a CR LF).
FILE* vxcomm_binary_stdout();

// While a temporary file exists, a SIGINT or SIGTERM (Ctrl+C, Ctrl+Break,
// closing the console on Windows) removes it before the tool ends as the
// signal would end it. Null stops that.
void vxcomm_remove_on_signal(const char* path);

#endif
