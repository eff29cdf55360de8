// Platform layer, the wrapping millisecond tick, the wall clock, sleeping.
// posix/clock.cpp and win/clock.cpp define the same functions and the build
// picks one; nothing above platform/ knows which.
#ifndef VX_PLATFORM_CLOCK_H
#define VX_PLATFORM_CLOCK_H

#include <cstdint>

// Milliseconds since some fixed point, wrapping at 2^32; use unsigned
// differences only.
uint32_t vxp_tick_ms();
// Wall clock: milliseconds since 1970-01-01 UTC.
int64_t vxp_wall_ms();
void vxp_sleep_ms(uint32_t ms);

#endif
