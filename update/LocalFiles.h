#pragma once
// File helpers of the update run.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "update/Result.h"

namespace Zelt {

// The whole file; kFail (and no bytes) when it cannot be opened or read
// completely, or is 4 GiB or larger.
HRESULT ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out);

// Every regular file under `directory` (directory links are not followed),
// with its name relative to the directory in "\" form. The visitor returns
// false to stop the walk; the walk's own errors throw filesystem_error.
void WalkFiles(const std::filesystem::path& directory,
               const std::function<bool(const std::filesystem::path& full,
                                        const std::wstring& relative)>& visit);

// Writes the bytes to a new temporary file beside `target`, flushed to disk,
// with the mode of `target` (or 0755 less the umask when it does not exist).
// The temporary path on success, empty on failure (nothing left behind).
std::filesystem::path WriteTempBeside(const std::filesystem::path& target,
                                      std::span<const std::uint8_t> bytes);

// A new empty path "<tmp>/zipXXXXXX.zip" for the local signature archive.
std::wstring TempArchivePath();

}  // namespace Zelt
