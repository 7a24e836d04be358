#include "platform/Signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/Thread.h"

namespace platform {

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    signals_ = UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC));
    stop_ = UniqueFd(::eventfd(0, EFD_CLOEXEC));
    if (!signals_ || !stop_ || !StartThread(watcher_, [this] { Watch(); }))
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TerminationSignals::~TerminationSignals() {
    if (!watcher_.joinable())
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stop_.get(), &one, sizeof one);
    watcher_.join();
}

void TerminationSignals::Watch() {
    for (;;) {
        pollfd fds[2] = {{signals_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        signalfd_siginfo info{};
        const ssize_t got = ::read(signals_.get(), &info, sizeof info);
        if (got == static_cast<ssize_t>(sizeof info))
            onSignal_(static_cast<int>(info.ssi_signo));
        else if (got < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
}

}  // namespace platform
