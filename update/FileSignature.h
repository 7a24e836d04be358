#pragma once
// The signature of one whole file in the form the update service publishes
// and the update run compares with.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "update/Result.h"

namespace Zelt {

// kOk; kFail when the file cannot be opened or gives no signature (an empty
// file).
HRESULT FileSignature(const std::filesystem::path& path, std::vector<std::uint8_t>& out);

// The length of the file a signature describes (the sum of its chunks);
// nullopt for a signature this program cannot read.
std::optional<std::uint64_t> SignedLength(std::span<const std::uint8_t> signature);

}  // namespace Zelt
