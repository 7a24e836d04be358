#pragma once
// The shell's QUIC handlers: what the server does when a client connects and
// when its control stream starts, and what the client does when it is
// connected, when the server opens streams and when the connection ends.
// What is not QUIC (monitor, deployment, process exit) is reached through
// the hooks the shell fills in.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "quic/QuicEndpoint.h"
#include "quic/api/msquic_api.h"

namespace quic {

// Receives the bytes of a control stream, in order (a deployment inbox).
using InboxHook = std::function<void(std::span<const std::uint8_t>)>;

// Lives as long as the server endpoint; installed as its listener context.
struct ServerShell {
    QuicEndpoint* endpoint = nullptr;
    // The server's control-stream bytes.
    InboxHook serverInbox;
    // The served client's connection ended (close the inbox, so that a
    // deployment waiting for its replies returns). On the worker thread.
    std::function<void()> onServerConnectionEnded;
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
};

// Server: sets the listener handler of shell.endpoint; call before Listen.
void InstallServerShell(ServerShell& shell);
// Client: connects shell.endpoint to host:port with the client shell handler.
QUIC_STATUS ConnectClientShell(ClientShell& shell, std::string_view host, std::uint16_t port);

// Opens the server's control stream on the session of serverConnection once
// (publishing serverControlStream) and returns serverControlStream. When the
// stream has started, the Visual Studio port (TCP `port1`) opens; its tunnel
// streams announce `localPort`. Received bytes go to the inbox of the
// ServerShell installed on `server`.
HQUIC EnsureServerControlStream(QuicEndpoint& server, int port1, int localPort);

// Sends on a stream of the endpoint (null connection or stream: the first).
QUIC_STATUS SendOnStream(QuicEndpoint& endpoint, HQUIC connection, HQUIC stream,
                         std::span<const std::uint8_t> bytes);

// The handlers themselves.
QUIC_STATUS ServerListenerHandler(HQUIC listener, QUIC_LISTENER_EVENT* event, void* context);
QUIC_STATUS ServerConnectionHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event, void* context,
                                    bool afterStreamCreated);
QUIC_STATUS ClientShellHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event, void* context,
                               bool afterStreamCreated);
QUIC_STATUS ServerControlStreamHandler(HQUIC stream, QUIC_STREAM_EVENT* event, void* context);
QUIC_STATUS ClientControlStreamHandler(HQUIC stream, QUIC_STREAM_EVENT* event, void* context);

}  // namespace quic
