// The 32-byte header of a relay control message: decoding and encoding again
// gives the same bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/RelayHeader.h"

using namespace net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kRelayHeaderSize)
        return 0;
    std::array<std::uint8_t, kRelayHeaderSize> raw;
    std::memcpy(raw.data(), data, raw.size());
    if (EncodeRelayHeader(DecodeRelayHeader(raw)) != raw)
        __builtin_trap();
    return 0;
}
