#pragma once
// How a worker thread waits: for its UDP socket, for a wake-up from another
// thread, for the local sockets streams attached, and for a deadline. A
// watched socket is reported when it becomes readable or writable, and not
// again while it stays so, which is how the stream bridge expects it: it
// reads and writes until the socket would block, or stops on its own and
// resumes without a new report. On Linux this is edge-triggered epoll with
// an eventfd; on Windows Winsock's recorded network events (WSAEventSelect)
// with an event object as the wake-up, re-armed by the stream's own sends
// and receives, which therefore go through platform::TrySend and TryReceive.
// Wake is for any thread; the rest runs on the worker thread.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Socket.h"

namespace quicapi {

class WorkerPoll {
  public:
    // Null when the system gave no wait object.
    static std::unique_ptr<WorkerPoll> Open(platform::SocketHandle udpSocket);
    ~WorkerPoll();
    WorkerPoll(const WorkerPoll&) = delete;
    WorkerPoll& operator=(const WorkerPoll&) = delete;

    // Makes the current or the next Wait return. Any thread.
    void Wake();
    // Forgets the wake-ups sent so far: what they were for has been done.
    void ClearWake();

    // Reports `socket` under `id` (ids 0 and 1 are the poll's own) until
    // Remove; false when the system refused it.
    bool Add(std::uint64_t id, platform::SocketHandle socket);
    void Remove(std::uint64_t id, platform::SocketHandle socket);

    struct Ready {
        std::uint64_t id;
        bool readable;  // data, the peer's close, or an error
        bool writable;  // room, or an error
    };
    struct Events {
        bool udpReadable = false;
        bool woken = false;
        std::vector<Ready> watches;
    };
    // Waits up to `nanoseconds` (UINT64_MAX: an hour) for any of them and
    // replaces `out` with what happened.
    void Wait(std::uint64_t nanoseconds, Events& out);

    struct State;

  private:
    explicit WorkerPoll(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace quicapi
