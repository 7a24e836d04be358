// update_server: publishes a release directory as the update service over
// HTTPS, for tests and for makers' own mirrors.
//   update_server --release DIR --published DIR --cert PEM --key PEM
//                 [--port N] [--port-file FILE] [--log FILE] [--fault NAME]
// Listens on 127.0.0.1 (port 0 picks a free one, written to --port-file) and
// logs every request, and every block a patch request asked for, one line each.
// Faults for tests (--fault): see ServiceConfig; "flood" and "flood-length"
// answer every request with an endless body (without, or with a 1 GiB length).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ServiceHandler.h"
#include "TlsConnection.h"
#include "platform/Thread.h"

namespace {

constexpr std::size_t kMaxHeader = 64 * 1024;
constexpr std::size_t kMaxBody = 4 * 1024 * 1024;

class Log {
  public:
    explicit Log(const std::string& file) {
        if (!file.empty())
            out_.open(file, std::ios::app);
    }
    void Write(const std::string& line) {
        std::lock_guard lock(mutex_);
        std::ostream& out = out_.is_open() ? static_cast<std::ostream&>(out_) : std::cerr;
        out << line << '\n';
        out.flush();
    }

  private:
    std::mutex mutex_;
    std::ofstream out_;
};

std::string Lower(std::string text) {
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Test hook: a reply that never ends (or announces 1 GiB), sent until the
// client gives up, without holding it in memory.
void Flood(update_server::TlsConnection& connection, bool announceLength, Log& log) {
    const std::string header = std::string("HTTP/1.1 200 OK\r\nContent-Type: application/zip\r\n") +
                               (announceLength ? "Content-Length: 1073741824\r\n" : "") +
                               "Connection: close\r\n\r\n";
    bool open = connection.SendAll(
        std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
    const std::vector<std::uint8_t> chunk(64 * 1024, 'A');
    std::uint64_t sent = 0;
    while (open && sent < (std::uint64_t{2} << 30)) {
        open = connection.SendAll(chunk);
        sent += open ? chunk.size() : 0;
    }
    log.Write("flood ended after " + std::to_string(sent) + " bytes");
}

void Serve(int fd, gnutls_certificate_credentials_t credentials,
           const update_server::ServiceConfig& config, Log& log) {
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    update_server::TlsConnection connection(fd, credentials);
    if (!connection.Handshake()) {
        log.Write("handshake failed");
        return;
    }
    std::string data;
    std::uint8_t buffer[16384];
    std::size_t headerEnd = std::string::npos;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxHeader)
            return;
        const long n = connection.Receive(buffer);
        if (n <= 0)
            return;
        data.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    const std::string head = data.substr(0, headerEnd);
    std::string body = data.substr(headerEnd + 4);
    const auto lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos)
        return;
    const std::string method = requestLine.substr(0, firstSpace);
    const std::string target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    std::size_t contentLength = 0;
    std::size_t pos = lineEnd;
    while (pos != std::string::npos && pos < head.size()) {
        const auto next = head.find("\r\n", pos + 2);
        const std::string line =
            head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
        const auto colon = line.find(':');
        if (colon != std::string::npos && Lower(line.substr(0, colon)) == "content-length")
            contentLength = std::strtoull(line.c_str() + colon + 1, nullptr, 10);
        pos = next;
    }
    if (contentLength > kMaxBody)
        return;
    while (body.size() < contentLength) {
        const long n = connection.Receive(buffer);
        if (n <= 0)
            return;
        body.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
    }
    body.resize(contentLength);

    log.Write("method " + method + " target " + target);
    if (config.fault == "flood" || config.fault == "flood-length") {
        Flood(connection, config.fault == "flood-length", log);
        return;
    }
    const auto reply = update_server::HandleRequest(
        config, target, body, [&log](const std::string& line) { log.Write(line); });
    const char* reason = reply.status == 200 ? "OK" : reply.status == 404 ? "Not Found" : "Error";
    const std::string header = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason +
                               "\r\nContent-Type: " + reply.contentType +
                               "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                               "\r\nConnection: close\r\n\r\n";
    connection.SendAll(
        std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
    connection.SendAll(reply.body);
    connection.Close();
}

}  // namespace

int main(int argc, char** argv) {
    update_server::ServiceConfig config;
    std::string certFile, keyFile, portFile, logFile;
    int port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--release")
            config.release = value;
        else if (option == "--published")
            config.published = value;
        else if (option == "--cert")
            certFile = value;
        else if (option == "--key")
            keyFile = value;
        else if (option == "--port")
            port = std::atoi(value.c_str());
        else if (option == "--port-file")
            portFile = value;
        else if (option == "--log")
            logFile = value;
        else if (option == "--fault")
            config.fault = value;
        else {
            std::fprintf(stderr, "update_server: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (config.release.empty() || config.published.empty() || certFile.empty() || keyFile.empty()) {
        std::fprintf(stderr,
                     "usage: update_server --release DIR --published DIR --cert PEM --key PEM "
                     "[--port N] [--port-file FILE] [--log FILE] [--fault NAME]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    gnutls_global_init();
    std::string error;
    auto credentials = update_server::LoadCredentials(certFile, keyFile, error);
    if (!credentials) {
        std::fprintf(stderr, "update_server: %s\n", error.c_str());
        return 1;
    }

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        std::perror("update_server: listen");
        return 1;
    }
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int bound = ntohs(address.sin_port);
    if (!portFile.empty()) {
        // Written whole and renamed, so a reader never sees a partial number.
        const std::string temp = portFile + ".tmp";
        std::ofstream(temp) << bound << '\n';
        std::rename(temp.c_str(), portFile.c_str());
    }
    Log log(logFile);
    log.Write("listening on 127.0.0.1:" + std::to_string(bound));
    // Declared after what the connections use, so it joins them first.
    platform::ThreadSet connections;
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            std::perror("update_server: accept");
            return 1;
        }
        if (!connections.Start(
                [fd, &credentials, &config, &log] { Serve(fd, credentials.get(), config, log); }))
            close(fd);
    }
}
