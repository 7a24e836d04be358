#include "net/TcpRelay.h"

#include <sys/socket.h>

#include <atomic>
#include <map>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "net/RelayHeader.h"
#include "net/TcpSocket.h"
#include "platform/DebugOutput.h"
#include "platform/Thread.h"

namespace net {

namespace {

// One control connection and the lock that keeps its writers' messages whole.
struct ControlLink {
    // Every message is written whole in one call, so waiting to coalesce
    // small ones only adds latency to the debugger's request/reply traffic.
    explicit ControlLink(TcpSocket connected) : socket(std::move(connected)) {
        socket.SetNoDelay();
    }

    bool Send(std::uint32_t type, std::uint64_t connA, std::uint64_t connB, std::uint32_t status,
              std::span<const std::uint8_t> payload = {}) {
        RelayHeader header;
        header.type = type;
        header.connA = connA;
        header.connB = connB;
        header.status = status;
        header.length = payload.size();
        const auto head = EncodeRelayHeader(header);
        std::vector<std::uint8_t> message(head.begin(), head.end());
        message.insert(message.end(), payload.begin(), payload.end());
        std::lock_guard guard(writeLock);
        return socket.Send(message.data(), message.size(), true) ==
               static_cast<int>(message.size());
    }

    // Only the link's one reader thread calls this.
    bool Read(RelayHeader& header, std::vector<std::uint8_t>& payload) {
        std::array<std::uint8_t, kRelayHeaderSize> head;
        if (socket.Receive(head.data(), head.size(), true) != static_cast<int>(head.size()))
            return false;
        header = DecodeRelayHeader(head);
        if (header.length > kRelayMaxPayload)
            return false;
        payload.resize(static_cast<std::size_t>(header.length));
        return payload.empty() || socket.Receive(payload.data(), payload.size(), true) ==
                                      static_cast<int>(payload.size());
    }

    // Wakes the reader and every writer; the descriptor itself is closed when
    // the last holder of the link lets go, so the socket never changes while
    // other threads use it.
    void Shutdown() const { socket.Shutdown(); }

    const TcpSocket socket;
    std::mutex writeLock;
};

// The open reply carries the low 32 bits of the request's identifier,
// sign-extended.
std::uint64_t EchoIdentifier(std::uint64_t requestId) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(requestId))));
}

}  // namespace

struct TcpRelay::State {
    mutable std::mutex tableLock;  // guards everything below but the counter
    bool closed = false;

    // Server role.
    TcpSocket controlListener{kInvalidSocket};
    TcpSocket tunnelListener{kInvalidSocket};
    std::shared_ptr<ControlLink> control;
    // Debugger connections announced to the client and waiting for its reply,
    // by the identifier the server handed out.
    std::map<std::uint32_t, TcpSocket> pending;
    struct RelayEntry {
        std::uint32_t serverId;
        std::uint64_t clientId;
        TcpSocket connection;
    };
    std::vector<RelayEntry> table;
    std::uint32_t lastServerId = 0;

    // Client role.
    std::string localHost;
    int localPort = 0;
    std::shared_ptr<ControlLink> upstream;
    // Only the monitor connections this client opened; every message names
    // one of these identifiers or is dropped.
    std::map<std::uint64_t, TcpSocket> monitors;
    std::uint64_t lastClientId = 0;

    std::atomic<int> threads{0};

    // Identifiers are never reused while in use, unlike descriptor numbers,
    // and stay below 2^31 so the sign-extended echo of the reply is the same.
    std::uint32_t NextServerId() {
        for (;;) {
            lastServerId = lastServerId >= 0x7fffffffu ? 1 : lastServerId + 1;
            bool used = pending.count(lastServerId) != 0;
            for (const auto& row : table)
                used = used || row.serverId == lastServerId;
            if (!used)
                return lastServerId;
        }
    }

