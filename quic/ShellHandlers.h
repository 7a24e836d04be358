#pragma once
// The shell's QUIC handlers: what the server does when a client connects and
// when its control stream starts, and what the client does when it is
// connected, when the server opens streams and when the connection ends.
// What is not QUIC (monitor, deployment, process exit) is reached through
// the hooks the shell fills in.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "quic/AuthStream.h"
#include "quic/QuicEndpoint.h"
#include "quic/api/msquic_api.h"

namespace quic {

// Receives the bytes of a control stream, in order (a deployment inbox):
// takes what fits and returns how many it took. The stream keeps the rest
// and offers it again once credit comes back.
using InboxHook = std::function<std::size_t(std::span<const std::uint8_t>)>;
// Given the control stream's credit function once the stream exists; the
// inbox calls it with what its reader has taken. Without one, credit is
// returned as soon as bytes are pushed.
using InboxCreditHook = std::function<void(ReceiveCredit)>;

// Lives as long as the server endpoint; installed as its listener context.
struct ServerShell {
    QuicEndpoint* endpoint = nullptr;
    // The server's control-stream bytes.
    InboxHook serverInbox;
    // The served client's connection ended (close the inbox, so that a
    // deployment waiting for its replies returns). On the worker thread.
    std::function<void()> onServerConnectionEnded;
    InboxCreditHook serverInboxCredit;
    // Where the debugger's TCP port listens; empty is loopback only.
    std::string debuggerAddress;
    // With a secret, a connection is served only once it passed (AuthStream.h).
    QuicAuthGate auth;
};

// Lives as long as the client endpoint; the context of its connection.
struct ClientShell {
    QuicEndpoint* endpoint = nullptr;
    // Printed as "VTR Client connected to <clientText>".
    std::wstring clientText;
    // On the connection's worker thread: the connection is up (start the
    // monitor).
    std::function<void()> onClientConnected;
    // The server's first stream became the control stream (start the
    // deployment receiver over it).
    std::function<void(HQUIC stream)> onControlStream;
    // The connection's shutdown completed (stop the monitor and end the
    // process). Runs on the worker thread inside the callback.
    std::function<void()> onClientConnectionEnded;
    // The client's control-stream bytes.
    InboxHook clientInbox;
    InboxCreditHook clientInboxCredit;
    // With a secret, the connection counts as connected only once the
    // server passed (AuthStream.h); onAuthenticationFailed runs otherwise.
    QuicAuthClient auth;
    std::function<void()> onAuthenticationFailed;
};

// Server: sets the listener handler of shell.endpoint; call before Listen.
// The first connection (with a secret: the first that passes) becomes
// serverConnection; while it lasts, any other is shut down at once (one
// client per run), and only its own end clears serverConnection.
void InstallServerShell(ServerShell& shell);
// Client: connects shell.endpoint to host:port with the client shell handler.
QUIC_STATUS ConnectClientShell(ClientShell& shell, std::string_view host, std::uint16_t port);

// Opens the server's control stream on the session of serverConnection once
// (publishing serverControlStream) and returns serverControlStream. When the
// stream has started, the Visual Studio port (TCP `port1` on the shell's
// debuggerAddress) opens; its tunnel
// streams announce `localPort`. Received bytes go to the inbox of the
// ServerShell installed on `server`.
HQUIC EnsureServerControlStream(QuicEndpoint& server, int port1, int localPort);

// Sends on a stream of the endpoint (null connection or stream: the first);
// see QuicEndpoint::SendOnStream for maxUnsent.
QUIC_STATUS SendOnStream(QuicEndpoint& endpoint, HQUIC connection, HQUIC stream,
                         std::span<const std::uint8_t> bytes, std::size_t maxUnsent = 0);

// The handlers themselves.
QUIC_STATUS ServerListenerHandler(HQUIC listener, QUIC_LISTENER_EVENT* event, void* context);
QUIC_STATUS ServerConnectionHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event, void* context,
                                    bool afterStreamCreated);
QUIC_STATUS ServerAuthConnectionHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event,
                                        void* context, bool afterStreamCreated);
QUIC_STATUS ClientShellHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event, void* context,
                               bool afterStreamCreated);
QUIC_STATUS ServerControlStreamHandler(HQUIC stream, QUIC_STREAM_EVENT* event, void* context);
QUIC_STATUS ClientControlStreamHandler(HQUIC stream, QUIC_STREAM_EVENT* event, void* context);

}  // namespace quic
