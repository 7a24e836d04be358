#include "quic/api/WorkerPoll.h"

#include <algorithm>
#include <array>

#include "platform/SocketPoll.h"

namespace quicapi {

namespace {

using platform::kPollHangup;
using platform::kPollIn;
using platform::kPollOut;

// The longest single wait; the loop waits again after it.
constexpr std::uint64_t kLongestWaitMs = 3600 * 1000;

// A datagram socket on the IPv4 loopback connected to itself: a byte sent
// to it makes it readable, which ends a WSAPoll on it.
platform::UniqueSocket OpenWakeSocket() {
    platform::UniqueSocket wake(platform::OpenSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!wake)
        return wake;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(wake.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::getsockname(wake.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(wake.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        !platform::SetNonBlocking(wake.get(), true))
        return platform::UniqueSocket();
    return wake;
}

}  // namespace

struct WorkerPoll::State {
    struct Watch {
        std::uint64_t id;
        platform::SocketHandle socket;
        // A direction is asked for while armed; reported, it waits until
        // the socket is seen not ready in it (the reader drained it, the
        // writer filled it), as an edge would.
        bool readArmed = true;
        bool writeArmed = true;
        short Disarmed() const {
            return static_cast<short>((readArmed ? 0 : kPollIn) | (writeArmed ? 0 : kPollOut));
        }
        short Armed() const {
            return static_cast<short>((readArmed ? kPollIn : 0) | (writeArmed ? kPollOut : 0));
        }
    };

    platform::SocketHandle udp = platform::kInvalidSocket;
    platform::UniqueSocket wake;
    std::vector<Watch> watches;
    std::vector<platform::PollEntry> entries;  // scratch of Wait
    std::vector<std::size_t> owners;           // the watch of each entry from 2 on

    // Re-arms the directions no longer ready.
    void Rearm() {
        entries.clear();
        owners.clear();
        for (std::size_t i = 0; i < watches.size(); ++i)
            if (const short events = watches[i].Disarmed(); events != 0) {
                entries.push_back(platform::MakePollEntry(watches[i].socket, events));
                owners.push_back(i);
            }
        if (entries.empty() || platform::PollSockets(entries, 0) < 0)
            return;
        for (std::size_t k = 0; k < entries.size(); ++k) {
            const short seen = entries[k].revents;
            // A closed or failed socket stays ready for ever.
            if (seen & kPollHangup)
                continue;
            Watch& watch = watches[owners[k]];
            if (!(seen & kPollIn))
                watch.readArmed = true;
            if (!(seen & kPollOut))
                watch.writeArmed = true;
        }
    }
};

WorkerPoll::WorkerPoll(std::unique_ptr<State> state) : state_(std::move(state)) {}
WorkerPoll::~WorkerPoll() = default;

std::unique_ptr<WorkerPoll> WorkerPoll::Open(platform::SocketHandle udpSocket) {
    auto state = std::make_unique<State>();
    state->udp = udpSocket;
    state->wake = OpenWakeSocket();
    if (!state->wake)
        return nullptr;
    return std::unique_ptr<WorkerPoll>(new WorkerPoll(std::move(state)));
}

void WorkerPoll::Wake() {
    const char byte = 1;
    // A full queue already holds a wake-up.
    ::send(state_->wake.get(), &byte, 1, 0);
}

void WorkerPoll::ClearWake() {
    std::array<char, 64> bytes;
    while (::recv(state_->wake.get(), bytes.data(), static_cast<int>(bytes.size()), 0) > 0) {
    }
}

bool WorkerPoll::Add(std::uint64_t id, platform::SocketHandle socket) {
    state_->watches.push_back({id, socket});
    return true;
}

void WorkerPoll::Remove(std::uint64_t id, platform::SocketHandle) {
    std::erase_if(state_->watches, [id](const State::Watch& watch) { return watch.id == id; });
}

void WorkerPoll::Wait(std::uint64_t nanoseconds, Events& out) {
    out.udpReadable = false;
    out.woken = false;
    out.watches.clear();
    State& state = *state_;
    state.Rearm();
    state.entries.clear();
    state.owners.clear();
    state.entries.push_back(platform::MakePollEntry(state.udp, kPollIn));
    state.entries.push_back(platform::MakePollEntry(state.wake.get(), kPollIn));
    for (std::size_t i = 0; i < state.watches.size(); ++i)
        if (const short events = state.watches[i].Armed(); events != 0) {
            state.entries.push_back(platform::MakePollEntry(state.watches[i].socket, events));
            state.owners.push_back(i);
        }
    // Whole milliseconds, rounded up, so a timer is never run early.
    const std::uint64_t milliseconds =
        nanoseconds == UINT64_MAX ? kLongestWaitMs
                                  : std::min(kLongestWaitMs, (nanoseconds + 999999) / 1000000);
    if (platform::PollSockets(state.entries, static_cast<int>(milliseconds)) <= 0)
        return;
    out.udpReadable = state.entries[0].revents != 0;
    out.woken = state.entries[1].revents != 0;
    for (std::size_t k = 2; k < state.entries.size(); ++k) {
        const short seen = state.entries[k].revents;
        if (seen == 0)
            continue;
        State::Watch& watch = state.watches[state.owners[k - 2]];
        const bool failed = (seen & kPollHangup) != 0;
        const bool readable = failed || (seen & kPollIn);
        const bool writable = failed || (seen & kPollOut);
        if (!readable && !writable)
            continue;
        if (readable)
            watch.readArmed = false;
        if (writable)
            watch.writeArmed = false;
        out.watches.push_back({watch.id, readable, writable});
    }
}

}  // namespace quicapi
