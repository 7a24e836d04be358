#include "quic/api/Worker.h"

#include <algorithm>
#include <chrono>
#include <future>

#include "quic/api/Connection.h"
#include "quic/api/Listener.h"

namespace quicapi {

Timestamp Now() {
    // CLOCK_MONOTONIC on Linux, QueryPerformanceCounter on Windows.
    return static_cast<Timestamp>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
}

Worker::Worker(std::unique_ptr<UdpSocket> udpSocket) : socket(std::move(udpSocket)) {}

std::shared_ptr<Worker> Worker::Start(std::unique_ptr<UdpSocket> socket,
                                      std::function<void(Worker&)> first) {
    std::shared_ptr<Worker> worker(new Worker(std::move(socket)));
    worker->poll = WorkerPoll::Open(worker->socket->Fd());
    if (!worker->poll)
        return nullptr;
    worker->ops.push_back([raw = worker.get(), first = std::move(first)] { first(*raw); });
    try {
        // The thread keeps the worker alive while the loop runs: connections
        // destroyed inside it can never take the worker with them. Its
        // reference goes as the thread's very last act.
        worker->thread = std::thread([self = worker] { self->Run(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return worker;
}

uint64_t Worker::Watch(platform::SocketHandle fd, std::function<void(bool, bool)> onReady) {
    auto watch = std::make_unique<SocketWatch>(fd, std::move(onReady));
    const uint64_t id = nextWatchId++;
    if (!poll->Add(id, fd))
        return 0;  // the watch closes the socket
    watches.emplace(id, std::move(watch));
    return id;
}

void Worker::Unwatch(uint64_t id) {
    const auto found = watches.find(id);
    if (found == watches.end())
        return;
    poll->Remove(id, found->second->socket.get());
    watches.erase(found);
}

Worker::~Worker() {
    if (thread.joinable()) {
        if (OnThread()) {
            // Only as the thread's last act, after the loop: every owner let
            // go without joining (a registration closed from inside one of
            // this worker's callbacks). Nothing of the worker is touched
            // after this.
            thread.detach();
        } else {
            // The thread has left the loop already (it holds the worker
            // while it runs); the join only waits for it to return.
            Stop();
            thread.join();
        }
    }
}

bool Worker::OnThread() const {
    return threadId.load() == std::this_thread::get_id();
}

void Worker::Wake() {
    if (!wakePending.exchange(true))
        poll->Wake();
}

void Worker::Post(std::function<void()> op) {
    {
        std::lock_guard guard(opLock);
        if (!exited) {
            ops.push_back(std::move(op));
            // The loop runs what its own callbacks queue before it waits
            // again; only other threads need to wake it.
            if (!OnThread())
                Wake();
            return;
        }
    }
    RunAfterExit(std::move(op));
}

void Worker::RunAfterExit(std::function<void()> op) {
    // The loop has ended: the caller runs the operation, and whatever is
    // posted meanwhile (by this operation's callbacks or by other threads)
    // runs after it, in order, as it would on the loop.
    std::unique_lock guard(afterExitLock);
    afterExitOps.push_back(std::move(op));
    if (afterExitRunner != std::thread::id{})
        return;
    afterExitRunner = std::this_thread::get_id();
    while (!afterExitOps.empty()) {
        std::function<void()> next = std::move(afterExitOps.front());
        afterExitOps.pop_front();
        guard.unlock();
        next();
        guard.lock();
    }
    afterExitRunner = std::thread::id{};
}

bool Worker::RunningAfterExitHere() const {
    std::lock_guard guard(afterExitLock);
    return afterExitRunner == std::this_thread::get_id();
}

void Worker::RunAndWait(std::function<void()> op) {
    if (OnThread() || RunningAfterExitHere()) {
        Post(std::move(op));
        return;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    Post([&op, &done] {
        op();
        done.set_value();
    });
    finished.wait();
}

void Worker::Stop() {
    stopRequested = true;
    Wake();
}

void Worker::Join() {
    if (thread.joinable() && !OnThread())
        thread.join();
}

bool Worker::Exited() const {
    std::lock_guard guard(opLock);
    return exited;
}

void Worker::AddConnection(std::shared_ptr<Connection> connection) {
    connections.push_back(std::move(connection));
}

void Worker::MapCid(const ngtcp2_cid& cid, Connection* connection) {
    cids[CidKey(cid.data, cid.datalen)] = connection;
}

void Worker::UnmapCid(const ngtcp2_cid& cid) {
    cids.erase(CidKey(cid.data, cid.datalen));
}

void Worker::KeepClosePacket(const std::vector<ngtcp2_cid>& closedCids, const SocketAddress& remote,
                             std::vector<uint8_t> packet, Timestamp until) {
    auto remnant = std::make_shared<Remnant>();
    remnant->remote = remote;
    remnant->packet = std::move(packet);
    remnant->until = until;
    remnant->lastSent = Now();
    for (const ngtcp2_cid& cid : closedCids)
        remnants[CidKey(cid.data, cid.datalen)] = remnant;
}

bool Worker::RunOps() {
    bool ran = false;
    // Operations queued by these operations run too, up to a bound that keeps
    // the loop responsive.
    for (int round = 0; round < 64; ++round) {
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard guard(opLock);
            batch.swap(ops);
            if (!batch.empty() && wakePending) {
                // These operations are what the wake-up was for: consume it
                // here, so the next wait does not return at once for them.
                poll->ClearWake();
                wakePending = false;
            }
        }
        if (batch.empty())
            break;
        ran = true;
        for (auto& op : batch)
            op();
    }
    return ran;
}

Timestamp Worker::NextExpiry() const {
    Timestamp next = UINT64_MAX;
    for (const auto& connection : connections)
        next = std::min(next, connection->Expiry());
    for (const auto& [key, remnant] : remnants)
        next = std::min(next, remnant->until);
    return next;
}

void Worker::Dispatch(const UdpSocket::Datagram& datagram) {
    ngtcp2_version_cid vc;
    int rv = ngtcp2_pkt_decode_version_cid(&vc, datagram.data, datagram.length, kCidLength);
    // A version we do not speak can only start a connection: the listener
    // answers it.
    if (rv == NGTCP2_ERR_VERSION_NEGOTIATION && listener != nullptr)
        listener->OnUnknownPacket(*this, datagram, vc);
    if (rv != 0)
        return;
    std::string key = CidKey(vc.dcid, vc.dcidlen);
    if (auto found = cids.find(key); found != cids.end()) {
        found->second->OnDatagram(*datagram.remote, datagram.data, datagram.length);
        return;
    }
    if (auto found = remnants.find(key); found != remnants.end()) {
        Remnant& remnant = *found->second;
        Timestamp now = Now();
        // Answer a straggler, but not more often than every few milliseconds.
        if (now - remnant.lastSent > 5000000ull) {
            remnant.lastSent = now;
            socket->Send(remnant.remote, remnant.packet.data(), remnant.packet.size(),
                         remnant.packet.size());
        }
        return;
    }
    if (listener != nullptr)
        listener->OnUnknownPacket(*this, datagram, vc);
}

void Worker::Run() {
    threadId = std::this_thread::get_id();
    WorkerPoll::Events events;
    for (;;) {
        RunOps();
        if (stopRequested) {
            listener = nullptr;
            auto ending = connections;
            for (auto& connection : ending)
                connection->Abort(QUIC_STATUS_ABORTED);
            RunOps();
            connections.clear();
            std::lock_guard guard(opLock);
            if (ops.empty()) {
                exited = true;
                break;
            }
            continue;
        }
        if (connections.empty() && listener == nullptr) {
            std::lock_guard guard(opLock);
            if (ops.empty()) {
                exited = true;
                break;
            }
            continue;
        }
        // Operations queued by callbacks run before the next write, so a
        // stream closed or aborted inside a callback is never written from
        // buffers its owner has already released.
        RunOps();
        Timestamp now = Now();
        for (size_t i = 0; i < connections.size(); ++i) {
            auto connection = connections[i];
            if (connection->Expiry() <= now)
                connection->HandleExpiry(now);
            connection->StartPendingStreams();
        }
        RunOps();
        for (size_t i = 0; i < connections.size(); ++i)
            connections[i]->Flush();
        std::erase_if(connections, [](const auto& connection) { return connection->Ended(); });
        std::erase_if(remnants, [now](const auto& entry) { return entry.second->until <= now; });
        if (connections.empty() && listener == nullptr)
            continue;
        now = Now();
        Timestamp next = NextExpiry();
        {
            // Operations queued past RunOps' bound, or by the flush itself.
            std::lock_guard guard(opLock);
            if (!ops.empty())
                next = now;
        }
        // A start queued by the last operations is tried on the next round,
        // not when some packet or timer next wakes the loop.
        for (const auto& connection : connections)
            if (connection->StartsWaiting())
                next = now;
        poll->Wait(next == UINT64_MAX ? UINT64_MAX : next > now ? next - now : 0, events);
        if (events.woken) {
            poll->ClearWake();
            wakePending = false;
        }
        for (const WorkerPoll::Ready& ready : events.watches) {
            // Looked up afresh for each event: an earlier one may have ended
            // this watch. The callback may end it too, so it runs from a copy.
            if (const auto found = watches.find(ready.id); found != watches.end()) {
                const auto onReady = found->second->onReady;
                onReady(ready.readable, ready.writable);
            }
        }
        const bool readable = events.udpReadable;
        if (readable) {
            // Bounded, so that timers and sends are not starved by a flood.
            for (int round = 0; round < 16; ++round) {
                const auto& batch = socket->Receive();
                for (const auto& datagram : batch)
                    Dispatch(datagram);
                if (!socket->MayHaveMore())
                    break;
            }
        }
    }
}

}  // namespace quicapi
