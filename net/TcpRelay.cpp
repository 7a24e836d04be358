#include "net/TcpRelay.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "net/AuthGate.h"
#include "net/ControlLink.h"
#include "net/RelayHeader.h"
#include "net/TcpListener.h"
#include "net/TcpSocket.h"
#include "platform/DebugOutput.h"
#include "platform/SocketPoll.h"
#include "platform/Thread.h"

namespace net {

namespace {

// Largest piece an outbox makes of the small messages it joins.
constexpr std::size_t kOutboxPiece = std::size_t{64} << 10;

// Bytes from the peer waiting for one tunnelled connection; its writer
// thread takes them out and blocks on the socket, nobody else does (Push
// writes only what the socket takes without blocking).
class Outbox {
  public:
    // `total` counts the bytes queued in all boxes of the relay.
    explicit Outbox(std::atomic<std::size_t>& total) : total_(total) {}
    ~Outbox() { Close(); }
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Waits while the box is full and its writer keeps taking bytes, so a
    // reader that is only slower than its peer loses nothing. False when the
    // box is closed, or when it stayed full and its writer took nothing for
    // kRelayStallLimit (a connection that does not read); the caller then
    // closes the connection. Without `wake` the writer is not woken for
    // these bytes: the caller calls Wake before it blocks.
    // `connection` is where the writer writes: while nothing waits and the
    // writer holds nothing, the bytes go to it at once as far as it takes
    // them without blocking, which spares a small message the hand-off to
    // the writer thread (a round trip of the debugger pays it twice).
    bool Push(std::span<const std::uint8_t> bytes, const TcpSocket& connection, bool wake = true) {
        std::unique_lock guard(lock_);
        const auto room = [&] {
            return closed_ || finishing_ || queued_ == 0 ||
                   queued_ + bytes.size() <= kRelayQueueLimit;
        };
        while (!room()) {
            changed_.notify_all();  // the writer may sleep on bytes not yet woken for
            const std::uint64_t before = taken_;
            if (!changed_.wait_for(guard, kRelayStallLimit,
                                   [&] { return room() || taken_ != before; }))
                return false;
        }
        if (closed_ || finishing_)
            return false;
        if (queue_.empty() && !writing_) {
            const int sent = connection.Send(bytes, false, Blocking::NoWait);
            if (sent > 0) {
                bytes = bytes.subspan(static_cast<std::size_t>(sent));
                taken_ += static_cast<std::size_t>(sent);
            }
            if (bytes.empty())
                return true;
        }
        // Small messages join the last piece, so the writer needs one call
        // for many of them; pieces stay small enough that the writer's
        // progress still shows often.
        if (queue_.empty() || queue_.back().size() + bytes.size() > kOutboxPiece) {
            queue_.emplace_back();
            queue_.back().reserve(std::max(bytes.size(), kOutboxPiece));
        }
        queue_.back().insert(queue_.back().end(), bytes.begin(), bytes.end());
        queued_ += bytes.size();
        total_ += bytes.size();
        if (wake)
            changed_.notify_all();
        return true;
    }

    std::size_t Queued() const {
        std::lock_guard guard(lock_);
        return queued_;
    }

    enum class Phase { Open, Finishing, Closed };
    Phase Current() const {
        std::lock_guard guard(lock_);
        return closed_ ? Phase::Closed : finishing_ ? Phase::Finishing : Phase::Open;
    }

    // The writer takes what was pushed without waking it.
    void Wake() {
        std::lock_guard guard(lock_);
        changed_.notify_all();
    }

    // Nothing more comes: the writer ends once the queue is written.
    void Finish() {
        std::lock_guard guard(lock_);
        finishing_ = true;
        changed_.notify_all();
    }

    // Drops the queue and ends the writer at once.
    void Close() {
        std::lock_guard guard(lock_);
        closed_ = true;
        queue_.clear();
        total_ -= queued_;
        queued_ = 0;
        changed_.notify_all();
    }

    // The next bytes to write; false when the writer is to end.
    bool Pop(std::vector<std::uint8_t>& out) {
        std::unique_lock guard(lock_);
        writing_ = false;  // what the last Pop gave out is written
        changed_.wait(guard, [&] { return closed_ || finishing_ || !queue_.empty(); });
        if (closed_ || queue_.empty())
            return false;
        out = std::move(queue_.front());
        queue_.pop_front();
        queued_ -= out.size();
        total_ -= out.size();
        taken_ += out.size();
        writing_ = true;
        changed_.notify_all();  // a pusher may wait for room
        return true;
    }

