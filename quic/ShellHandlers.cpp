#include "quic/ShellHandlers.h"

#include <memory>
#include <vector>

#include "platform/Console.h"
#include "quic/Bridge.h"
#include "quic/PublishedHandles.h"

namespace quic {

namespace {

// What the server's control-stream handler works with; owned by the stream.
struct ServerControl {
    QuicEndpoint* endpoint = nullptr;
    std::string address;
    int port1 = 0;
    int localPort = 0;
    InboxHook inbox;
    bool credited = false;
};

// The inbox takes what fits; with `credited` its reader returns the credit,
// otherwise the stream does at once.
QUIC_STATUS PushReceived(QUIC_STREAM_EVENT& event, const InboxHook& inbox, bool credited) {
    if (!inbox || event.RECEIVE.BufferCount == 0)
        return QUIC_STATUS_SUCCESS;
    std::vector<std::uint8_t> joined;
    event.RECEIVE.TotalBufferLength = inbox(ReceivedBlock(event, joined));
    return credited ? QUIC_STATUS_PENDING : QUIC_STATUS_SUCCESS;
}

// A stream that is closed as it starts: its bytes are dropped.
QUIC_STATUS RefusedStreamHandler(HQUIC, QUIC_STREAM_EVENT*, void*) {
    return QUIC_STATUS_SUCCESS;
}

// The client is connected: said once, and the monitor starts.
void AnnounceConnected(const ClientShell& shell) {
    platform::ConsoleWrite(L"VTR Client connected to " + shell.clientText + L"\r\n");
    if (shell.onClientConnected)
        shell.onClientConnected();
}

}  // namespace

void InstallServerShell(ServerShell& shell) {
    shell.auth.onPassed = [&shell](HQUIC connection) {
        const auto session = shell.endpoint->FindSession(connection);
        HQUIC expected = nullptr;
        if (!session || !serverConnection.compare_exchange_strong(expected, connection))
            return false;
        session->SetHandler(&ServerConnectionHandler, &shell);
        return true;
    };
    shell.endpoint->SetListenerHandler(&ServerListenerHandler, &shell);
}

QUIC_STATUS ConnectClientShell(ClientShell& shell, std::string_view host, std::uint16_t port) {
    shell.auth.onPassed = [&shell] { AnnounceConnected(shell); };
    shell.auth.onFailed = [&shell] {
        if (shell.onAuthenticationFailed)
            shell.onAuthenticationFailed();
    };
    return shell.endpoint->Connect(host, port, &ClientShellHandler, &shell);
}

QUIC_STATUS ServerListenerHandler(HQUIC, QUIC_LISTENER_EVENT* event, void* context) {
    auto* shell = static_cast<ServerShell*>(context);
    if (shell == nullptr || event->Type != QUIC_LISTENER_EVENT_NEW_CONNECTION)
        return QUIC_STATUS_SUCCESS;
    const HQUIC connection = event->NEW_CONNECTION.Connection;
    const auto session = shell->endpoint->FindSession(connection);
    if (!session)
        return QUIC_STATUS_SUCCESS;
    if (shell->auth.Enabled()) {
        // Served only once it passed; meanwhile it holds no client's place.
        if (serverConnection.load() != nullptr ||
            !shell->auth.Admit(session, event->NEW_CONNECTION.Info != nullptr
                                            ? event->NEW_CONNECTION.Info->RemoteAddress
                                            : nullptr)) {
            session->Shutdown();
            return QUIC_STATUS_SUCCESS;
        }
        session->SetHandler(&ServerAuthConnectionHandler, shell);
        return QUIC_STATUS_SUCCESS;
    }
    HQUIC expected = nullptr;
    if (!serverConnection.compare_exchange_strong(expected, connection)) {
        // A client is already served: this one gets nothing of the run.
        session->Shutdown();
        return QUIC_STATUS_SUCCESS;
    }
    session->SetHandler(&ServerConnectionHandler, shell);
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS ServerConnectionHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event, void* context,
                                    bool) {
    // Installed on the accepted connection only.
    if (event->Type == QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE) {
        HQUIC expected = connection;
        const bool served = serverConnection.compare_exchange_strong(expected, nullptr);
        const auto* shell = static_cast<const ServerShell*>(context);
        if (served && shell != nullptr && shell->onServerConnectionEnded)
            shell->onServerConnectionEnded();
    }
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS ServerAuthConnectionHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event,
                                        void* context, bool afterStreamCreated) {
    auto* shell = static_cast<ServerShell*>(context);
    if (shell == nullptr)
        return QUIC_STATUS_SUCCESS;
    if (event->Type == QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED && afterStreamCreated)
        shell->auth.OnPeerStream(connection, event->PEER_STREAM_STARTED.Stream);
    else if (event->Type == QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE && !afterStreamCreated)
        shell->auth.Forget(connection);
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS ClientShellHandler(HQUIC connection, QUIC_CONNECTION_EVENT* event, void* context,
                               bool afterStreamCreated) {
    auto* shell = static_cast<ClientShell*>(context);
    if (shell == nullptr)
        return QUIC_STATUS_SUCCESS;
    switch (event->Type) {
        case QUIC_CONNECTION_EVENT_CONNECTED:
            if (afterStreamCreated)
                break;
            clientConnection.store(connection);
            if (shell->auth.Enabled()) {
                // Connected only once the server proved the secret.
                if (const auto session = shell->endpoint->FindSession(connection))
                    shell->auth.Start(connection, session);
                break;
            }
            AnnounceConnected(*shell);
            break;
        case QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED: {
            if (!afterStreamCreated)
                break;
            const HQUIC stream = event->PEER_STREAM_STARTED.Stream;
            if (shell->auth.Enabled() && shell->auth.Current() != QuicAuthClient::Outcome::Passed) {
                // Nothing from a server that has not proved the secret: no
                // deployment, no tunnel to a local port.
                if (const auto session = shell->endpoint->FindSession(connection))
                    if (const auto found = session->FindStream(stream)) {
                        found->SetHandler(&RefusedStreamHandler, nullptr);
                        found->Close();
                    }
                break;
            }
            HQUIC expected = nullptr;
            // Later streams are tunnel streams and get no handler.
            if (!clientControlStream.compare_exchange_strong(expected, stream))
                break;
            if (const auto session = shell->endpoint->FindSession(clientConnection.load()))
                if (const auto found = session->FindStream(stream)) {
                    found->SetHandler(&ClientControlStreamHandler, shell);
                    if (shell->clientInboxCredit)
                        shell->clientInboxCredit(found->CreditFunction());
                }
            if (shell->onControlStream)
                shell->onControlStream(stream);
            break;
        }
        case QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE:
            if (afterStreamCreated)
                break;
            clientConnection.store(nullptr);
            if (shell->onClientConnectionEnded)
                shell->onClientConnectionEnded();
            break;
        default:
            break;
    }
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS ServerControlStreamHandler(HQUIC, QUIC_STREAM_EVENT* event, void* context) {
    const auto* control = static_cast<const ServerControl*>(context);
    if (control == nullptr)
        return QUIC_STATUS_SUCCESS;
    if (event->Type == QUIC_STREAM_EVENT_START_COMPLETE &&
        QUIC_SUCCEEDED(event->START_COMPLETE.Status)) {
        if (const auto session = control->endpoint->FindSession(serverConnection.load()))
            // A port that cannot be bound leaves the server without one.
            OpenVisualStudioPort(session, control->address, control->port1, control->localPort);
    } else if (event->Type == QUIC_STREAM_EVENT_RECEIVE) {
        return PushReceived(*event, control->inbox, control->credited);
    }
    return QUIC_STATUS_SUCCESS;
}

QUIC_STATUS ClientControlStreamHandler(HQUIC, QUIC_STREAM_EVENT* event, void* context) {
    const auto* shell = static_cast<const ClientShell*>(context);
    if (shell != nullptr && event->Type == QUIC_STREAM_EVENT_RECEIVE)
        return PushReceived(*event, shell->clientInbox,
                            static_cast<bool>(shell->clientInboxCredit));
    return QUIC_STATUS_SUCCESS;
}

HQUIC EnsureServerControlStream(QuicEndpoint& server, int port1, int localPort) {
    if (const HQUIC existing = serverControlStream.load())
        return existing;
    // Only the run's accepted client gets a control stream: with none yet, a
    // lookup would find any session, an unproven one included.
    const HQUIC connection = serverConnection.load();
    if (connection == nullptr)
        return nullptr;
    const auto session = server.FindSession(connection);
    if (!session)
        return nullptr;
    auto control = std::make_shared<ServerControl>();
    control->endpoint = &server;
    control->port1 = port1;
    control->localPort = localPort;
    const auto [handler, shellContext] = server.GetListenerHandler();
    const ServerShell* shell =
        handler == &ServerListenerHandler ? static_cast<const ServerShell*>(shellContext) : nullptr;
    if (shell != nullptr) {
        control->inbox = shell->serverInbox;
        control->credited = static_cast<bool>(shell->serverInboxCredit);
        control->address = shell->debuggerAddress;
    }
    QuicStreamInit init;
    init.handler = &ServerControlStreamHandler;
    init.context = control.get();
    init.handlerState = control;
    const OpenedStream opened = session->OpenStream(std::move(init));
    if (opened.handle == nullptr)
        return nullptr;
    // The inbox keeps count of what its reader took before this.
    if (control->credited)
        shell->serverInboxCredit(opened.stream->CreditFunction());
    serverControlStream.store(opened.handle);
    return opened.handle;
}

QUIC_STATUS SendOnStream(QuicEndpoint& endpoint, HQUIC connection, HQUIC stream,
                         std::span<const std::uint8_t> bytes, std::size_t maxUnsent) {
    return endpoint.SendOnStream(connection, stream, bytes, maxUnsent);
}

}  // namespace quic
