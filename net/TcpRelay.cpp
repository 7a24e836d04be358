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

    NetError Send(std::uint32_t type, std::uint64_t connA, std::uint64_t connB,
                  std::uint32_t status, std::span<const std::uint8_t> payload = {}) {
        const auto head = EncodeRelayHeader({type, connA, connB, status, payload.size()});
        std::vector<std::uint8_t> message(head.begin(), head.end());
        message.insert(message.end(), payload.begin(), payload.end());
        std::lock_guard guard(writeLock);
        return socket.SendAll(message);
    }

    // Only the link's one reader thread calls this.
    NetError Read(RelayHeader& header, std::vector<std::uint8_t>& payload) {
        std::array<std::uint8_t, kRelayHeaderSize> head;
        if (const NetError error = socket.ReceiveAll(head); !Ok(error))
            return error;
        header = DecodeRelayHeader(head);
        if (header.length > kRelayMaxPayload)
            return NetError::Oversize;
        payload.resize(static_cast<std::size_t>(header.length));
        return socket.ReceiveAll(payload);
    }

    // Wakes the reader and every writer; the descriptor itself is closed when
    // the last holder of the link lets go, so the socket never changes while
    // other threads use it.
    void Shutdown() const { socket.Shutdown(); }

    const TcpSocket socket;
    std::mutex writeLock;  // guards writes on socket
};

// The open reply carries the low 32 bits of the request's identifier,
// sign-extended.
std::uint64_t EchoIdentifier(std::uint64_t requestId) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(requestId))));
}

// Which side of the control connection a thread serves.
enum class Role { Server, Client };

}  // namespace

struct TcpRelay::State {
    // guards closed, the listeners, control, pending, table, lastServerId,
    // localHost, localPort, upstream, monitors and lastClientId
    mutable std::mutex tableLock;
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

    std::atomic<int> running{0};  // relay threads not finished yet
    // Listener and control threads. They alone start pumps, so they are
    // joined first; then no pump can start any more.
    platform::ThreadSet mainThreads;
    platform::ThreadSet pumps;

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

    // The tunnelled connection a message from the peer names by the client's
    // identifier: a server row or a monitor connection of this client.
    TcpSocket Find(Role role, std::uint64_t clientId) const {
        std::lock_guard guard(tableLock);
        if (role == Role::Client) {
            const auto it = monitors.find(clientId);
            return it == monitors.end() ? TcpSocket(kInvalidSocket) : it->second;
        }
        for (const auto& row : table)
            if (row.clientId == clientId)
                return row.connection;
        return TcpSocket(kInvalidSocket);
    }

    // Drops a finished tunnelled connection: the server's row by its own
    // identifier, the client's monitor connection by the client's.
    void Forget(Role role, std::uint64_t key) {
        std::lock_guard guard(tableLock);
        if (role == Role::Client)
            monitors.erase(key);
        else
            std::erase_if(table, [&](const auto& row) { return row.serverId == key; });
    }

    // The control connection `link` ended: forgets it and hands back every
    // tunnelled connection of the role, which can never be served now.
    std::vector<TcpSocket> DropControl(Role role, const std::shared_ptr<ControlLink>& link) {
        std::vector<TcpSocket> orphans;
        std::lock_guard guard(tableLock);
        if (role == Role::Client) {
            if (upstream == link)
                upstream.reset();
            for (auto& [id, monitor] : monitors)
                orphans.push_back(monitor);
            return orphans;
        }
        if (control == link)
            control.reset();
        for (auto& [id, connection] : pending)
            orphans.push_back(connection);
        pending.clear();
        for (auto& row : table)
            orphans.push_back(row.connection);
        return orphans;
    }
};