  private:
    std::atomic<std::size_t>& total_;
    mutable std::mutex lock_;  // guards queue_, queued_, taken_, writing_, finishing_, closed_
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> queue_;
    std::size_t queued_ = 0;
    std::uint64_t taken_ = 0;  // bytes the writer has taken (or Push wrote), ever
    // The writer holds bytes it has not finished writing: nothing may pass them.
    bool writing_ = false;
    bool finishing_ = false;
    bool closed_ = false;
};

// One tunnelled connection: its socket and what waits to be written to it.
struct Tunnel {
    TcpSocket connection{kInvalidSocket};
    std::shared_ptr<Outbox> outbox;

    bool IsValid() const { return connection.IsValid(); }
    void Close() {
        if (outbox)
            outbox->Close();
        connection.Close();
    }
    // Ends the connection now, dropping what waits for it; its pump then
    // tells the peer.
    void Drop() const {
        outbox->Close();
        connection.Shutdown();
    }
};

// The open reply carries the low 32 bits of the request's identifier,
// sign-extended.
std::uint64_t EchoIdentifier(std::uint64_t requestId) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(
        static_cast<std::int32_t>(static_cast<std::uint32_t>(requestId))));
}

// Which side of the control connection a thread serves.
enum class Role { Server, Client };

using Clock = std::chrono::steady_clock;

// Server ids whose debugger went before the client's reply are remembered
// this long (and at most this many), so a late success reply can be undone.
constexpr std::size_t kMaxAbandoned = 1024;

}  // namespace

struct TcpRelay::State {
    // Bytes in every outbox of the relay; declared first, as the outboxes
    // count down into it until the last of them goes.
    std::atomic<std::size_t> queued{0};

    // guards closed, openTimeout, the listeners, control, pending, abandoned, table,
    // lastServerId, localHost, localPort, upstream, monitors and lastClientId
    mutable std::mutex tableLock;
    bool closed = false;

    // Both roles; fixed before any relay thread starts.
    std::string secret;

    // Server role.
    std::chrono::milliseconds openTimeout{30000};
    std::shared_ptr<TcpListener> controlListener;
    std::shared_ptr<TcpListener> tunnelListener;
    std::shared_ptr<ControlLink> control;
    // Debugger connections announced to the client and waiting for its reply,
    // by the identifier the server handed out.
    struct PendingOpen {
        TcpSocket connection;
        Clock::time_point deadline;
    };
    std::map<std::uint32_t, PendingOpen> pending;
    // Announced connections dropped before the reply, until when they count.
    std::map<std::uint32_t, Clock::time_point> abandoned;
    struct RelayEntry {
        std::uint32_t serverId;
        std::uint64_t clientId;
        Tunnel tunnel;
    };
    std::vector<RelayEntry> table;
    std::uint32_t lastServerId = 0;

    // Client role.
    std::string localHost;
    int localPort = 0;
    std::shared_ptr<ControlLink> upstream;
    // Only the monitor connections this client opened; every message names
    // one of these identifiers or is dropped.
    std::map<std::uint64_t, Tunnel> monitors;
    std::uint64_t lastClientId = 0;

    std::atomic<int> running{0};  // relay threads not finished yet

    std::shared_ptr<Outbox> NewOutbox() { return std::make_shared<Outbox>(queued); }

    // Queues `bytes` for `tunnel`. A connection past its own limit is
    // dropped; when the relay as a whole is past its budget, the connection
    // furthest behind is, as the one that does not read.
    // False when the connection was dropped. Without `wake`, see Outbox::Push.
    bool Queue(const Tunnel& tunnel, std::span<const std::uint8_t> bytes, bool wake = true) {
        if (queued.load() + bytes.size() > kRelayQueueBudget) {
            Tunnel furthest = tunnel;
            std::size_t most = tunnel.outbox->Queued();
            {
                std::lock_guard guard(tableLock);
                const auto consider = [&](const Tunnel& other) {
                    if (const std::size_t size = other.outbox->Queued(); size > most) {
                        most = size;
                        furthest = other;
                    }
                };
                for (const auto& row : table)
                    consider(row.tunnel);
                for (const auto& [id, monitor] : monitors)
                    consider(monitor);
            }
            furthest.Drop();
        }
        if (tunnel.outbox->Push(bytes, tunnel.connection, wake))
            return true;
        tunnel.Drop();
        return false;
    }
    // Listener and control threads. They alone start pumps and writers, so
    // they are joined first; then no pump can start any more.
    platform::ThreadSet mainThreads;
    platform::ThreadSet pumps;

