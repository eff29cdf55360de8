// The few system calls the tool makes itself, one file per OS: host names,
// a connection attempt with a time limit, and files replaced whole.
#ifndef VXCOMM_SYSTEM_H
#define VXCOMM_SYSTEM_H

#include <cstdio>
#include <string>

// The first IPv4 address of host, as dotted text. False with the reason in
// *error when the name does not resolve to one.
bool vxcomm_resolve_ipv4(const std::string& host, std::string* dotted, std::string* error);

enum VxcommConnect { kConnectMade, kConnectNoAnswer, kConnectFailed };
// Opens and closes one TCP connection to dotted:port, giving up after ms.
// kConnectFailed comes with the system's reason in *error.
VxcommConnect vxcomm_connect_within(const std::string& dotted, unsigned port, int ms, std::string* error);

// A new file beside target, opened for binary writing, for a result that
// replaces target only once it is whole. Null with the reason in *error.
FILE* vxcomm_create_beside(const std::string& target, std::string* temp, std::string* error);
// Renames from to to, replacing to. False with the reason in *error.
bool vxcomm_replace_file(const std::string& from, const std::string& to, std::string* error);

#endif
