#include "net/RelayHeader.h"

#include "platform/ByteOrder.h"

namespace net {

using platform::GetU32;
using platform::GetU64;
using platform::PutU32;
using platform::PutU64;

std::array<std::uint8_t, kRelayHeaderSize> EncodeRelayHeader(const RelayHeader& header) {
    std::array<std::uint8_t, kRelayHeaderSize> bytes{};
    PutU32(&bytes[0], header.type);
    PutU64(&bytes[4], header.connA);
    PutU64(&bytes[12], header.connB);
    PutU32(&bytes[20], header.status);
    PutU64(&bytes[24], header.length);
    return bytes;
}

RelayHeader DecodeRelayHeader(std::span<const std::uint8_t, kRelayHeaderSize> bytes) {
    return {GetU32(&bytes[0]), GetU64(&bytes[4]), GetU64(&bytes[12]), GetU32(&bytes[20]),
            GetU64(&bytes[24])};
}

}  // namespace net
