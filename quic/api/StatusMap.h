#pragma once
// How TLS alerts and QUIC transport error codes that end a connection map
// onto this layer's QUIC_STATUS values.
#include <cstdint>

#include "quic/api/msquic_api.h"

namespace quicapi {

// A TLS alert: certificate alerts are QUIC_STATUS_BAD_CERTIFICATE, a failed
// ALPN negotiation QUIC_STATUS_ALPN_NEG_FAILURE, the rest QUIC_STATUS_TLS_ERROR.
QUIC_STATUS StatusFromAlert(uint8_t alert);

// A transport error code from a CONNECTION_CLOSE frame: NO_ERROR is an abort,
// crypto errors map as their alert does.
QUIC_STATUS StatusFromTransportError(uint64_t code);

}  // namespace quicapi
