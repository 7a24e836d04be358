#pragma once
// Splitting of the host:port texts of the command line and configuration.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace app {

struct Settings;

struct Endpoint {
    std::string host;
    std::int32_t port = 0;
};

// Splits at the first colon. No colon: the whole text is the host and the
// port is the default. nullopt when the text after the colon does not start
// with a port number (0..65535) — such a text cannot be used later.
std::optional<Endpoint> ParseEndpoint(std::string_view text, std::int32_t defaultPort);

// The leading decimal number of a text, as atoi reads it (0 when none).
std::int32_t LeadingNumber(std::string_view text);

// Derives the host and port fields from the endpoint texts. Returns false and
// prints a message naming the faulty text when one of them cannot be parsed
// or a port setting lies outside 0..65535.
bool ApplyEndpoints(Settings& settings);

}  // namespace app
