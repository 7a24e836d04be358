#include "net/RelayHeader.h"

namespace net {

namespace {

template <typename T>
void Put(std::uint8_t* out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
T Get(const std::uint8_t* in) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<T>(in[i]) << (8 * i);
    return value;
}

}  // namespace

std::array<std::uint8_t, kRelayHeaderSize> EncodeRelayHeader(const RelayHeader& header) {
    std::array<std::uint8_t, kRelayHeaderSize> bytes{};
    Put(&bytes[0], header.type);
    Put(&bytes[4], header.connA);
    Put(&bytes[12], header.connB);
    Put(&bytes[20], header.status);
    Put(&bytes[24], header.length);
    return bytes;
}

RelayHeader DecodeRelayHeader(std::span<const std::uint8_t, kRelayHeaderSize> bytes) {
    RelayHeader header;
    header.type = Get<std::uint32_t>(&bytes[0]);
    header.connA = Get<std::uint64_t>(&bytes[4]);
    header.connB = Get<std::uint64_t>(&bytes[12]);
    header.status = Get<std::uint32_t>(&bytes[20]);
    header.length = Get<std::uint64_t>(&bytes[24]);
    return header;
}

}  // namespace net