namespace {

using State = TcpRelay::State;

template <typename Fn>
NetError StartRelayThread(State& state, platform::ThreadSet& set, Fn fn) {
    ++state.running;
    if (set.Start([&state, fn = std::move(fn)]() mutable {
            fn();
            --state.running;
        }))
        return NetError::None;
    --state.running;
    return NetError::Thread;
}

void CloseAll(std::vector<TcpSocket> sockets) {
    for (auto& socket : sockets)
        socket.Close();
}

// Carries what arrives on one tunnelled connection to the peer until either
// ends, then reports the close and forgets the connection by `key`.
void Pump(State& state, Role role, const std::shared_ptr<ControlLink>& link, TcpSocket connection,
          std::uint64_t clientId, std::uint64_t key) {
    const std::size_t readSize = role == Role::Server ? kRelayServerRead : kRelayClientRead;
    std::vector<std::uint8_t> buffer(readSize);
    for (;;) {
        const int got = connection.Receive(buffer.data(), buffer.size(), false);
        if (got <= 0)
            break;
        if (!Ok(link->Send(RELAY_DATA, clientId, 0, 0,
                           std::span(buffer.data(), static_cast<std::size_t>(got)))))
            break;
    }
    link->Send(RELAY_CLOSE, clientId, 0, 0);
    state.Forget(role, key);
    connection.Close();
}

template <typename Fn>
NetError StartPump(State& state, Fn fn) {
    return StartRelayThread(state, state.pumps, std::move(fn));
}

// Server: the client's reply to an announced debugger connection.
void ServerOpenReply(State& state, const std::shared_ptr<ControlLink>& link,
                     const RelayHeader& header) {
    // Only a reply to a connection this server announced and that is still
    // waiting is acted on.
    const auto serverId = static_cast<std::uint32_t>(header.connB);
    const std::uint64_t clientId = header.connA;
    TcpSocket connection(kInvalidSocket);
    bool relayed = false;
    {
        std::lock_guard guard(state.tableLock);
        const auto it = state.pending.find(serverId);
        if (it == state.pending.end())
            return;
        connection = std::move(it->second);
        state.pending.erase(it);
        relayed = header.status == 1 && !state.closed;
        if (relayed)
            state.table.push_back({serverId, clientId, connection});
    }
    if (!relayed) {
        connection.Close();
        return;
    }
    if (!Ok(StartPump(state, [&state, link, connection, clientId, serverId] {
            Pump(state, Role::Server, link, connection, clientId, serverId);
        }))) {
        state.Forget(Role::Server, serverId);
        connection.Close();
        link->Send(RELAY_CLOSE, clientId, 0, 0);
    }
}

// Client: the server asks for a monitor connection.
void ClientOpen(State& state, const std::shared_ptr<ControlLink>& link, std::uint64_t requestId) {
    const std::uint64_t echo = EchoIdentifier(requestId);
    TcpSocket monitor(kInvalidSocket);
    if (!Ok(monitor.Create(AF_INET6)) || !Ok(monitor.Connect(state.localHost, state.localPort))) {
        link->Send(RELAY_OPEN, 0, echo, 0);
        monitor.Close();
        return;
    }
    monitor.SetNoDelay();
    std::uint64_t clientId = 0;
    {
        std::lock_guard guard(state.tableLock);
        if (!state.closed) {
            clientId = ++state.lastClientId;
            state.monitors.emplace(clientId, monitor);
        }
    }
    if (clientId == 0) {
        link->Send(RELAY_OPEN, 0, echo, 0);
        monitor.Close();
        return;
    }
    const auto forget = [&] {
        state.Forget(Role::Client, clientId);
        monitor.Close();
    };
    if (!Ok(link->Send(RELAY_OPEN, clientId, echo, 1))) {
        forget();
        return;
    }
    if (!Ok(StartPump(state, [&state, link, monitor, clientId] {
            Pump(state, Role::Client, link, monitor, clientId, clientId);
        }))) {
        forget();
        link->Send(RELAY_CLOSE, clientId, 0, 0);
    }
}

// Serves one control connection of either role until it ends, then closes
// every tunnelled connection that depended on it.
void RunControl(State& state, Role role, const std::shared_ptr<ControlLink>& link) {
    RelayHeader header;
    std::vector<std::uint8_t> payload;
    while (Ok(link->Read(header, payload))) {
        switch (header.type) {
            case RELAY_OPEN:
                if (role == Role::Server)
                    ServerOpenReply(state, link, header);
                else
                    ClientOpen(state, link, header.connA);
                break;
            case RELAY_DATA:
                if (const TcpSocket connection = state.Find(role, header.connA);
                    connection.IsValid())
                    connection.Send(payload.data(), payload.size(), true);
                break;
            case RELAY_CLOSE:
                // The other end closed: close this one too, which wakes its
                // pump; the pump reports the close and forgets the connection.
                if (TcpSocket connection = state.Find(role, header.connA); connection.IsValid())
                    connection.Close();
                break;
            default:
                break;
        }
    }
    link->Shutdown();
    CloseAll(state.DropControl(role, link));
}

void ServerControl(State& state, TcpSocket listener) {
    TcpSocket accepted = listener.Accept();
    // One client per server run: later dials are refused rather than left
    // waiting in the backlog.
    listener.Close();
    if (!accepted.IsValid())
        return;
    auto link = std::make_shared<ControlLink>(std::exchange(accepted, TcpSocket(kInvalidSocket)));
    {
        std::lock_guard guard(state.tableLock);
        if (state.closed) {
            link->Shutdown();
            return;
        }
        state.control = link;
        state.controlListener = TcpSocket(kInvalidSocket);
    }
    RunControl(state, Role::Server, link);
}

void TunnelAcceptor(State& state, TcpSocket listener) {
    for (;;) {
        TcpSocket connection = listener.Accept();
        if (!connection.IsValid())
            break;
        connection.SetNoDelay();
        std::shared_ptr<ControlLink> link;
        std::uint32_t serverId = 0;
        {
            std::lock_guard guard(state.tableLock);
            link = state.control;
            if (link && !state.closed) {
                serverId = state.NextServerId();
                // Registered before the request goes out, so the reply always
                // finds it.
                state.pending.emplace(serverId, connection);
            }
        }
        if (!link || serverId == 0) {
            connection.Close();
            continue;
        }
        if (!Ok(link->Send(RELAY_OPEN, serverId, 0, 0))) {
            {
                std::lock_guard guard(state.tableLock);
                state.pending.erase(serverId);
            }
            connection.Close();
            continue;
        }
        platform::DebugOutput(L"Connect attempt 1\r\n");
    }
    listener.Close();
}

// A listening socket on `port` stored in `slot`, or an empty value.
TcpSocket Listen(State& state, TcpSocket& slot, int port) {
    TcpSocket listener(kInvalidSocket);
    if (!Ok(listener.Create(AF_INET6)) || !Ok(listener.BindAndListen(port)))
        return TcpSocket(kInvalidSocket);
    std::lock_guard guard(state.tableLock);
    slot = listener;
    return listener;
}

}  // namespace