    TcpSocket FindRow(std::uint64_t clientId) const {
        std::lock_guard guard(tableLock);
        for (const auto& row : table)
            if (row.clientId == clientId)
                return row.connection;
        return TcpSocket(kInvalidSocket);
    }

    TcpSocket FindMonitor(std::uint64_t clientId) const {
        std::lock_guard guard(tableLock);
        const auto it = monitors.find(clientId);
        return it == monitors.end() ? TcpSocket(kInvalidSocket) : it->second;
    }
};

namespace {

using State = TcpRelay::State;

template <typename Fn>
bool StartRelayThread(const std::shared_ptr<State>& state, Fn fn) {
    ++state->threads;
    const bool started = platform::StartDetached([state, fn = std::move(fn)]() mutable {
        fn();
        --state->threads;
    });
    if (!started)
        --state->threads;
    return started;
}

void CloseAll(std::vector<TcpSocket>& sockets) {
    for (auto& socket : sockets)
        socket.Close();
    sockets.clear();
}

void ServerPump(std::shared_ptr<State> state, std::shared_ptr<ControlLink> link,
                TcpSocket connection, std::uint64_t clientId, std::uint32_t serverId) {
    std::vector<std::uint8_t> buffer(100000);
    for (;;) {
        const int got = connection.Receive(buffer.data(), kRelayServerRead, false);
        if (got <= 0)
            break;
        if (!link->Send(RELAY_DATA, clientId, 0, 0,
                        std::span(buffer.data(), static_cast<std::size_t>(got))))
            break;
    }
    link->Send(RELAY_CLOSE, clientId, 0, 0);
    {
        std::lock_guard guard(state->tableLock);
        std::erase_if(state->table, [&](const auto& row) { return row.serverId == serverId; });
    }
    connection.Close();
}

void ServerControl(std::shared_ptr<State> state, TcpSocket listener) {
    TcpSocket accepted = listener.Accept();
    // One client per server run: later dials are refused rather than left
    // waiting in the backlog.
    listener.Close();
    if (!accepted.IsValid())
        return;
    auto link = std::make_shared<ControlLink>(accepted);
    accepted = TcpSocket(kInvalidSocket);
    {
        std::lock_guard guard(state->tableLock);
        if (state->closed) {
            link->Shutdown();
            return;
        }
        state->control = link;
        state->controlListener = TcpSocket(kInvalidSocket);
    }

    RelayHeader header;
    std::vector<std::uint8_t> payload;
    while (link->Read(header, payload)) {
        if (header.type == RELAY_OPEN) {
            // Only a reply to a connection this server announced and that is
            // still waiting is acted on.
            const auto serverId = static_cast<std::uint32_t>(header.connB);
            TcpSocket connection(kInvalidSocket);
            {
                std::lock_guard guard(state->tableLock);
                const auto it = state->pending.find(serverId);
                if (it == state->pending.end())
                    continue;
                connection = std::move(it->second);
                state->pending.erase(it);
                if (header.status == 1 && !state->closed)
                    state->table.push_back({serverId, header.connA, connection});
                else
                    header.status = 0;
            }
            if (header.status != 1) {
                connection.Close();
                continue;
            }
            if (!StartRelayThread(state,
                                  [state, link, connection, clientId = header.connA, serverId] {
                                      ServerPump(state, link, connection, clientId, serverId);
                                  })) {
                {
                    std::lock_guard guard(state->tableLock);
                    std::erase_if(state->table,
                                  [&](const auto& row) { return row.serverId == serverId; });
                }
                connection.Close();
                link->Send(RELAY_CLOSE, header.connA, 0, 0);
            }
        } else if (header.type == RELAY_DATA) {
            TcpSocket connection = state->FindRow(header.connA);
            if (connection.IsValid())
                connection.Send(payload.data(), payload.size(), true);
        } else if (header.type == RELAY_CLOSE) {
            // Wakes the pump, which reports the close and removes the row.
            TcpSocket connection = state->FindRow(header.connA);
            if (connection.IsValid())
                connection.Close();
        }
    }

    link->Shutdown();
    std::vector<TcpSocket> orphans;
    {
        std::lock_guard guard(state->tableLock);
        if (state->control == link)
            state->control.reset();
        // Without a control connection these can never be served.
        for (auto& [id, connection] : state->pending)
            orphans.push_back(connection);
        state->pending.clear();
        for (auto& row : state->table)
            orphans.push_back(row.connection);
    }
    CloseAll(orphans);
}

void TunnelAcceptor(std::shared_ptr<State> state, TcpSocket listener) {
    for (;;) {
        TcpSocket connection = listener.Accept();
        if (!connection.IsValid())
            break;
        connection.SetNoDelay();
        std::shared_ptr<ControlLink> link;
        std::uint32_t serverId = 0;
        {
            std::lock_guard guard(state->tableLock);
            link = state->control;
            if (link && !state->closed) {
                serverId = state->NextServerId();
                // Registered before the request goes out, so the reply always
                // finds it.
                state->pending.emplace(serverId, connection);
            }
        }
        if (!link || serverId == 0) {
            connection.Close();
            continue;
        }
        if (!link->Send(RELAY_OPEN, serverId, 0, 0)) {
            {
                std::lock_guard guard(state->tableLock);
                state->pending.erase(serverId);
            }
            connection.Close();
            continue;
        }
        platform::DebugOutput(L"Connect attempt 1\r\n");
    }
    listener.Close();
}

void ClientPump(std::shared_ptr<State> state, std::shared_ptr<ControlLink> link,
                TcpSocket connection, std::uint64_t clientId) {
    std::vector<std::uint8_t> buffer(kRelayClientRead);
    for (;;) {
        const int got = connection.Receive(buffer.data(), buffer.size(), false);
        if (got <= 0)
            break;
        if (!link->Send(RELAY_DATA, clientId, 0, 0,
                        std::span(buffer.data(), static_cast<std::size_t>(got))))
            break;
    }
    link->Send(RELAY_CLOSE, clientId, 0, 0);
    {
        std::lock_guard guard(state->tableLock);
        state->monitors.erase(clientId);
    }
    connection.Close();
}

void ClientOpen(const std::shared_ptr<State>& state, const std::shared_ptr<ControlLink>& link,
                std::uint64_t requestId) {
    const std::uint64_t echo = EchoIdentifier(requestId);
    TcpSocket monitor(kInvalidSocket);
    if (monitor.Create(AF_INET6) != 0 || !monitor.Connect(state->localHost, state->localPort)) {
        link->Send(RELAY_OPEN, 0, echo, 0);
        monitor.Close();
        return;
    }
    monitor.SetNoDelay();
    std::uint64_t clientId = 0;
    {
        std::lock_guard guard(state->tableLock);
        if (!state->closed) {
            clientId = ++state->lastClientId;
            state->monitors.emplace(clientId, monitor);
        }
    }
    if (clientId == 0) {
        link->Send(RELAY_OPEN, 0, echo, 0);
        monitor.Close();
        return;
    }
    const auto forget = [&] {
        {
            std::lock_guard guard(state->tableLock);
            state->monitors.erase(clientId);
        }
        monitor.Close();
    };
    if (!link->Send(RELAY_OPEN, clientId, echo, 1)) {
        forget();
        return;
    }
    if (!StartRelayThread(state, [state, link, monitor, clientId] {
            ClientPump(state, link, monitor, clientId);
        })) {
        forget();
        link->Send(RELAY_CLOSE, clientId, 0, 0);
    }
}

void ClientControl(std::shared_ptr<State> state, std::shared_ptr<ControlLink> link) {
    RelayHeader header;
    std::vector<std::uint8_t> payload;
    while (link->Read(header, payload)) {
        if (header.type == RELAY_OPEN) {
            ClientOpen(state, link, header.connA);
        } else if (header.type == RELAY_DATA) {
            TcpSocket monitor = state->FindMonitor(header.connA);
            if (monitor.IsValid())
                monitor.Send(payload.data(), payload.size(), true);
        } else if (header.type == RELAY_CLOSE) {
            // The debugger ended this connection: end the monitor side too;
            // the pump reports it and forgets the identifier.
            TcpSocket monitor = state->FindMonitor(header.connA);
            if (monitor.IsValid())
                monitor.Close();
        }
    }

    link->Shutdown();
    std::vector<TcpSocket> orphans;
    {
        std::lock_guard guard(state->tableLock);
        if (state->upstream == link)
            state->upstream.reset();
        for (auto& [id, monitor] : state->monitors)
            orphans.push_back(monitor);
    }
    CloseAll(orphans);
}

}  // namespace

