// The 40-byte header of a deployment message: decoding and encoding again
// gives the same bytes, reserved bytes aside.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "deploy/DeployChannel.h"

using namespace deploy;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kDeployHeaderSize)
        return 0;
    std::array<std::uint8_t, kDeployHeaderSize> raw;
    std::memcpy(raw.data(), data, raw.size());
    const DeployHeader header = DecodeDeployHeader(raw);
    std::array<std::uint8_t, kDeployHeaderSize> again;
    EncodeDeployHeader(header, again);
    std::memset(raw.data() + 4, 0, 4);
    std::memset(raw.data() + 36, 0, 4);
    if (raw != again)
        __builtin_trap();
    return 0;
}
