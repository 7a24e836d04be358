#pragma once
// The signature of one whole file in the form the update service publishes
// and the update run compares with.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "update/rest/Result.h"

namespace Zelt {

// The engine could not be created ("DiffLib not available" has been shown).
inline constexpr HRESULT kEngineMissing = static_cast<HRESULT>(0x80040154u);

// kOk; kFail when the file cannot be opened or gives no signature (an empty
// file); kEngineMissing.
HRESULT FileSignature(const std::filesystem::path& path, std::vector<std::uint8_t>& out);

}  // namespace Zelt
