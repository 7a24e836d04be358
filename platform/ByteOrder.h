#pragma once
// Little-endian integers in wire formats and file formats, written and read
// byte by byte so that no layout or alignment of the host matters.
#include <cstdint>

namespace platform {

inline void PutU32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void PutU64(std::uint8_t* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t GetU32(const std::uint8_t* in) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

inline std::uint64_t GetU64(const std::uint8_t* in) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

}  // namespace platform
