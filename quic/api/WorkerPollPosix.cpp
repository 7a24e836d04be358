#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "platform/UniqueFd.h"
#include "quic/api/WorkerPoll.h"

namespace quicapi {

namespace {

// epoll tags of the poll's own descriptors; watches have ids from 2 on.
constexpr std::uint64_t kUdpTag = 0;
constexpr std::uint64_t kWakeTag = 1;
// Events one wait takes at most: every watched socket and the UDP socket
// get their turn in one round.
constexpr int kMaxEvents = 64;

}  // namespace

struct WorkerPoll::State {
    platform::UniqueFd epoll;
    platform::UniqueFd wake;
};

WorkerPoll::WorkerPoll(std::unique_ptr<State> state) : state_(std::move(state)) {}
WorkerPoll::~WorkerPoll() = default;

std::unique_ptr<WorkerPoll> WorkerPoll::Open(platform::SocketHandle udpSocket) {
    auto state = std::make_unique<State>();
    state->epoll = platform::UniqueFd(epoll_create1(EPOLL_CLOEXEC));
    state->wake = platform::UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!state->epoll || !state->wake)
        return nullptr;
    epoll_event socketEvent{};
    socketEvent.events = EPOLLIN;
    socketEvent.data.u64 = kUdpTag;
    epoll_event wakeEvent{};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.u64 = kWakeTag;
    if (epoll_ctl(state->epoll.get(), EPOLL_CTL_ADD, udpSocket, &socketEvent) != 0 ||
        epoll_ctl(state->epoll.get(), EPOLL_CTL_ADD, state->wake.get(), &wakeEvent) != 0)
        return nullptr;
    return std::unique_ptr<WorkerPoll>(new WorkerPoll(std::move(state)));
}

void WorkerPoll::Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(state_->wake.get(), &one, sizeof one);
}

void WorkerPoll::ClearWake() {
    uint64_t value;
    [[maybe_unused]] ssize_t got = read(state_->wake.get(), &value, sizeof value);
}

bool WorkerPoll::Add(std::uint64_t id, platform::SocketHandle socket) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = id;
    return epoll_ctl(state_->epoll.get(), EPOLL_CTL_ADD, socket, &event) == 0;
}

void WorkerPoll::Remove(std::uint64_t, platform::SocketHandle socket) {
    epoll_ctl(state_->epoll.get(), EPOLL_CTL_DEL, socket, nullptr);
}

void WorkerPoll::Wait(std::uint64_t nanoseconds, Events& out) {
    out.udpReadable = false;
    out.woken = false;
    out.watches.clear();
    timespec timeout{};
    if (nanoseconds == UINT64_MAX) {
        timeout.tv_sec = 3600;
    } else {
        timeout.tv_sec = static_cast<time_t>(nanoseconds / 1000000000ull);
        timeout.tv_nsec = static_cast<long>(nanoseconds % 1000000000ull);
    }
    epoll_event events[kMaxEvents];
    const int count = epoll_pwait2(state_->epoll.get(), events, kMaxEvents, &timeout, nullptr);
    for (int i = 0; i < count; ++i) {
        const uint64_t tag = events[i].data.u64;
        const uint32_t flags = events[i].events;
        if (tag == kWakeTag)
            out.woken = true;
        else if (tag == kUdpTag)
            out.udpReadable = true;
        else
            out.watches.push_back({tag, (flags & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0,
                                   (flags & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0});
    }
}

}  // namespace quicapi
