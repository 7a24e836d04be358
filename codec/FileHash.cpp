#include "codec/FileHash.h"

#include <xxhash.h>
#if defined(__x86_64__)
#include <xxh_x86dispatch.h>
#endif

#include <algorithm>
#include <new>

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
    if (bytes.empty())
        return;
        // Every deployed byte passes here on both sides: on x86-64 the library
        // picks the widest vector unit at run time (AVX2 where there is one).
#if defined(__x86_64__)
    XXH3_128bits_update_dispatch(state_.get(), bytes.data(), bytes.size());
#else
    XXH3_128bits_update(state_.get(), bytes.data(), bytes.size());
#endif
}

FileDigest FileHash::Digest() const {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_.get()));
    FileDigest digest;
    std::copy_n(canonical.digest, digest.size(), digest.begin());
    return digest;
}

}  // namespace DIFFLIB
