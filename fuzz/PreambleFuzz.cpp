// The head of a tunnel stream: the preamble read whole, and collected from
// pieces of every size, must agree.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "quic/Bridge.h"

using namespace quic;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> head(data, size);
    const auto port = ParsePreamble(head);
    if (port && (*port < 1 || *port > 65535))
        __builtin_trap();
    // Pieces of 1, 2, 3, ... bytes; the size of the first comes from the input.
    PreambleCollector collector;
    PreambleCollector::Outcome outcome;
    std::size_t at = 0;
    std::size_t piece = size == 0 ? 1 : data[0] % 7 + 1;
    while (at < size && outcome.state == PreambleCollector::State::Collecting) {
        const std::size_t take = std::min(piece++, size - at);
        outcome = collector.Add(head.subspan(at, take));
        at += take;
    }
    if (size < kPreambleSize) {
        if (outcome.state != PreambleCollector::State::Collecting)
            __builtin_trap();
        return 0;
    }
    const bool found = outcome.state == PreambleCollector::State::Found;
    if (found != port.has_value() || (found && outcome.port != *port))
        __builtin_trap();
    if (found && !std::equal(outcome.rest.begin(), outcome.rest.end(), head.begin() + kPreambleSize,
                             head.begin() + at))
        __builtin_trap();
    return 0;
}
