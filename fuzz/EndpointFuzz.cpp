// host:port texts from the command line and configuration files.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/Endpoint.h"

using namespace app;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto endpoint = ParseEndpoint(text, 7001);
    if (endpoint) {
        if (endpoint->port < 0 || endpoint->port > 65535)
            __builtin_trap();
        if (text.find(':') == std::string_view::npos &&
            (endpoint->host != text || endpoint->port != 7001))
            __builtin_trap();
    }
    (void)LeadingNumber(text);
    return 0;
}
