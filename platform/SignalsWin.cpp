#include <windows.h>

#include <csignal>

#include "platform/Signals.h"
#include "platform/Thread.h"

namespace platform {
namespace {

std::mutex& ActiveLock() {
    static std::mutex lock;  // guards Active()
    return lock;
}
TerminationSignals*& Active() {
    static TerminationSignals* active = nullptr;
    return active;
}

// Runs on a thread the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int signal = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    std::lock_guard guard(ActiveLock());
    if (Active() == nullptr)
        return FALSE;  // the default: the process ends
    Active()->Deliver(signal);
    return TRUE;
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)) {
    if (!StartThread(watcher_, [this] { Watch(); }))
        return;
    {
        std::lock_guard guard(ActiveLock());
        Active() = this;
    }
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

TerminationSignals::~TerminationSignals() {
    if (!watcher_.joinable())
        return;
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    {
        std::lock_guard guard(ActiveLock());
        if (Active() == this)
            Active() = nullptr;
    }
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    changed_.notify_all();
    watcher_.join();
}

void TerminationSignals::Deliver(int signal) {
    {
        std::lock_guard guard(lock_);
        pending_.push_back(signal);
    }
    changed_.notify_all();
}

void TerminationSignals::Watch() {
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stop_ || !pending_.empty(); });
        if (stop_)
            return;
        const int signal = pending_.front();
        pending_.pop_front();
        guard.unlock();
        onSignal_(signal);
        guard.lock();
    }
}

}  // namespace platform
