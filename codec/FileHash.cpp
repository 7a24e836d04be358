#include "codec/FileHash.h"

#include <xxhash.h>

#include <algorithm>
#include <new>
#include <vector>

namespace DIFFLIB {

void FileHash::FreeState::operator()(XXH3_state_s* state) const {
    XXH3_freeState(state);
}

FileHash::FileHash() : state_(XXH3_createState()) {
    if (!state_)
        throw std::bad_alloc();
    XXH3_128bits_reset(state_.get());
}

void FileHash::Update(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty())
        XXH3_128bits_update(state_.get(), bytes.data(), bytes.size());
}

FileDigest FileHash::Digest() const {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_.get()));
    FileDigest digest;
    std::copy_n(canonical.digest, digest.size(), digest.begin());
    return digest;
}

std::optional<std::size_t> HashingReader::Read(std::uint64_t offset,
                                               std::span<std::uint8_t> out) const {
    const std::optional<std::size_t> count = file_.Read(offset, out);
    if (count && offset <= hashed_ && offset + *count > hashed_) {
        const auto skip = static_cast<std::size_t>(hashed_ - offset);
        hash_.Update(out.subspan(skip, *count - skip));
        hashed_ = offset + *count;
    }
    return count;
}

std::optional<FileDigest> HashingReader::Digest() const {
    const std::optional<std::uint64_t> size = file_.Size();
    if (!size)
        return std::nullopt;
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::vector<std::uint8_t> piece;
    while (hashed_ < *size) {
        piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, *size - hashed_)));
        if (!ReadExactly(*this, hashed_, piece))
            return std::nullopt;
    }
    return hash_.Digest();
}

}  // namespace DIFFLIB
