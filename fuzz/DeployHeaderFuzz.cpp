// The 40-byte header of a deployment message: decoding and encoding again
// gives the same bytes, reserved bytes aside.
#include <cstring>

#include "FixedInput.h"
#include "deploy/DeployChannel.h"

using namespace deploy;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto raw = FixedInput<kDeployHeaderSize>(data, size);
    if (!raw)
        return 0;
    std::array<std::uint8_t, kDeployHeaderSize> again;
    EncodeDeployHeader(DecodeDeployHeader(*raw), again);
    std::memset(raw->data() + 4, 0, 4);
    std::memset(raw->data() + 36, 0, 4);
    if (*raw != again)
        __builtin_trap();
    return 0;
}
