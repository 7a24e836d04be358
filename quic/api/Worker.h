#pragma once
// One event-loop thread that owns one UDP socket and every connection on it:
// it reads datagrams, routes them by connection id, runs timers, writes
// packets and runs the operations that API calls queue for it. All ngtcp2
// and TLS state of its connections is touched on this thread only, which is
// what serialises the callbacks of a connection and its streams. It also
// watches the local sockets streams have attached (duplicates it owns and
// closes) and reports their readiness to the stream on this thread.
//
// Ownership: the registration keeps every worker until it has ended and been
// joined; connections and listeners share it. The thread itself holds the
// worker while it runs, so the last reference never drops inside the loop.
#include <ngtcp2/ngtcp2.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "quic/api/UdpSocket.h"
#include "quic/api/WorkerPoll.h"

namespace quicapi {

using Timestamp = uint64_t;  // nanoseconds of the monotonic clock
Timestamp Now();

class Connection;
class Listener;

class Worker : public std::enable_shared_from_this<Worker> {
  public:
    // Starts the thread; `first` is the first operation it runs.
    static std::shared_ptr<Worker> Start(std::unique_ptr<UdpSocket> socket,
                                         std::function<void(Worker&)> first);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Queues an operation (any thread). Once the thread has ended, operations
    // run at once on the calling thread.
    void Post(std::function<void()> op);
    // From another thread: runs `op` on the worker and waits for it. On the
    // worker thread (or inside an operation run after the loop ended): queues
    // it, to run after the current callback returns.
    void RunAndWait(std::function<void()> op);
    bool OnThread() const;
    // Ends every connection, then the thread; Join waits for that.
    void Stop();
    void Join();
    bool Exited() const;

    // Worker thread only.
    UdpSocket& Socket() { return *socket; }
    void AddConnection(std::shared_ptr<Connection> connection);
    void MapCid(const ngtcp2_cid& cid, Connection* connection);
    void UnmapCid(const ngtcp2_cid& cid);
    void SetListener(Listener* newListener) { listener = newListener; }
    Listener* CurrentListener() const { return listener; }
    // Watches `socket` (a duplicate the worker now owns) for reading and
    // writing as WorkerPoll reports them; `onReady(readable, writable)` runs
    // on this thread for every change until Unwatch. Returns the watch's id,
    // 0 on failure (the socket is closed then).
    uint64_t Watch(platform::SocketHandle socket, std::function<void(bool, bool)> onReady);
    // Stops watching and closes the duplicate; an unknown id is ignored.
    void Unwatch(uint64_t id);
    // Keeps answering a closed connection's peer with its close packet for a while.
    void KeepClosePacket(const std::vector<ngtcp2_cid>& cids, const SocketAddress& remote,
                         std::vector<uint8_t> packet, Timestamp until);

  private:
    explicit Worker(std::unique_ptr<UdpSocket> udpSocket);
    void Run();
    bool RunOps();
    // Runs what is posted once the loop has ended, one operation at a time.
    void RunAfterExit(std::function<void()> op);
    bool RunningAfterExitHere() const;
    void Dispatch(const UdpSocket::Datagram& datagram);
    Timestamp NextExpiry() const;
    void Wake();

    struct Remnant {
        SocketAddress remote;
        std::vector<uint8_t> packet;
        Timestamp until = 0;
        Timestamp lastSent = 0;
    };

    // A watched socket, closed with the watch.
    struct SocketWatch {
        SocketWatch(platform::SocketHandle watched, std::function<void(bool, bool)> ready)
            : socket(watched), onReady(std::move(ready)) {}
        const platform::UniqueSocket socket;
        const std::function<void(bool, bool)> onReady;
    };

    std::unique_ptr<UdpSocket> socket;
    std::unique_ptr<WorkerPoll> poll;
    std::thread thread;
    std::atomic<std::thread::id> threadId{};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> wakePending{false};

    mutable std::mutex opLock;  // guards ops, exited
    std::deque<std::function<void()>> ops;
    bool exited = false;

    mutable std::mutex afterExitLock;  // guards afterExitOps, afterExitRunner
    std::deque<std::function<void()>> afterExitOps;
    // The thread running afterExitOps; none while nobody does.
    std::thread::id afterExitRunner{};

    std::vector<std::shared_ptr<Connection>> connections;
    std::unordered_map<std::string, Connection*> cids;
    std::unordered_map<std::string, std::shared_ptr<Remnant>> remnants;
    Listener* listener = nullptr;
    // Ids 0 and 1 are the poll's own.
    std::unordered_map<uint64_t, std::unique_ptr<SocketWatch>> watches;
    uint64_t nextWatchId = 2;
};

inline std::string CidKey(const uint8_t* data, size_t length) {
    return std::string(reinterpret_cast<const char*>(data), length);
}

// Length of the connection ids this implementation issues.
constexpr size_t kCidLength = 18;

}  // namespace quicapi
