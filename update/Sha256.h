#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace Zelt {
// SHA-256 of the bytes (32 bytes); empty only if the hash could not be made.
std::vector<std::uint8_t> Sha256(std::span<const std::uint8_t> data);
}  // namespace Zelt