TcpRelay::TcpRelay() : state_(std::make_unique<State>()) {}

TcpRelay::~TcpRelay() {
    CloseSockets();
}

void TcpRelay::StartServer(int port2, int port3) {
    if (port2 == 0 || port3 == 0)
        return;
    State& state = *state_;
    if (TcpSocket listener = Listen(state, state.controlListener, port3); listener.IsValid())
        StartRelayThread(state, state.mainThreads,
                         [&state, listener] { ServerControl(state, listener); });
    if (TcpSocket listener = Listen(state, state.tunnelListener, port2); listener.IsValid())
        StartRelayThread(state, state.mainThreads,
                         [&state, listener] { TunnelAcceptor(state, listener); });
}

NetError TcpRelay::StartClient(const std::string& host, int port) {
    State& state = *state_;
    {
        std::lock_guard guard(state.tableLock);
        if (state.closed)
            return NetError::Closed;
        state.localHost = localHost;
        state.localPort = localPort;
    }
    TcpSocket upstream(kInvalidSocket);
    if (const NetError error = upstream.Create(AF_INET6); !Ok(error))
        return error;
    if (const NetError error = upstream.Connect(host, port); !Ok(error))
        return error;
    auto link = std::make_shared<ControlLink>(std::move(upstream));
    {
        std::lock_guard guard(state.tableLock);
        // Closed while dialling: nothing may start after CloseSockets.
        if (state.closed) {
            link->Shutdown();
            return NetError::Closed;
        }
        state.upstream = link;
    }
    const NetError started = StartRelayThread(
        state, state.mainThreads, [&state, link] { RunControl(state, Role::Client, link); });
    if (!Ok(started)) {
        std::lock_guard guard(state.tableLock);
        state.upstream.reset();
        link->Shutdown();
    }
    return started;
}

void TcpRelay::CloseSockets() {
    State& state = *state_;
    std::vector<TcpSocket> sockets;
    std::shared_ptr<ControlLink> control;
    std::shared_ptr<ControlLink> upstream;
    {
        std::lock_guard guard(state.tableLock);
        state.closed = true;
        control = state.control;
        upstream = state.upstream;
        sockets.push_back(std::exchange(state.controlListener, TcpSocket(kInvalidSocket)));
        sockets.push_back(std::exchange(state.tunnelListener, TcpSocket(kInvalidSocket)));
        for (auto& [id, connection] : state.pending)
            sockets.push_back(connection);
        state.pending.clear();
        for (auto& row : state.table)
            sockets.push_back(row.connection);
        for (auto& [id, monitor] : state.monitors)
            sockets.push_back(monitor);
    }
    if (control)
        control->Shutdown();
    if (upstream)
        upstream->Shutdown();
    CloseAll(std::move(sockets));
    state.mainThreads.JoinAll();
    state.pumps.JoinAll();
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
    return state_->running.load();
}

}  // namespace net
