#pragma once
// Answers the update service's three requests from a release directory and
// the files the publish tool wrote for it.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace update_server {

struct Reply {
    int status = 200;
    std::string contentType = "application/zip";
    std::vector<std::uint8_t> body;
};

struct ServiceConfig {
    std::filesystem::path release;    // the files clients are brought to
    std::filesystem::path published;  // hashes.zip, sigs.zip
    // Test hook: "patch-text" answers patch requests with plain text,
    // "patch-empty" with an empty body, "patch-file" with the published
    // patch.zip as it is.
    std::string fault;
};

// target is the request target (path and query); log receives one line per
// thing worth recording.
Reply HandleRequest(const ServiceConfig& config, std::string_view target, std::string_view body,
                    const std::function<void(const std::string&)>& log);

}  // namespace update_server
