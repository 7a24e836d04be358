// A stream of deployment messages as a peer sends them over the control
// stream: every message is read under a cap, whatever its header announces,
// and reading ends with a defined error at the end of the bytes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "deploy/DeployChannel.h"

using namespace deploy;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint64_t kCap = 64 * 1024;
    DeployChannel channel;
    channel.inbox.Push(std::span(data, size));
    channel.inbox.Close();
    DeployHeader header;
    std::vector<std::uint8_t> payload;
    for (int i = 0; i < 64; ++i) {
        const DeployError error = ReadMessage(channel, true, header, payload, kCap);
        if (error != DeployError::None)
            break;
        if (payload.size() != header.size || payload.size() > kCap)
            __builtin_trap();
    }
    return 0;
}