TcpRelay::TcpRelay() : state_(std::make_shared<State>()) {}

TcpRelay::~TcpRelay() {
    CloseSockets();
}

void TcpRelay::StartServer(int port2, int port3) {
    if (port2 == 0 || port3 == 0)
        return;
    TcpSocket controlListener(kInvalidSocket);
    if (controlListener.Create(AF_INET6) == 0 && controlListener.BindAndListen(port3)) {
        {
            std::lock_guard guard(state_->tableLock);
            state_->controlListener = controlListener;
        }
        StartRelayThread(
            state_, [state = state_, controlListener] { ServerControl(state, controlListener); });
    }
    TcpSocket tunnelListener(kInvalidSocket);
    if (tunnelListener.Create(AF_INET6) == 0 && tunnelListener.BindAndListen(port2)) {
        {
            std::lock_guard guard(state_->tableLock);
            state_->tunnelListener = tunnelListener;
        }
        StartRelayThread(
            state_, [state = state_, tunnelListener] { TunnelAcceptor(state, tunnelListener); });
    }
}

bool TcpRelay::StartClient(const std::string& host, int port) {
    {
        std::lock_guard guard(state_->tableLock);
        if (state_->closed)
            return false;
        state_->localHost = localHost;
        state_->localPort = localPort;
    }
    TcpSocket upstream(kInvalidSocket);
    if (upstream.Create(AF_INET6) != 0 || !upstream.Connect(host, port))
        return false;
    auto link = std::make_shared<ControlLink>(std::move(upstream));
    {
        std::lock_guard guard(state_->tableLock);
        state_->upstream = link;
    }
    if (!StartRelayThread(state_, [state = state_, link] { ClientControl(state, link); })) {
        std::lock_guard guard(state_->tableLock);
        state_->upstream.reset();
        link->Shutdown();
        return false;
    }
    return true;
}

