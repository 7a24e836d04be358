#include "update/Sha256.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

namespace Zelt {

std::vector<std::uint8_t> Sha256(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> digest(gnutls_hash_get_len(GNUTLS_DIG_SHA256));
    static const std::uint8_t kEmpty = 0;
    const void* start = data.empty() ? &kEmpty : data.data();
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, start, data.size(), digest.data()) < 0)
        digest.clear();
    return digest;
}

}  // namespace Zelt
