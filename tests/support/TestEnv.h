#pragma once
// Shared pieces of the tests that run the real program: free ports, a
// temporary folder, a Program Files tree with the stand-in monitor, and a
// loopback client that plays the debugger.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A port that was free a moment ago (the kernel's choice for port 0).
inline int FreePort(int type = SOCK_STREAM) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// A port free for both TCP and UDP.
inline int FreeTcpUdpPort() {
    for (int i = 0; i < 50; ++i) {
        const int port = FreePort(SOCK_DGRAM);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok)
            return port;
    }
    return 0;
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vtr-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : "";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// PROGRAMFILES tree where the client finds the stand-in as its monitor.
inline std::filesystem::path InstallStandInMonitor(const std::filesystem::path& root) {
    const auto dir = root / "Microsoft Visual Studio" / "2022" / "Community" / "Common7" / "IDE" /
                     "Remote Debugger" / "x86";
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(std::string(VTR_TOOLS_DIR) + "/standin_monitor", dir / "msvsmon.exe",
                               std::filesystem::copy_options::overwrite_existing);
    return dir / "msvsmon.exe";
}

inline int ConnectLoopback(int port, int family = AF_INET) {
    const int fd = socket(family, SOCK_STREAM, 0);
    int rc;
    if (family == AF_INET6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

inline std::vector<unsigned char> RandomBytes(std::size_t size, unsigned seed) {
    std::vector<unsigned char> data(size);
    std::mt19937 random(seed);
    for (auto& b : data)
        b = static_cast<unsigned char>(random());
    return data;
}

// Sends data on a connected socket while reading the echo back; returns the
// bytes that came back (fewer when the connection ended early).
inline std::vector<unsigned char> EchoThrough(int fd, const std::vector<unsigned char>& data) {
    std::thread writer([&] {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
    });
    std::vector<unsigned char> back(data.size());
    std::size_t got = 0;
    while (got < back.size()) {
        const ssize_t n = recv(fd, back.data() + got, back.size() - got, 0);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    writer.join();
    back.resize(got);
    return back;
}

// Retries a connection until something accepts it (the tunnel needs a moment
// to come up); -1 after the time limit.
inline int ConnectWhenReady(int port, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ConnectLoopback(port);
        if (fd >= 0)
            return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

// One echo round trip through a port whose far side may still be coming up:
// retried while nothing comes back; false at once on partial or wrong bytes,
// or after the time limit.
inline bool RoundTripWhenReady(int port, const std::vector<unsigned char>& data,
                               std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ConnectWhenReady(port, limit);
        if (fd < 0)
            return false;
        const auto back = EchoThrough(fd, data);
        close(fd);
        if (back == data)
            return true;
        if (!back.empty())
            return false;  // partial or wrong bytes: a real fault
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace testing_support
