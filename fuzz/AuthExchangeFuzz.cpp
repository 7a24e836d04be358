// The shared-secret exchange fed what a peer sends, in pieces of any size:
// each side takes no more than it wants, never a byte past the exchange, and
// never passes on bytes that were not made with the secret.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "auth/PeerAuth.h"

using namespace auth;

namespace {

// Feeds `input` to `exchange` in pieces whose sizes come from `sizes`.
void FeedInPieces(Exchange& exchange, std::span<const std::uint8_t> input,
                  std::span<const std::uint8_t> sizes) {
    std::size_t next = 0;
    while (!input.empty()) {
        const std::size_t piece = std::min<std::size_t>(
            input.size(), sizes.empty() ? input.size() : 1 + sizes[next++ % sizes.size()] % 80);
        const std::size_t wanted = exchange.Wanted();
        const std::size_t taken = exchange.Feed(input.first(piece));
        if (taken > wanted || taken > piece || (wanted > 0 && taken == 0))
            __builtin_trap();
        exchange.TakeOutgoing();
        if (taken == 0)
            break;  // over: what follows belongs to the connection
        input = input.subspan(taken);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t split = std::min<std::size_t>(data[0], size - 1);
    const std::span<const std::uint8_t> sizes(data + 1, split);
    const std::span<const std::uint8_t> input(data + 1 + split, size - 1 - split);
    const Secret secret("fuzz secret");
    const auto binding = ChannelBinding(kTcpRelayChannel);
    Exchange server(Exchange::Role::Server, secret, binding);
    FeedInPieces(server, input, sizes);
    Exchange client(Exchange::Role::Client, secret, binding);
    FeedInPieces(client, input, sizes);
    // Fresh nonces on both sides: no input made without them can pass.
    if (server.Passed() || client.Passed())
        __builtin_trap();
    return 0;
}
