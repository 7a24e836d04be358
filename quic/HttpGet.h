#pragma once
// A plain HTTP(S) GET for the address service: direct connection (no proxy),
// user agent "Marvolent", the body as bytes, empty on any failure.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quic {

struct HttpGetOptions {
    // Trusted certificates for HTTPS (PEM file); empty = the system's.
    std::string caFile;
    // A start without network must not stall: both limits always apply.
    long connectTimeoutMs = 5000;
    long timeoutMs = 15000;
    // Longer replies are treated as failures rather than held in memory.
    std::size_t maxBodyBytes = 1024 * 1024;
};

std::vector<std::uint8_t> HttpGet(std::string_view url);
std::vector<std::uint8_t> HttpGet(std::string_view url, const HttpGetOptions& options);

}  // namespace quic
