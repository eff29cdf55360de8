// Test data pattern and checksum shared by vxsim, the library tests and the
// benchmark. Both sides must agree byte for byte, so keep this header free of
// anything but the language itself: it is also built for Windows.
#ifndef VXSIM_PATTERN_H
#define VXSIM_PATTERN_H

#include <cstddef>
#include <cstdint>

namespace vxsim {

// The pattern repeats every kPatternPeriod bytes. A prime period keeps it from
// lining up with any power-of-two buffer or chunk size, so a chunk that is
// dropped, duplicated or swapped still changes the byte sequence.
inline constexpr std::size_t kPatternPeriod = 65521;

namespace detail {

inline std::uint64_t splitmix64(std::uint64_t x) {
    std::uint64_t z = x + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct PatternTable {
    std::uint8_t bytes[kPatternPeriod];
    PatternTable() {
        for (std::size_t i = 0; i < kPatternPeriod; ++i)
            bytes[i] = static_cast<std::uint8_t>(splitmix64(i) >> 56);
    }
};

// Built on first use (thread-safe static); one 64 KiB table per program.
inline const std::uint8_t* pattern_table() {
    static const PatternTable table;
    return table.bytes;
}

inline void copy_bytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_memcpy(dst, src, n);
#else
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
#endif
}

}  // namespace detail

// Byte at position pos of the endless test pattern: not periodic over short
// spans so that a reordered, duplicated or dropped byte changes the checksum.
inline std::uint8_t pattern_byte(std::uint64_t pos) {
    return detail::pattern_table()[pos % kPatternPeriod];
}

// Fill out[0..len) with pattern bytes for positions start..start+len-1.
// Copies whole runs of the table, so it goes at memcpy speed.
inline void pattern_fill(std::uint64_t start, std::uint8_t* out, std::size_t len) {
    const std::uint8_t* table = detail::pattern_table();
    std::size_t off = static_cast<std::size_t>(start % kPatternPeriod);
    while (len > 0) {
        std::size_t run = kPatternPeriod - off;
        if (run > len) run = len;
        detail::copy_bytes(out, table + off, run);
        out += run;
        len -= run;
        off = 0;
    }
}

// FNV-1a 64-bit running checksum. Order-sensitive, so it catches reordering
// as well as corruption; feed it in any split, the result is the same.
struct Checksum {
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a 64 offset basis

    void update(const void* p, std::size_t n) {
        const std::uint8_t* b = static_cast<const std::uint8_t*>(p);
        std::uint64_t x = h;
        for (std::size_t i = 0; i < n; ++i) {
            x ^= b[i];
            x *= 1099511628211ull;
        }
        h = x;
    }

    std::uint64_t value() const { return h; }
};

// Checksum of pattern positions start..start+len-1, without a buffer: what a
// receiver of STREAM? expects, and what SINK answers for pattern data.
inline std::uint64_t pattern_checksum(std::uint64_t start, std::uint64_t len) {
    const std::uint8_t* table = detail::pattern_table();
    std::size_t off = static_cast<std::size_t>(start % kPatternPeriod);
    Checksum c;
    while (len > 0) {
        std::uint64_t run = kPatternPeriod - off;
        if (run > len) run = len;
        c.update(table + off, static_cast<std::size_t>(run));
        len -= run;
        off = 0;
    }
    return c.value();
}

}  // namespace vxsim

#endif  // VXSIM_PATTERN_H
