#pragma once
// A plain GET that returns the whole body at once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "http/Http.h"

namespace http {

struct GetOptions {
    std::string userAgent;
    // Trusted certificates for HTTPS (PEM file); empty = the system's.
    std::string caFile;
    // Both limits always apply, so a start without network cannot stall.
    long connectTimeoutMs = 5000;
    long timeoutMs = 15000;
    // Longer replies are refused rather than held in memory.
    std::size_t maxBodyBytes = 1024 * 1024;
};

struct GetReply {
    Status status = Status::Failed;
    std::vector<std::uint8_t> body;  // empty unless status is Ok
};

// Follows up to five redirects (HTTP and HTTPS only). An HTTP error status
// is a failure: an error page never passes for a reply.
GetReply Get(std::string_view url, const GetOptions& options = {});

}  // namespace http
