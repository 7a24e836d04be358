#pragma once
// Reproducible noise for the codec tests: the same seed gives the same bytes
// on every platform.
#include <cstdint>
#include <random>
#include <vector>

namespace codectest {

inline std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    return bytes;
}

}  // namespace codectest
