// The simulator's portmapper (RFC 1833 version 2), which tells VXI-11 clients
// the core channel's port, and a client that registers that port with a
// portmapper of the system's (rpcbind) instead.
#ifndef VXSIM_PORTMAP_H
#define VXSIM_PORTMAP_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vxsim {

inline constexpr std::uint32_t kVxiCoreProg = 0x0607AF;
inline constexpr std::uint32_t kVxiAbortProg = 0x0607B0;

// Answers one portmapper call message. False: send nothing (not a call, or a
// CALLIT over UDP, which a portmapper answers only on success).
bool portmap_answer(const std::uint8_t* msg, std::size_t len, unsigned core_port, bool udp,
                    std::vector<std::uint8_t>& reply);

// PMAPPROC_UNSET and then (if set) PMAPPROC_SET of the core program, TCP,
// `core_port`, sent over UDP to the portmapper on 127.0.0.1:111 from a
// reserved port. False (after logging) when it does not answer true.
bool portmap_register(unsigned core_port, bool set);

}  // namespace vxsim

#endif  // VXSIM_PORTMAP_H
