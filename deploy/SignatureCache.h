#pragma once
// Signatures of the files this receiver last wrote or signed, kept so that
// the next request for the same file is answered without reading it. An
// entry holds only while the file is the very one it was made from: the same
// device, inode and size, and the same modification and change times to the
// nanosecond (a change time cannot be set back, so a file rewritten in place
// with its old modification time restored no longer matches). Bounded in
// bytes, oldest dropped first; in memory only, so nothing stale outlives the
// process. Used by the receiver thread alone.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace deploy {

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// None when the system cannot tell (or on Windows, where no entry is kept).
std::optional<FileIdentity> IdentityOf(int fd);
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);

using SharedSignature = std::shared_ptr<const std::vector<std::uint8_t>>;

class SignatureCache {
  public:
    static constexpr std::size_t kDefaultBudget = std::size_t{48} << 20;

    explicit SignatureCache(std::size_t budget = kDefaultBudget) : budget_(budget) {}

    // The signature kept for `path` if the file is still `identity`.
    SharedSignature Find(const std::filesystem::path& path, const FileIdentity& identity) const;
    // Keeps `signature` as that of `path` while it is `identity`, in place
    // of anything kept for it before; one larger than the budget is not kept.
    void Store(const std::filesystem::path& path, const FileIdentity& identity,
               SharedSignature signature);
    void Forget(const std::filesystem::path& path);

  private:
    struct Entry {
        std::filesystem::path path;
        FileIdentity identity;
        SharedSignature signature;
    };

    std::size_t budget_;
    std::size_t held_ = 0;
    std::vector<Entry> entries_;  // oldest first
};

}  // namespace deploy
