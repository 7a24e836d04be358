#include "app/CommandLine.h"

#include <cstdlib>
#include <fstream>

#include "app/Settings.h"
#include "net/TcpListener.h"
#include "platform/Console.h"
#include "platform/Text.h"

namespace app {

namespace {
// Placeholder host printed in the client examples.
constexpr wchar_t kExampleHost[] = L"devbox.example.com";
}  // namespace

void PreParseTransport(Settings& settings, int argc, const char* const* argv) {
    if (settings.quic)
        return;
    CLI::App app("Vantora", "");
    app.add_flag("-q", settings.quic, "Use quic");
    app.allow_extras();
    try {
        app.parse(argc, argv);
    } catch (const CLI::Error&) {
        // Unknown options and help requests are the normal case here.
    }
}

std::wstring BannerText(bool quic) {
    return quic ? L"Vantora v.201 - QUIC based.\r\n"
                : L"Vantora v.201 - TCP based. Use -q to use QUIC\r\n";
}

std::wstring UsageExamplesText(bool quic) {
    std::wstring text = L"   Server example: ";
    text += quic
                ? L"-q -s -t 2022 -p 7001 -l 8888 -f r:\\download\\file1.zip,c:\\low\\file1.zip\r\n"
                : L" -s -t 2022 --p1 7001 --p2 7002 --p3 7003 -f "
                  L"r:\\download\\file1.zip,c:\\low\\file1.zip\r\n";
    text += L"   Client example: ";
    if (quic) {
        text += std::wstring(L"-q -t 2022 -c ") + kExampleHost + L":7001 -l 4026\r\n";
    } else {
        text += std::wstring(L" -t 2022 -d ") + kExampleHost + L":7001 -c " + kExampleHost +
                L":7003 -l 127.0.0.1:4026\r\n";
    }
    return text;
}

void RegisterOptions(CLI::App& app, Settings& settings, WideOptionText& wide) {
    app.add_flag("-a", settings.admin, "Admin");
    app.add_flag("-q", settings.quic, "Use quic");
    app.add_flag("-s", settings.server, "Server");
    if (settings.quic) {
        app.add_option("-p", settings.port1, "VTR listening UDP port (WAN accessible)");
    } else {
        app.add_option("--p1", settings.port1,
                       "Port 1 - VTR control and deploy port (WAN accessible)");
        app.add_option("--p2", settings.port2, "Port 2 - VS connecting port ");
        app.add_option("--p3", settings.port3,
                       "Port 3 - Remote debugging portport (WAN accessible)");
    }
    app.add_option("-t,--tools", settings.toolsVersion, "Use VS Tools");
    app.add_option("-f,--file", wide.files, "Add files");
    if (!settings.quic)
        app.add_option("-d", settings.remoteSyncText, "RemoteSync");
    app.add_option("-c", settings.clientText, "Client");
    app.add_option("-l", settings.localText, "Local");
    app.add_option("-i", wide.configFile, "Configuration File");
    // The monitor behind the debugger port accepts anyone without a password,
    // so the port stays on this machine unless the user says otherwise.
    app.add_option("--listen", settings.listenAddress,
                   "Server: address of the debugger port (default: loopback only). RISK: any "
                   "other address lets whoever reaches it use the remote debugger without a "
                   "password")
        ->type_name("ADDR")
        ->check(
            [](const std::string& text) {
                return !text.empty() && net::IsListenAddress(text)
                           ? std::string()
                           : "expected a numeric IPv4 or IPv6 address, such as 0.0.0.0 or ::";
            },
            "");
    app.add_option("--secret-file", settings.secretFile,
                   "Both roles: a shared secret (the file's first line; without this option "
                   "the VTR_SECRET variable) that client and server must each prove before "
                   "anything else is exchanged. The secret guards who may connect; it does "
                   "not encrypt: TCP mode stays readable on the wire, use -q for encryption")
        ->type_name("FILE");
}

bool LoadSecret(Settings& settings) {
    if (settings.secretFile.empty()) {
        const char* variable = std::getenv("VTR_SECRET");
        settings.secret = variable != nullptr ? variable : "";
        return true;
    }
    std::ifstream file(settings.secretFile, std::ios::binary);
    std::string line;
    if (!file || !std::getline(file, line)) {
        platform::ConsoleWrite(L"Could not read the secret file " +
                               platform::FromUtf8(settings.secretFile) + L"\r\n");
        return false;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty()) {
        platform::ConsoleWrite(L"The secret file " + platform::FromUtf8(settings.secretFile) +
                               L" has an empty first line\r\n");
        return false;
    }
    settings.secret = std::move(line);
    return true;
}

void ApplyWideOptions(Settings& settings, const WideOptionText& wide) {
    for (const auto& pair : wide.files)
        settings.files.push_back(platform::FromUtf8(pair));
    settings.configFile = platform::FromUtf8(wide.configFile);
}

}  // namespace app
