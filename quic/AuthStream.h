#pragma once
// Shared-secret authentication over QUIC (see auth/PeerAuth.h): the client
// opens one stream as soon as it is connected and runs the exchange on it,
// bound to the connection's TLS session through the TLS exporter, so a party
// that relays the handshake between a real client and a real server cannot
// pass the proof on. Nothing else happens on a connection until it is over:
// the server publishes it as serverConnection (and so opens no control
// stream and no debugger port for it) only once it passed, and the client
// announces itself connected (and so starts the monitor) only then. Without
// a secret none of this runs and no such stream is opened.
//
// Threads: the exchange runs on the connection's worker thread, in its
// callbacks; the entry thread only fails exchanges that are overdue.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "auth/PeerAuth.h"
#include "quic/QuicSession.h"
#include "quic/api/msquic_api.h"

namespace quic {

// Server: the connections that have not proved the secret yet.
class QuicAuthGate {
  public:
    QuicAuthGate() = default;
    QuicAuthGate(const QuicAuthGate&) = delete;
    QuicAuthGate& operator=(const QuicAuthGate&) = delete;

    // Set before the listener starts; empty turns the gate off.
    void SetSecret(std::string_view secret) { secret_ = auth::Secret(secret); }
    bool Enabled() const { return !secret_.Empty(); }

    // The first connection that passes: true when it is served; otherwise it
    // is shut down. Runs on its worker thread. Set before the listener starts.
    std::function<bool(HQUIC connection)> onPassed;

    // A new connection waits for its proof; false (it is to be shut down)
    // when too many wait already.
    bool Admit(const std::shared_ptr<QuicSession>& session, const QUIC_ADDR* remote);
    // A waiting connection's first client-started stream carries its exchange.
    void OnPeerStream(HQUIC connection, HQUIC stream);
    // The connection ended.
    void Forget(HQUIC connection);
    // Entry thread: fails every exchange past its deadline.
    void Expire();

  private:
    struct Waiting {
        std::weak_ptr<QuicSession> session;
        std::string peer;
        std::chrono::steady_clock::time_point deadline;
        HQUIC stream = nullptr;
        std::optional<auth::Exchange> exchange;
    };
    static QUIC_STATUS StreamHandler(HQUIC stream, QUIC_STREAM_EVENT* event, void* context);
    void OnReceive(HQUIC stream, std::span<const std::uint8_t> bytes);
    // Prints the failure line and shuts the connection down; lock_ not held.
    static void Refuse(const Waiting& entry, auth::AuthError error);

    auth::Secret secret_;
    std::mutex lock_;  // guards waiting_
    std::map<HQUIC, Waiting> waiting_;
};

// Client: the one exchange of its connection.
class QuicAuthClient {
  public:
    QuicAuthClient() = default;
    QuicAuthClient(const QuicAuthClient&) = delete;
    QuicAuthClient& operator=(const QuicAuthClient&) = delete;

    void SetSecret(std::string_view secret) { secret_ = auth::Secret(secret); }
    bool Enabled() const { return !secret_.Empty(); }

    // On the worker: the server proved the secret and this side's proof is
    // sent; and the exchange failed (also from Expire, on the entry thread).
    // Set before connecting.
    std::function<void()> onPassed;
    std::function<void()> onFailed;

    // Worker, CONNECTED: opens the stream and sends the hello.
    void Start(HQUIC connection, const std::shared_ptr<QuicSession>& session);
    enum class Outcome { Running, Passed, Failed };
    Outcome Current() const;
    // Entry thread: a running exchange fails once `deadline` has passed (also
    // when the connection never came up). True when it has failed.
    bool Expire(std::chrono::steady_clock::time_point deadline);

  private:
    static QUIC_STATUS StreamHandler(HQUIC stream, QUIC_STREAM_EVENT* event, void* context);
    void Fail(const std::shared_ptr<QuicSession>& session);

    auth::Secret secret_;
    mutable std::mutex lock_;  // guards exchange_, stream_, session_, outcome_
    std::optional<auth::Exchange> exchange_;
    std::weak_ptr<QuicStream> stream_;
    std::weak_ptr<QuicSession> session_;
    Outcome outcome_ = Outcome::Running;
};

}  // namespace quic
