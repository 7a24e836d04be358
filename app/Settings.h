#pragma once
// The process-wide settings record: filled by start-up (command line, then the
// configuration file), read by everything else.
#include <cstdint>
#include <string>
#include <vector>

namespace app {

struct Settings {
    bool server = false;
    bool admin = false;
    bool quic = false;
    std::int32_t port1 = 7001;
    std::int32_t port2 = 7002;
    std::int32_t port3 = 7003;
    std::int32_t toolsVersion = 2022;
    std::vector<std::wstring> files;  // "local,remote" pairs
    std::string remoteSyncText;
    std::string clientText;
    std::string localText;
    std::wstring configFile;
    // --listen: where the server's debugger port listens (TCP Port 2, and the
    // QUIC debugger port). Empty means the loopback addresses of both
    // families. Command line only: configuration files do not carry it.
    std::string listenAddress;
    // --secret-file, else VTR_SECRET: the shared secret both sides prove on
    // every connection; empty for none. Never saved, never printed.
    std::string secretFile;
    std::string secret;

    std::string clientHost;
    std::int32_t clientPort = 7003;
    std::string localHost;
    std::int32_t localPort = 4026;
    std::string remoteSyncHost;
    std::int32_t remoteSyncPort = 7001;
};

// The one instance; complete before any thread but the update thread starts.
Settings& TheSettings();

}  // namespace app
