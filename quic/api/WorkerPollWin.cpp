// Winsock's headers first: windows.h must not bring in the old ones.
#include "quic/api/WorkerPoll.h"

#include <windows.h>

#include "platform/SocketPoll.h"

namespace quicapi {

namespace {

// The longest single wait; the loop waits again after it.
constexpr std::uint64_t kLongestWaitMs = 3600 * 1000;

// Owns an event object.
class UniqueEvent {
  public:
    explicit UniqueEvent(WSAEVENT event) : event_(event) {}
    ~UniqueEvent() {
        if (event_ != WSA_INVALID_EVENT)
            ::WSACloseEvent(event_);
    }
    UniqueEvent(const UniqueEvent&) = delete;
    UniqueEvent& operator=(const UniqueEvent&) = delete;
    WSAEVENT get() const { return event_; }
    explicit operator bool() const { return event_ != WSA_INVALID_EVENT; }

  private:
    WSAEVENT event_;
};

bool Signalled(WSAEVENT event) {
    return ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

}  // namespace

// Winsock records a socket's network events against an event object, each
// kind once until the call that re-arms it: a receive for FD_READ, a send
// that would have blocked for FD_WRITE. That is the report-once-per-change
// the stream bridge expects, as long as it uses TrySend and TryReceive.
// Every watch shares one event object, so the wait stays at three whatever
// the number of watches (Windows waits on at most 64).
struct WorkerPoll::State {
    struct Watch {
        std::uint64_t id;
        platform::SocketHandle socket;
    };
    platform::SocketHandle udp = platform::kInvalidSocket;
    UniqueEvent udpEvent{::WSACreateEvent()};
    UniqueEvent wakeEvent{::WSACreateEvent()};
    UniqueEvent watchEvent{::WSACreateEvent()};
    std::vector<Watch> watches;
};

WorkerPoll::WorkerPoll(std::unique_ptr<State> state) : state_(std::move(state)) {}

WorkerPoll::~WorkerPoll() {
    if (state_->udp != platform::kInvalidSocket)
        ::WSAEventSelect(state_->udp, nullptr, 0);
}

std::unique_ptr<WorkerPoll> WorkerPoll::Open(platform::SocketHandle udpSocket) {
    if (!platform::StartSockets())
        return nullptr;
    auto state = std::make_unique<State>();
    if (!state->udpEvent || !state->wakeEvent || !state->watchEvent)
        return nullptr;
    if (::WSAEventSelect(udpSocket, state->udpEvent.get(), FD_READ) != 0)
        return nullptr;
    state->udp = udpSocket;
    return std::unique_ptr<WorkerPoll>(new WorkerPoll(std::move(state)));
}

void WorkerPoll::Wake() {
    ::WSASetEvent(state_->wakeEvent.get());
}

void WorkerPoll::ClearWake() {
    ::WSAResetEvent(state_->wakeEvent.get());
}

bool WorkerPoll::Add(std::uint64_t id, platform::SocketHandle socket) {
    // Makes the socket non-blocking; events already due are recorded at once.
    if (::WSAEventSelect(socket, state_->watchEvent.get(), FD_READ | FD_WRITE | FD_CLOSE) != 0)
        return false;
    state_->watches.push_back({id, socket});
    return true;
}

void WorkerPoll::Remove(std::uint64_t id, platform::SocketHandle socket) {
    ::WSAEventSelect(socket, nullptr, 0);
    std::erase_if(state_->watches, [id](const State::Watch& watch) { return watch.id == id; });
}

void WorkerPoll::Wait(std::uint64_t nanoseconds, Events& out) {
    out.udpReadable = false;
    out.woken = false;
    out.watches.clear();
    State& state = *state_;
    const WSAEVENT events[] = {state.udpEvent.get(), state.wakeEvent.get(), state.watchEvent.get()};
    // Whole milliseconds, rounded up, so a timer is never run early.
    const std::uint64_t milliseconds =
        nanoseconds == UINT64_MAX ? kLongestWaitMs
                                  : std::min(kLongestWaitMs, (nanoseconds + 999999) / 1000000);
    const DWORD result =
        ::WSAWaitForMultipleEvents(3, events, FALSE, static_cast<DWORD>(milliseconds), FALSE);
    if (result == WSA_WAIT_TIMEOUT || result == WSA_WAIT_FAILED)
        return;
    // The wait names the first object only: look at each.
    out.woken = Signalled(state.wakeEvent.get());
    WSANETWORKEVENTS recorded{};
    if (Signalled(state.udpEvent.get()) &&
        ::WSAEnumNetworkEvents(state.udp, state.udpEvent.get(), &recorded) == 0)
        out.udpReadable = (recorded.lNetworkEvents & FD_READ) != 0;
    if (!Signalled(state.watchEvent.get()))
        return;
    // Reset before the records are taken: an event recorded meanwhile sets
    // it again rather than being lost.
    ::WSAResetEvent(state.watchEvent.get());
    for (const State::Watch& watch : state.watches) {
        if (::WSAEnumNetworkEvents(watch.socket, nullptr, &recorded) != 0)
            continue;
        const long happened = recorded.lNetworkEvents;
        const bool readable = (happened & (FD_READ | FD_CLOSE)) != 0;
        const bool writable = (happened & FD_WRITE) != 0 ||
                              ((happened & FD_CLOSE) && recorded.iErrorCode[FD_CLOSE_BIT] != 0);
        if (readable || writable)
            out.watches.push_back({watch.id, readable, writable});
    }
}

}  // namespace quicapi
