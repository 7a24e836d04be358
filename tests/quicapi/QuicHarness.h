#pragma once
// Test harness for the QUIC API: a self-signed certificate made with GnuTLS,
// event recorders for connections and streams, and a server/client pair on
// loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quic/api/msquic_api.h"

namespace quictest {

struct TestCertificate {
    std::string certificatePem;
    std::string keyPem;
};
// ECDSA P-256, CN=localhost, valid for a day.
TestCertificate MakeSelfSignedCertificate();

// One lock and condition for all recorders of a test: every event notifies.
struct Events {
    std::mutex lock;
    std::condition_variable changed;
    template <typename Pred>
    bool WaitFor(Pred pred, int milliseconds = 5000) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(milliseconds), pred);
    }
    void Notify() { changed.notify_all(); }
};

struct StreamRecord {
    Events* events = nullptr;
    const QUIC_API_TABLE* api = nullptr;
    HQUIC handle = nullptr;
    std::string received;
    int startComplete = 0;
    QUIC_STATUS startStatus = 1;
    int sendComplete = 0;
    int sendCanceled = 0;
    std::vector<void*> completedContexts;
    int peerSendShutdown = 0;
    int peerSendAborted = 0;
    uint64_t peerSendAbortCode = 0;
    int peerReceiveAborted = 0;
    int sendShutdownComplete = 0;
    int shutdownComplete = 0;
    bool shutdownAfterEnd = false;  // an event arrived after SHUTDOWN_COMPLETE
    bool connectionShutdown = false;
    bool closeOnShutdown = true;
    bool keepData = true;  // append received bytes to `received`
    uint64_t receivedBytes = 0;
    int receiveEvents = 0;
    std::function<void(StreamRecord&, const uint8_t*, size_t)> onReceive;
};

struct ConnectionRecord {
    Events* events = nullptr;
    const QUIC_API_TABLE* api = nullptr;
    HQUIC handle = nullptr;
    int connected = 0;
    std::string alpn;
    int shutdownByTransport = 0;
    QUIC_STATUS transportStatus = 0;
    int shutdownByPeer = 0;
    uint64_t peerErrorCode = 0;
    int shutdownComplete = 0;
    bool eventAfterEnd = false;
    bool closeOnShutdown = true;
    std::vector<StreamRecord*> peerStreams;
    // Makes the record for a stream the peer starts, and prepares it.
    std::function<StreamRecord*()> makeStream;
    std::function<void(StreamRecord&)> onPeerStream;
};

QUIC_STATUS QUIC_API StreamCallback(HQUIC stream, void* context, QUIC_STREAM_EVENT* event);
QUIC_STATUS QUIC_API ConnectionCallback(HQUIC connection, void* context,
                                        QUIC_CONNECTION_EVENT* event);

extern const char kAlpn[];

// A server listening on 127.0.0.1 and a client registration, each with its
// own configuration. Every record outlives the handles it describes.
class QuicPair {
  public:
    struct Options {
        std::string serverAlpn = kAlpn;
        std::string clientAlpn = kAlpn;
        bool clientValidates = false;
        uint64_t idleTimeoutMs = 60000;
        uint16_t peerBidiStreamCount = 16;
        uint64_t handshakeTimeoutMs = 10000;
        // The server's announced max_udp_payload_size; 0 leaves the default.
        uint16_t serverMaxUdpPayload = 0;
    };
    QuicPair();
    explicit QuicPair(const Options& options);
    ~QuicPair();

    const QUIC_API_TABLE* api = nullptr;
    Events events;
    uint16_t port = 0;

    // Starts a client connection to `targetPort` (default: the listener).
    ConnectionRecord* Connect(uint16_t targetPort = 0);
    // Connects and waits until both sides are connected.
    bool ConnectBoth(ConnectionRecord*& client, ConnectionRecord*& server);
    ConnectionRecord* LastServerConnection();
    // The same, for callers that hold events.lock (wait predicates).
    ConnectionRecord* LastServerConnectionLocked() const {
        return serverConnections.empty() ? nullptr : serverConnections.back();
    }
    StreamRecord* NewStreamRecord();
    // Opens and starts a stream on `connection`.
    StreamRecord* OpenStream(ConnectionRecord* connection);
    void CloseAll();

    // Listener side.
    static QUIC_STATUS QUIC_API ListenerCallback(HQUIC listener, void* context,
                                                 QUIC_LISTENER_EVENT* event);
    std::function<void(StreamRecord&)> serverPeerStream;
    std::function<void(StreamRecord&)> clientPeerStream;

  private:
    void Open(const Options& options);

    HQUIC serverRegistration = nullptr;
    HQUIC clientRegistration = nullptr;
    HQUIC serverConfiguration = nullptr;
    HQUIC clientConfiguration = nullptr;
    HQUIC listener = nullptr;
    std::mutex recordLock;
    std::deque<std::unique_ptr<ConnectionRecord>> connections;
    std::deque<std::unique_ptr<StreamRecord>> streams;
    std::vector<ConnectionRecord*> serverConnections;
    bool closed = false;
};

}  // namespace quictest
