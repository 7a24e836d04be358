#pragma once
// Helpers for the loopback tests of the socket and the relay.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/TcpSocket.h"

using namespace net;

namespace nettest {

// A port that was free a moment ago (the kernel's choice for port 0).
inline int FreePort() {
    TcpSocket probe(kInvalidSocket);
    if (!Ok(probe.Create(AF_INET6)) || !Ok(probe.BindAndListen(0)))
        return 0;
    return probe.LocalPort();
}

// Keeps a test from blocking for ever on a socket.
inline void SetTimeouts(const TcpSocket& socket, int seconds = 10) {
    socket.SetReceiveTimeout(std::chrono::seconds(seconds));
    socket.SetSendTimeout(std::chrono::seconds(seconds));
}

inline TcpSocket Dial(const std::string& host, int port, int family = AF_INET6) {
    TcpSocket socket(kInvalidSocket);
    if (!Ok(socket.Create(family)) || !Ok(socket.Connect(host, port)))
        return TcpSocket(kInvalidSocket);
    SetTimeouts(socket);
    return socket;
}

// Polls `condition` for up to `seconds`.
inline bool WaitFor(const std::function<bool()>& condition, int seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Bytes that differ per connection and per position, so mixed or shifted
// data is noticed.
inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> data(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : data) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state);
    }
    return data;
}

// True when the peer has closed: a receive returns 0 (or fails) in time.
inline bool PeerClosed(const TcpSocket& socket) {
    std::uint8_t byte = 0;
    return socket.Receive(&byte, 1, false) <= 0;
}

}  // namespace nettest
