#pragma once
// The strong hash of a whole file (XXH3-128), fed in pieces as the file is
// read or written, so that checking a file costs no read of its own: a
// deployment states the hash of the file it means the target to hold, and the
// receiver compares it with the hash of what it wrote.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

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

}  // namespace DIFFLIB
