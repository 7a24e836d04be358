#pragma once
// The first N bytes of a fuzz input, for decoders of fixed-size records.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> FixedInput(const std::uint8_t* data, std::size_t size) {
    if (size < N)
        return std::nullopt;
    std::array<std::uint8_t, N> bytes;
    std::memcpy(bytes.data(), data, N);
    return bytes;
}