    // Identifiers are never reused while in use, unlike descriptor numbers,
    // and stay below 2^31 so the sign-extended echo of the reply is the same.
    std::uint32_t NextServerId() {
        for (;;) {
            lastServerId = lastServerId >= 0x7fffffffu ? 1 : lastServerId + 1;
            bool used = pending.count(lastServerId) != 0 || abandoned.count(lastServerId) != 0;
            for (const auto& row : table)
                used = used || row.serverId == lastServerId;
            if (!used)
                return lastServerId;
        }
    }

    // The tunnelled connection a message from the peer names by the client's
    // identifier: a server row or a monitor connection of this client.
    Tunnel Find(Role role, std::uint64_t clientId) const {
        std::lock_guard guard(tableLock);
        if (role == Role::Client) {
            const auto it = monitors.find(clientId);
            return it == monitors.end() ? Tunnel{} : it->second;
        }
        for (const auto& row : table)
            if (row.clientId == clientId)
                return row.tunnel;
        return Tunnel{};
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
    std::vector<Tunnel> DropControl(Role role, const std::shared_ptr<ControlLink>& link) {
        std::vector<Tunnel> orphans;
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
        for (auto& [id, open] : pending)
            orphans.push_back({open.connection, nullptr});
        pending.clear();
        abandoned.clear();
        for (auto& row : table)
            orphans.push_back(row.tunnel);
        return orphans;
    }

    // Moves a pending open to the abandoned ones; its socket is handed back.
    TcpSocket Abandon(std::map<std::uint32_t, PendingOpen>::iterator it, Clock::time_point now) {
        TcpSocket connection = std::move(it->second.connection);
        abandoned[it->first] = now + openTimeout;
        pending.erase(it);
        return connection;
    }

    // Pending opens whose debugger connection went (an event among `watched`,
    // which mirrors `ids`) or whose reply is overdue: their sockets, now
    // forgotten. Expired abandoned ids go as well.
    std::vector<TcpSocket> DropStalePending(std::span<const platform::PollEntry> watched,
                                            std::span<const std::uint32_t> ids) {
        std::vector<TcpSocket> stale;
        const auto now = Clock::now();
        std::lock_guard guard(tableLock);
        std::erase_if(abandoned, [&](const auto& entry) { return entry.second <= now; });
        for (std::size_t i = 0; i < watched.size(); ++i) {
            const auto it = pending.find(ids[i]);
            if (watched[i].revents != 0 && it != pending.end() &&
                it->second.connection.Handle() == watched[i].fd)
                stale.push_back(Abandon(it, now));
        }
        for (auto it = pending.begin(); it != pending.end();) {
            const auto next = std::next(it);
            if (it->second.deadline <= now)
                stale.push_back(Abandon(it, now));
            it = next;
        }
        while (abandoned.size() > kMaxAbandoned)
            abandoned.erase(abandoned.begin());
        return stale;
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

template <typename Fn>
NetError StartPump(State& state, Fn fn) {
    return StartRelayThread(state, state.pumps, std::move(fn));
}

void CloseAll(std::vector<Tunnel> tunnels) {
    for (auto& tunnel : tunnels)
        tunnel.Close();
}

// Carries what arrives on one tunnelled connection to the peer until either
// ends, then reports the close and forgets the connection by `key`.
void Pump(State& state, Role role, const std::shared_ptr<ControlLink>& link, Tunnel tunnel,
          std::uint64_t clientId, std::uint64_t key) {
    // The client reads large pieces as well but sends at most
    // kRelayClientPayload bytes a message: a read goes out as one batch.
    const std::size_t readSize = role == Role::Server ? kRelayServerRead : kRelayClientRead;
    const std::size_t maxPayload = role == Role::Server ? kRelayMaxPayload : kRelayClientPayload;
    std::vector<std::uint8_t> buffer(readSize);
    RelayBatch batch;
    for (;;) {
        const int got = tunnel.connection.Receive(buffer.data(), buffer.size(), false);
        if (got <= 0)
            break;
        batch.Data(clientId, std::span(buffer.data(), static_cast<std::size_t>(got)), maxPayload);
        if (!Ok(link->Send(batch)))
            break;
    }
    link->Send(RELAY_CLOSE, clientId, 0, 0);
    state.Forget(role, key);
    tunnel.Close();
}

// Once the peer has closed, a connection that takes no byte for this long
// gives up what is still queued for it.
constexpr auto kDrainGrace = std::chrono::seconds(5);

// Writes `bytes` to the connection without ever blocking for good: the
// writer notices a closed box, and a reader that stopped after the peer
// closed, while it waits for room.
bool WriteAll(const Tunnel& tunnel, std::span<const std::uint8_t> bytes) {
    auto progress = Clock::now();
    while (!bytes.empty()) {
        const int sent = tunnel.connection.Send(bytes, false, Blocking::NoWait);
        if (sent > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
            progress = Clock::now();
            continue;
        }
        const platform::SocketError error = platform::LastSocketError();
        if (sent == 0 || (error != platform::SocketError::WouldBlock &&
                          error != platform::SocketError::Interrupted))
            return false;
        const auto phase = tunnel.outbox->Current();
        if (phase == Outbox::Phase::Closed ||
            (phase == Outbox::Phase::Finishing && Clock::now() - progress > kDrainGrace))
            return false;
        platform::PollEntry room =
            platform::MakePollEntry(tunnel.connection.Handle(), platform::kPollOut);
        platform::PollSockets(std::span(&room, 1), 250);
    }
    return true;
}

// Writes what the peer sent for one connection; a failed write or a finished
// queue shuts the connection down, which ends its pump.
void Writer(Tunnel tunnel) {
    std::vector<std::uint8_t> bytes;
    while (tunnel.outbox->Pop(bytes))
        if (!WriteAll(tunnel, bytes))
            break;
    tunnel.outbox->Close();
    tunnel.connection.Shutdown();
}

// Starts the writer and the pump of a registered connection; on failure the
// caller forgets it.
bool StartTunnel(State& state, Role role, const std::shared_ptr<ControlLink>& link,
                 const Tunnel& tunnel, std::uint64_t clientId, std::uint64_t key) {
    if (!Ok(StartPump(state, [tunnel] { Writer(tunnel); })))
        return false;
    if (Ok(StartPump(state, [&state, role, link, tunnel, clientId, key] {
            Pump(state, role, link, tunnel, clientId, key);
        })))
        return true;
    tunnel.outbox->Close();
    return false;
}

// Server: the client's reply to an announced debugger connection.
void ServerOpenReply(State& state, const std::shared_ptr<ControlLink>& link,
                     const RelayHeader& header) {
    // Only a reply to a connection this server announced and that is still
    // waiting is acted on.
    const auto serverId = static_cast<std::uint32_t>(header.connB);
    const std::uint64_t clientId = header.connA;
    Tunnel tunnel;
    bool relayed = false;
    {
        std::lock_guard guard(state.tableLock);
        const auto it = state.pending.find(serverId);
        if (it == state.pending.end()) {
            // Its debugger went first: the client's new monitor connection
            // has no one to serve.
            const auto gone = state.abandoned.find(serverId);
            if (gone == state.abandoned.end())
                return;
            state.abandoned.erase(gone);
            relayed = header.status == 1;
        } else {
            tunnel = {std::move(it->second.connection), state.NewOutbox()};
            state.pending.erase(it);
            relayed = header.status == 1 && !state.closed;
            if (relayed)
                state.table.push_back({serverId, clientId, tunnel});
        }
    }
    if (!tunnel.IsValid()) {
        if (relayed)
            link->Send(RELAY_CLOSE, clientId, 0, 0);
        return;
    }
    if (!relayed) {
        tunnel.Close();
        return;
    }
    if (!StartTunnel(state, Role::Server, link, tunnel, clientId, serverId)) {
        state.Forget(Role::Server, serverId);
        tunnel.Close();
        link->Send(RELAY_CLOSE, clientId, 0, 0);
    }
}

// Client: the server asks for a monitor connection.
void ClientOpen(State& state, const std::shared_ptr<ControlLink>& link, std::uint64_t requestId) {
    const std::uint64_t echo = EchoIdentifier(requestId);
    bool room = false;
    {
        std::lock_guard guard(state.tableLock);
        room = !state.closed && state.monitors.size() < kRelayMaxTunnels;
    }
    Tunnel tunnel{TcpSocket(kInvalidSocket), state.NewOutbox()};
    if (!room || !Ok(tunnel.connection.Create(AF_INET6)) ||
        !Ok(tunnel.connection.Connect(state.localHost, state.localPort))) {
        link->Send(RELAY_OPEN, 0, echo, 0);
        tunnel.Close();
        return;
    }
    tunnel.connection.SetNoDelay();
    std::uint64_t clientId = 0;
    {
        // Only this thread adds monitors, so the room found above is still there.
        std::lock_guard guard(state.tableLock);
        if (!state.closed) {
            clientId = ++state.lastClientId;
            state.monitors.emplace(clientId, tunnel);
        }
    }
    if (clientId == 0) {
        link->Send(RELAY_OPEN, 0, echo, 0);
        tunnel.Close();
        return;
    }
    const auto forget = [&] {
        state.Forget(Role::Client, clientId);
        tunnel.Close();
    };
    if (!Ok(link->Send(RELAY_OPEN, clientId, echo, 1))) {
        forget();
        return;
    }
    if (!StartTunnel(state, Role::Client, link, tunnel, clientId, clientId)) {
        forget();
        link->Send(RELAY_CLOSE, clientId, 0, 0);
    }
}

// Serves one control connection of either role until it ends, then closes
// every tunnelled connection that depended on it.
void RunControl(State& state, Role role, const std::shared_ptr<ControlLink>& link) {
    RelayHeader header;
    std::span<const std::uint8_t> payload;
    // Outboxes given data whose writers have not been woken yet: the messages
    // already received are queued first, so a writer takes them in one piece
    // rather than one wake-up and one write for each small message.
    std::vector<std::shared_ptr<Outbox>> unwoken;
    const auto wakeAll = [&] {
        for (const auto& outbox : unwoken)
            outbox->Wake();
        unwoken.clear();
    };
    for (;;) {
        if (!link->HasMessage())
            wakeAll();  // before blocking for more
        if (!Ok(link->Read(header, payload)))
            break;
        if (header.type != RELAY_DATA)
            wakeAll();  // what came first goes first, and nothing waits on a slow step
        switch (header.type) {
            case RELAY_OPEN:
                if (role == Role::Server)
                    ServerOpenReply(state, link, header);
                else
                    ClientOpen(state, link, header.connA);
                break;
            case RELAY_DATA:
                // Queued, never written here: this thread serves every
                // connection. A connection too far behind is closed; its
                // pump then tells the peer.
                if (const Tunnel tunnel = state.Find(role, header.connA); tunnel.IsValid()) {
                    // A full box makes this thread wait: the others' writers
                    // must not wait with it.
                    if (tunnel.outbox->Queued() + payload.size() > kRelayQueueLimit)
                        wakeAll();
                    if (state.Queue(tunnel, payload, false) &&
                        std::find(unwoken.begin(), unwoken.end(), tunnel.outbox) == unwoken.end())
                        unwoken.push_back(tunnel.outbox);
                }
                break;
            case RELAY_CLOSE:
                // The other end closed: this one closes once what came before
                // is written, which wakes its pump; the pump reports the close
                // and forgets the connection.
                if (Tunnel tunnel = state.Find(role, header.connA); tunnel.IsValid())
                    tunnel.outbox->Finish();
                break;
            default:
                break;
        }
    }
    wakeAll();
    link->Shutdown();
    CloseAll(state.DropControl(role, link));
}

void ServerControl(State& state, const std::shared_ptr<TcpListener>& listener) {
    TcpSocket accepted = state.secret.empty()
                             ? listener->Accept()
                             : AcceptAuthenticated(*listener, state.secret, TcpChannel::Relay);
    // One client per server run: later dials are refused rather than left
    // waiting in the backlog.
    listener->Close();
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
        state.controlListener.reset();
    }
    RunControl(state, Role::Server, link);
}

// Accepts debugger connections and announces each to the client. While
// announced ones wait for the reply, it also watches them: one whose
// debugger goes, or whose reply is overdue, is dropped at once.
void TunnelAcceptor(State& state, const std::shared_ptr<TcpListener>& listener) {
    std::vector<platform::PollEntry> watched;
    std::vector<std::uint32_t> ids;
    std::vector<TcpSocket> held;  // keeps the watched descriptors open
    for (;;) {
        watched.clear();
        ids.clear();
        held.clear();
        auto nearest = Clock::time_point::max();
        {
            std::lock_guard guard(state.tableLock);
            for (const auto& [id, open] : state.pending) {
                // The debugger's going, not its first bytes: they wait for the reply.
                watched.push_back(
                    platform::MakePollEntry(open.connection.Handle(), platform::kPollPeerClosed));
                ids.push_back(id);
                held.push_back(open.connection);
                nearest = std::min(nearest, open.deadline);
            }
        }
        auto timeout = std::chrono::milliseconds(-1);
        if (nearest != Clock::time_point::max())
            timeout =
                std::max(std::chrono::milliseconds(0),
                         std::chrono::ceil<std::chrono::milliseconds>(nearest - Clock::now()));
        TcpSocket connection = listener->Accept(watched, timeout);
        for (TcpSocket& stale : state.DropStalePending(watched, ids))
            stale.Close();
        if (!connection.IsValid()) {
            if (listener->Closed())
                break;
            continue;
        }
        connection.SetNoDelay();
        std::shared_ptr<ControlLink> link;
        std::uint32_t serverId = 0;
        {
            std::lock_guard guard(state.tableLock);
            link = state.control;
            const bool room = state.pending.size() + state.table.size() < kRelayMaxTunnels;
            if (link && !state.closed && room) {
                serverId = state.NextServerId();
                // Registered before the request goes out, so the reply always
                // finds it.
                state.pending.emplace(
                    serverId, State::PendingOpen{connection, Clock::now() + state.openTimeout});
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
    listener->Close();
}

// A listener on `port` at `address` stored in `slot`, or null.
std::shared_ptr<TcpListener> Listen(State& state, std::shared_ptr<TcpListener>& slot,
                                    std::string_view address, int port) {
    auto listener = std::make_shared<TcpListener>();
    if (!Ok(listener->Listen(address, port)))
        return nullptr;
    std::lock_guard guard(state.tableLock);
    if (state.closed)
        return nullptr;
    slot = listener;
    return listener;
}

}  // namespace

TcpRelay::TcpRelay() : state_(std::make_unique<State>()) {}

TcpRelay::~TcpRelay() {
    CloseSockets();
}

void TcpRelay::StartServer(int port2, int port3, std::string_view listenAddress) {
    if (port2 == 0 || port3 == 0)
        return;
    State& state = *state_;
    {
        std::lock_guard guard(state.tableLock);
        state.openTimeout = openTimeout;
        state.secret = secret;
    }
    // The client dials in from another machine: every interface.
    if (auto listener = Listen(state, state.controlListener, "::", port3))
        StartRelayThread(state, state.mainThreads,
                         [&state, listener] { ServerControl(state, listener); });
    if (auto listener = Listen(state, state.tunnelListener, listenAddress, port2))
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
        state.secret = secret;
    }
    TcpSocket upstream(kInvalidSocket);
    if (const NetError error = upstream.Create(AF_INET6); !Ok(error))
        return error;
    if (const NetError error = upstream.Connect(host, port); !Ok(error))
        return error;
    if (!secret.empty() && !AuthenticateToServer(upstream, secret, TcpChannel::Relay)) {
        upstream.Close();
        return NetError::Refused;
    }
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
    std::vector<Tunnel> tunnels;
    std::vector<std::shared_ptr<TcpListener>> listeners;
    std::shared_ptr<ControlLink> control;
    std::shared_ptr<ControlLink> upstream;
    {
        std::lock_guard guard(state.tableLock);
        state.closed = true;
        control = state.control;
        upstream = state.upstream;
        listeners.push_back(std::exchange(state.controlListener, nullptr));
        listeners.push_back(std::exchange(state.tunnelListener, nullptr));
        for (auto& [id, open] : state.pending)
            tunnels.push_back({open.connection, nullptr});
        state.pending.clear();
        for (auto& row : state.table)
            tunnels.push_back(row.tunnel);
        for (auto& [id, monitor] : state.monitors)
            tunnels.push_back(monitor);
    }
    for (const auto& listener : listeners)
        if (listener)
            listener->Close();
    if (control)
        control->Shutdown();
    if (upstream)
        upstream->Shutdown();
    CloseAll(std::move(tunnels));
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

std::size_t TcpRelay::PendingOpens() const {
    std::lock_guard guard(state_->tableLock);
    return state_->pending.size();
}

int TcpRelay::RunningThreads() const {
    return state_->running.load();
}

}  // namespace net
