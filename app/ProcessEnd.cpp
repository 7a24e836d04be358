#include "app/ProcessEnd.h"

#include "platform/Console.h"
#include "platform/Dialogs.h"

namespace app {

void ProcessEnd::Request(int exitCode) {
    {
        std::lock_guard guard(lock_);
        if (code_)
            return;
        code_ = exitCode;
    }
    changed_.notify_all();
    platform::EndConsoleInput();
    platform::EndDialogs();
}

bool ProcessEnd::Requested() const {
    std::lock_guard guard(lock_);
    return code_.has_value();
}

bool ProcessEnd::WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [this] { return code_.has_value(); });
}

int ProcessEnd::ExitCode() const {
    std::lock_guard guard(lock_);
    return code_.value_or(0);
}

void ProcessEnd::Finished() {
    {
        std::lock_guard guard(lock_);
        finished_ = true;
    }
    changed_.notify_all();
}

bool ProcessEnd::WaitFinished(std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [this] { return finished_; });
}

}  // namespace app
