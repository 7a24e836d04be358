// Plays the debugger's part: connects to the tunnel's debugger port, sends a
// block of pseudo-random bytes, reads the monitor's echo back and checks that
// every byte came back intact.
//   tunnel_probe <host> <port> <bytes> [connections]
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

namespace {

using platform::UniqueFd;

UniqueFd ConnectTo(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0)
        return UniqueFd();
    UniqueFd connected;
    for (addrinfo* a = list; a && !connected; a = a->ai_next) {
        UniqueFd candidate(socket(a->ai_family, a->ai_socktype, a->ai_protocol));
        if (candidate && connect(candidate.get(), a->ai_addr, a->ai_addrlen) == 0)
            connected = std::move(candidate);
    }
    freeaddrinfo(list);
    return connected;
}

// One connection's round trip; true when the echo matched.
bool RoundTrip(const std::string& host, const std::string& port, std::size_t size, unsigned seed) {
    const UniqueFd connection = ConnectTo(host, port);
    const int fd = connection.get();
    if (!connection) {
        std::fprintf(stderr, "tunnel_probe: cannot connect to %s:%s\n", host.c_str(), port.c_str());
        return false;
    }
    std::vector<unsigned char> data(size);
    std::mt19937 random(seed);
    for (auto& b : data)
        b = static_cast<unsigned char>(random());

    std::thread writer([&] {
        std::size_t sent = 0;
        while (sent < size) {
            const ssize_t n = send(fd, data.data() + sent,
                                   std::min<std::size_t>(size - sent, 65536), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
    });
    std::vector<unsigned char> back(size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = recv(fd, back.data() + got, size - got, 0);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_RDWR);
    writer.join();
    if (got != size || std::memcmp(data.data(), back.data(), size) != 0) {
        std::fprintf(stderr, "tunnel_probe: echo differs (%zu of %zu bytes came back)\n", got,
                     size);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: tunnel_probe <host> <port> <bytes> [connections]\n");
        return 2;
    }
    const std::string host = argv[1], port = argv[2];
    const std::size_t size = std::strtoull(argv[3], nullptr, 10);
    const int connections = argc > 4 ? std::atoi(argv[4]) : 1;
    if (size == 0 || connections < 1)
        return 2;

    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    std::vector<char> ok(static_cast<std::size_t>(connections), 0);
    for (int i = 0; i < connections; ++i)
        threads.emplace_back([&, i] { ok[i] = RoundTrip(host, port, size, 1234u + i); });
    for (auto& t : threads)
        t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (char good : ok)
        if (!good)
            return 1;
    const double mib = static_cast<double>(size) * connections / (1024.0 * 1024.0);
    std::printf(
        "%d connection(s): %.1f MiB sent and echoed back intact in %.2f s (%.1f MiB/s each way)\n",
        connections, mib, seconds, mib / seconds);
    return 0;
}
