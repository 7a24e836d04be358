#pragma once
// The program's one HTTP client, over libcurl. This module owns libcurl: its
// process-wide set-up (done once, by whichever thread asks first) and every
// transfer handle. Two callers use it, each on its own thread and each
// blocking that thread for the length of a transfer: address discovery
// (Get, from the thread that prepares the host certificate) and the update
// library's REST client (Transfer, from the update thread). Nothing here
// starts a thread or keeps state between calls beyond libcurl's set-up.
#include <cstdint>

namespace http {

// The outcome of a transfer step.
enum class Status : std::uint8_t {
    Ok,
    // No handle, a bad URL, no connection, a transport or HTTP error.
    Failed,
    // Stopped by the caller: its cancel flag or its upload source.
    Aborted,
    // The reply was longer than the caller allows.
    TooLarge,
    // The server asked for a client certificate during the TLS handshake.
    ClientCertificateNeeded,
};

}  // namespace http
