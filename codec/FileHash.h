#pragma once
// The strong hash of a whole file (XXH3-128), fed in pieces as the file is
// read or written, so that checking a file costs no read of its own: a
// deployment states the hash of the file it means the target to hold, and the
// receiver compares it with what it wrote. HashingReader takes the hash from
// the reads another operation (signing the file) makes anyway.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "codec/Reader.h"

struct XXH3_state_s;

namespace DIFFLIB {

inline constexpr std::size_t kFileHashSize = 16;
// The hash in its canonical byte order (big-endian), as it travels.
using FileDigest = std::array<std::uint8_t, kFileHashSize>;

class FileHash {
  public:
    // std::bad_alloc when the state cannot be had.
    FileHash();
    void Update(std::span<const std::uint8_t> bytes);
    // Of everything fed so far; feeding may go on.
    FileDigest Digest() const;

  private:
    struct FreeState {
        void operator()(XXH3_state_s* state) const;
    };
    std::unique_ptr<XXH3_state_s, FreeState> state_;
};

// Passes reads on to `file` and hashes their bytes as far as they run on from
// the start without a gap (a read may repeat what an earlier one read).
class HashingReader final : public Reader {
  public:
    // `file` must outlive the reader.
    explicit HashingReader(const Reader& file) : file_(file) {}

    std::optional<std::uint64_t> Size() const override { return file_.Size(); }
    std::optional<std::size_t> Read(std::uint64_t offset,
                                    std::span<std::uint8_t> out) const override;

    // The hash of the whole file: what the reads have not covered is read
    // now. None when that read fails.
    std::optional<FileDigest> Digest() const;

  private:
    const Reader& file_;
    mutable FileHash hash_;
    mutable std::uint64_t hashed_ = 0;  // bytes from the start hashed so far
};

}  // namespace DIFFLIB