void TcpRelay::CloseSockets() {
    std::vector<TcpSocket> sockets;
    std::shared_ptr<ControlLink> control;
    std::shared_ptr<ControlLink> upstream;
    {
        std::lock_guard guard(state_->tableLock);
        state_->closed = true;
        control = state_->control;
        upstream = state_->upstream;
        sockets.push_back(std::exchange(state_->controlListener, TcpSocket(kInvalidSocket)));
        sockets.push_back(std::exchange(state_->tunnelListener, TcpSocket(kInvalidSocket)));
        for (auto& [id, connection] : state_->pending)
            sockets.push_back(connection);
        state_->pending.clear();
        for (auto& row : state_->table)
            sockets.push_back(row.connection);
        for (auto& [id, monitor] : state_->monitors)
            sockets.push_back(monitor);
    }
    if (control)
        control->Shutdown();
    if (upstream)
        upstream->Shutdown();
    CloseAll(sockets);
}

bool TcpRelay::ControlConnected() const {
    std::lock_guard guard(state_->tableLock);
    return state_->control != nullptr || state_->upstream != nullptr;
}

std::size_t TcpRelay::TunnelCount() const {
    std::lock_guard guard(state_->tableLock);
    return state_->table.size() + state_->monitors.size();
}

int TcpRelay::RunningThreads() const {
    return state_->threads.load();
}

}  // namespace net
