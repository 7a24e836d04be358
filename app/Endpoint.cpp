#include "app/Endpoint.h"

#include <cctype>
#include <limits>

#include "app/Settings.h"
#include "platform/Console.h"
#include "platform/Text.h"

namespace app {

namespace {

constexpr std::int64_t kMaxPort = 65535;

// Reads an optionally signed decimal number after leading white space, as the
// standard conversions do; nullopt when there are no digits or it overflows.
std::optional<std::int64_t> ScanDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i])))
        return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
    }
    return negative ? -value : value;
}

bool ValidPort(std::int64_t port) {
    return port >= 0 && port <= kMaxPort;
}

void ReportBadText(std::string_view what, std::string_view text) {
    platform::ConsoleWrite(L"Invalid " + platform::FromUtf8(what) + L" \"" +
                           platform::FromUtf8(text) + L"\": expected host:port\r\n");
}

}  // namespace

std::optional<Endpoint> ParseEndpoint(std::string_view text, std::int32_t defaultPort) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return Endpoint{std::string(text), defaultPort};
    const auto port = ScanDecimal(text.substr(colon + 1));
    if (!port || !ValidPort(*port))
        return std::nullopt;
    return Endpoint{std::string(text.substr(0, colon)), static_cast<std::int32_t>(*port)};
}

std::int32_t LeadingNumber(std::string_view text) {
    // atoi has no error path; an overflowing number counts as none.
    const auto value = ScanDecimal(text);
    return value ? static_cast<std::int32_t>(*value) : 0;
}

bool ApplyEndpoints(Settings& settings) {
    const std::pair<const char*, std::int32_t> ports[] = {
        {"--p1", settings.port1}, {"--p2", settings.port2}, {"--p3", settings.port3}};
    for (const auto& [name, value] : ports) {
        if (!ValidPort(value)) {
            platform::ConsoleWrite(L"Invalid port " + std::to_wstring(value) + L" for " +
                                   platform::FromUtf8(name) + L": expected 0 to 65535\r\n");
            return false;
        }
    }
    if (!settings.clientText.empty()) {
        const auto endpoint = ParseEndpoint(settings.clientText, 7003);
        if (!endpoint)
            return ReportBadText("client endpoint", settings.clientText), false;
        settings.clientHost = endpoint->host;
        settings.clientPort = endpoint->port;
    }
    if (!settings.localText.empty()) {
        if (settings.quic) {
            // Only the leading number counts here: "127.0.0.1:4026" gives 127.
            settings.localPort = LeadingNumber(settings.localText);
            if (!ValidPort(settings.localPort)) {
                return ReportBadText("local endpoint", settings.localText), false;
            }
        } else {
            const auto endpoint = ParseEndpoint(settings.localText, 4026);
            if (!endpoint)
                return ReportBadText("local endpoint", settings.localText), false;
            settings.localHost = endpoint->host;
            settings.localPort = endpoint->port;
        }
    }
    if (!settings.quic && !settings.remoteSyncText.empty()) {
        const auto endpoint = ParseEndpoint(settings.remoteSyncText, 7001);
        if (!endpoint)
            return ReportBadText("RemoteSync endpoint", settings.remoteSyncText), false;
        settings.remoteSyncHost = endpoint->host;
        settings.remoteSyncPort = endpoint->port;
    }
    return true;
}

}  // namespace app
