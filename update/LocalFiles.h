#pragma once
// File helpers of the update run.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/Result.h"

namespace Zelt {

// The whole file; kFail (and no bytes) when it cannot be opened or read
// completely, or is 4 GiB or larger. Without followLinks a symbolic link at
// the path is refused.
HRESULT ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out,
                      bool followLinks = true);

// Creates the file (mode 0600) only when nothing, not even a symbolic link,
// has that name yet, and writes the bytes; kFail leaves nothing behind.
HRESULT WriteNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// A file name from the service, "\" separated, that cannot lead out of the
// program directory: not empty, relative (no leading separator, no drive
// "C:"), no empty, "." or ".." component, no NUL.
bool IsSafeRelativeName(std::wstring_view name);

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

// A private directory "<tmp>/zipXXXXXX" (mode 0700, made with mkdtemp) for
// one run's local signature archive. Destroying it removes the archive and
// the directory, however the run ended.
class TempArchive {
  public:
    TempArchive();
    ~TempArchive();
    TempArchive(const TempArchive&) = delete;
    TempArchive& operator=(const TempArchive&) = delete;

    // "<directory>/signatures.zip"; empty when no directory could be made.
    const std::wstring& path() const { return path_; }

  private:
    std::filesystem::path directory_;
    std::wstring path_;
};

}  // namespace Zelt
