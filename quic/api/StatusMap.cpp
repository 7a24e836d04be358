#include "quic/api/StatusMap.h"

#include <ngtcp2/ngtcp2.h>

namespace quicapi {

namespace {

constexpr uint8_t kAlertNoApplicationProtocol = 120;

}  // namespace

QUIC_STATUS StatusFromAlert(uint8_t alert) {
    switch (alert) {
        case kAlertNoApplicationProtocol:
            return QUIC_STATUS_ALPN_NEG_FAILURE;
        case 42:  // bad_certificate
        case 43:  // unsupported_certificate
        case 44:  // certificate_revoked
        case 45:  // certificate_expired
        case 46:  // certificate_unknown
        case 48:  // unknown_ca
            return QUIC_STATUS_BAD_CERTIFICATE;
        default:
            return QUIC_STATUS_TLS_ERROR;
    }
}

QUIC_STATUS StatusFromTransportError(uint64_t code) {
    if (code == NGTCP2_NO_ERROR)
        return QUIC_STATUS_ABORTED;
    if (code == NGTCP2_CONNECTION_REFUSED)
        return QUIC_STATUS_CONNECTION_REFUSED;
    if (code >= NGTCP2_CRYPTO_ERROR && code <= NGTCP2_CRYPTO_ERROR + 0xff)
        return StatusFromAlert(static_cast<uint8_t>(code - NGTCP2_CRYPTO_ERROR));
    return QUIC_STATUS_PROTOCOL_ERROR;
}

}  // namespace quicapi
