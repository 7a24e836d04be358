#pragma once
// A file replaced without ever losing the old one: the new bytes go to a
// fresh file beside the target (".<name>.vtrXXXXXX"), written as they come,
// and only a complete, flushed file is renamed over the target. Anything
// that goes wrong before (or an object destroyed before Commit) removes the
// fresh file and leaves the target as it was. Used by the receiver thread.
// The bytes go out through a SlabWriter (SlabWriter.h).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "deploy/DeployError.h"
#include "deploy/SlabWriter.h"
#include "platform/UniqueFd.h"

namespace deploy {

class FileReplacement {
  public:
    FileReplacement() = default;
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // Creates the missing parent directories and the fresh file (0666 less
    // the umask). Target when the target exists but is not a regular file,
    // or the fresh file cannot be made.
    DeployError Begin(const std::filesystem::path& target);
    DeployError Write(std::span<const std::uint8_t> bytes);
    // Keeps an existing target's permission bits (without setuid, setgid and
    // sticky), sets the last-write time when fileTime (FILETIME, 100 ns since
    // 1601) is not 0, flushes, and renames the file over the target.
    DeployError Commit(std::uint64_t fileTime = 0);
    // The fresh file's descriptor until Commit (-1 before Begin and after).
    int Descriptor() const { return fd_.get(); }

  private:
    std::filesystem::path target_;
    std::filesystem::path temp_;  // empty once renamed or removed
    platform::UniqueFd fd_;
    std::optional<SlabWriter> writer_;  // over fd_, which outlives it
    bool hadOld_ = false;
    unsigned oldMode_ = 0;
};

}  // namespace deploy
