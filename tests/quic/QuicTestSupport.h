#pragma once
// Helpers for the tunnel tests: a server and a client endpoint connected over
// loopback with a test certificate, a TCP echo server standing in for the
// debugger monitor, and bounded socket reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/TcpSocket.h"
#include "quic/HostCertTestSupport.h"
#include "quic/PublishedHandles.h"
#include "quic/QuicEndpoint.h"
#include "quic/ShellHandlers.h"

using namespace quic;

using namespace net;

namespace tunnel_test {

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline void ResetPublishedHandles() {
    serverListener.store(nullptr);
    serverConnection.store(nullptr);
    clientConnection.store(nullptr);
    clientControlStream.store(nullptr);
    serverControlStream.store(nullptr);
}

// A port free for both UDP and TCP on every address, as the server uses the
// same number for both.
inline int FreeDualPort() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        platform::UniqueSocket udp(platform::OpenSocket(AF_INET, SOCK_DGRAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        ::bind(udp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(udp.get(), reinterpret_cast<sockaddr*>(&address), &length);
        const int port = ntohs(address.sin_port);
        udp.reset();
        TcpSocket tcp(kInvalidSocket);
        const bool tcpFree = Ok(tcp.Create(AF_INET6)) && Ok(tcp.BindAndListen(port));
        tcp.Close();
        if (tcpFree)
            return port;
    }
    return 0;
}

inline void SetReceiveTimeout(const TcpSocket& socket, int milliseconds) {
    socket.SetReceiveTimeout(std::chrono::milliseconds(milliseconds));
}

// Reads exactly `size` bytes or fails after the socket's receive timeout.
inline std::string ReadExactly(const TcpSocket& socket, std::size_t size) {
    std::string data(size, '\0');
    const int got = socket.Receive(data.data(), size, true);
    data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return data;
}

// True when the peer closed the connection (a read returns 0 or fails with
// something other than the timeout) within the socket's receive timeout.
inline bool SeesClose(const TcpSocket& socket) {
    char byte;
    const long got = platform::ReceiveBytes(socket.Handle(), &byte, 1, true);
    return got == 0 ||
           (got < 0 && platform::LastSocketError() != platform::SocketError::WouldBlock);
}

// Pseudo-random bytes, the same for the same seed.
inline std::string Pattern(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return data;
}

// Binds `listener` to an ephemeral port of 127.0.0.1 and listens; the port,
// or 0 when that failed.
inline int ListenOnLoopback(const TcpSocket& listener) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener.Handle(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.Handle(), 64) != 0 ||
        ::getsockname(listener.Handle(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

inline TcpSocket ConnectTo(const char* host, int port, int family = AF_INET) {
    TcpSocket socket(kInvalidSocket);
    if (!Ok(socket.Create(family)) || !Ok(socket.Connect(host, port)))
        return TcpSocket(kInvalidSocket);
    SetReceiveTimeout(socket, 5000);
    return socket;
}

// Stands in for the debugger monitor: echoes every connection and keeps what
// each one received.
class EchoServer {
  public:
    EchoServer() : listener_(kInvalidSocket) {
        listener_.Create(AF_INET);
        port_ = ListenOnLoopback(listener_);
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    ~EchoServer() {
        listener_.Shutdown();
        acceptor_.join();
        std::vector<std::thread> threads;
        {
            std::lock_guard guard(lock_);
            for (auto& connection : connections_)
                connection->socket.Shutdown();
            threads = std::move(threads_);
        }
        for (auto& thread : threads)
            thread.join();
        listener_.Close();
    }
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    int Port() const { return port_; }
    int Accepted() const {
        std::lock_guard guard(lock_);
        return static_cast<int>(connections_.size());
    }
    int Ended() const {
        std::lock_guard guard(lock_);
        int ended = 0;
        for (const auto& connection : connections_)
            ended += connection->ended ? 1 : 0;
        return ended;
    }
    // Bytes the connection of that index received so far.
    std::string Received(int index) const {
        std::lock_guard guard(lock_);
        return index < static_cast<int>(connections_.size()) ? connections_[index]->received
                                                             : std::string();
    }
    // Closes the server side of connection `index`.
    void Drop(int index) {
        std::lock_guard guard(lock_);
        if (index < static_cast<int>(connections_.size()))
            connections_[index]->socket.Shutdown();
    }

  private:
    struct Connection {
        TcpSocket socket{kInvalidSocket};
        std::string received;
        bool ended = false;
    };

    void AcceptLoop() {
        for (;;) {
            TcpSocket accepted = listener_.Accept();
            if (!accepted.IsValid())
                return;
            std::lock_guard guard(lock_);
            auto connection = std::make_shared<Connection>();
            connection->socket = accepted;
            connections_.push_back(connection);
            threads_.emplace_back([this, connection] { Echo(*connection); });
        }
    }

    void Echo(Connection& connection) {
        char buffer[65536];
        for (;;) {
            const int got = connection.socket.Receive(buffer, sizeof buffer, false);
            if (got <= 0)
                break;
            {
                std::lock_guard guard(lock_);
                connection.received.append(buffer, static_cast<std::size_t>(got));
            }
            if (connection.socket.Send(buffer, static_cast<std::size_t>(got)) != got)
                break;
        }
        connection.socket.Shutdown();
        std::lock_guard guard(lock_);
        connection.ended = true;
    }

    TcpSocket listener_;
    int port_ = 0;
    std::thread acceptor_;
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> threads_;
};

// Collects what an inbox hook receives.
class ByteCollector {
  public:
    InboxHook Hook() {
        return [this](std::span<const std::uint8_t> bytes) {
            std::lock_guard guard(lock_);
            data_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            return bytes.size();
        };
    }
    std::string Data() const {
        std::lock_guard guard(lock_);
        return data_;
    }
    std::size_t Size() const {
        std::lock_guard guard(lock_);
        return data_.size();
    }
    void Clear() {
        std::lock_guard guard(lock_);
        data_.clear();
    }

  private:
    mutable std::mutex lock_;
    std::string data_;
};

inline std::span<const std::uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A server and a client endpoint with the shell handlers, connected over
// loopback on a free port.
class TunnelFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetPublishedHandles();
        const std::vector<std::string> names{"localhost", "127.0.0.1"};
        certificate_ = CreateHostCertificate(names);
        ASSERT_TRUE(certificate_);
        port_ = FreeDualPort();
        ASSERT_NE(port_, 0);
        serverOptions_.credential =
            HostCredential{certificate_->certificatePem, certificate_->privateKeyPem};
        serverOptions_.idleTimeoutMs = 10000;
        clientOptions_.idleTimeoutMs = 10000;
        clientOptions_.preambleTimeoutMs = 1000;
    }

    void TearDown() override {
        client_.Close();
        server_.Close();
        ResetPublishedHandles();
    }

    void StartServer(std::string_view alpn = kQuicAlpn) {
        ASSERT_EQ(server_.Open(kQuicAppName, QuicRole::Server, serverOptions_), 0);
        serverShell_.endpoint = &server_;
        serverShell_.serverInbox = serverInbox_.Hook();
        InstallServerShell(serverShell_);
        ASSERT_EQ(server_.Listen(static_cast<std::uint16_t>(port_), alpn), 0);
    }

    void StartClient() {
        ASSERT_EQ(client_.Open(kQuicAppName, QuicRole::ClientNoCertificateCheck, clientOptions_),
                  0);
        clientShell_.endpoint = &client_;
        clientShell_.clientText = L"127.0.0.1:" + std::to_wstring(port_);
        clientShell_.onClientConnected = [this] { ++connectedCalls_; };
        clientShell_.onControlStream = [this](HQUIC stream) {
            controlStreamSeen_.store(stream);
            ++controlStreamCalls_;
        };
        clientShell_.onClientConnectionEnded = [this] { ++endedCalls_; };
        clientShell_.clientInbox = clientInbox_.Hook();
        ASSERT_EQ(ConnectClientShell(clientShell_, "127.0.0.1", static_cast<std::uint16_t>(port_)),
                  0);
    }

    // Both sides up, as the shell's waits see it.
    void Connect() {
        ASSERT_NO_FATAL_FAILURE(StartServer());
        ASSERT_NO_FATAL_FAILURE(StartClient());
        ASSERT_TRUE(WaitFor([this] {
            return connectedCalls_ == 1 && serverConnection.load() != nullptr &&
                   serverListener.load() != nullptr;
        })) << "connected "
            << connectedCalls_ << " serverConnection " << serverConnection.load() << " listener "
            << serverListener.load() << " ended " << endedCalls_;
    }

    // The control stream, opened as the first deploy does, which sends its
    // first message at once, and the Visual Studio port that its start opens.
    void OpenControlStream(int localPort) {
        const HQUIC control = EnsureServerControlStream(server_, port_, localPort);
        ASSERT_NE(control, nullptr);
        ASSERT_EQ(SendOnStream(server_, serverConnection.load(), control, Bytes("first")), 0);
        ASSERT_TRUE(WaitFor([this] {
            const auto session = server_.FindSession(serverConnection.load());
            return controlStreamCalls_ == 1 && clientInbox_.Data() == "first" && session &&
                   session->ListenerCount() >= 1;
        }));
        clientInbox_.Clear();
    }

    std::shared_ptr<QuicSession> ServerSession() { return server_.FindSession(nullptr); }
    std::shared_ptr<QuicSession> ClientSession() { return client_.FindSession(nullptr); }

    hostcert_test::ScopedKeyStore keyStore_;
    std::unique_ptr<HostCertificate> certificate_;
    int port_ = 0;
    QuicEndpointOptions serverOptions_;
    QuicEndpointOptions clientOptions_;
    QuicEndpoint server_;
    QuicEndpoint client_;
    ServerShell serverShell_;
    ClientShell clientShell_;
    ByteCollector serverInbox_;
    ByteCollector clientInbox_;
    std::atomic<int> connectedCalls_{0};
    std::atomic<int> controlStreamCalls_{0};
    std::atomic<int> endedCalls_{0};
    std::atomic<HQUIC> controlStreamSeen_{nullptr};
};

}  // namespace tunnel_test
