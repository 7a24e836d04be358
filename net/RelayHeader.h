#pragma once
// The 32-byte header in front of every message on the relay's control
// connection. All integers are little-endian, without padding.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace net {

inline constexpr std::uint32_t RELAY_OPEN = 1;
inline constexpr std::uint32_t RELAY_DATA = 2;
inline constexpr std::uint32_t RELAY_CLOSE = 3;

inline constexpr std::size_t kRelayHeaderSize = 32;

struct RelayHeader {
    std::uint32_t type = 0;
    std::uint64_t connA = 0;
    std::uint64_t connB = 0;
    std::uint32_t status = 0;
    std::uint64_t length = 0;
};

std::array<std::uint8_t, kRelayHeaderSize> EncodeRelayHeader(const RelayHeader& header);
RelayHeader DecodeRelayHeader(std::span<const std::uint8_t, kRelayHeaderSize> bytes);

}  // namespace net
