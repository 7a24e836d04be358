#pragma once
// A real child process for tests and benchmarks, started through the
// program's own platform::ChildProcess: arguments, extra environment, a pipe
// to its standard input, and its standard output and error collected in the
// background so that a caller can wait for a given text with a time limit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "platform/UniqueFd.h"

namespace testing_support {

struct ProcessOptions {
    // Standard error goes into the same collected stream as the output.
    bool mergeErrors = false;
    // A process group of its own, killed whole at the end, so that what
    // the child starts (the monitor) ends with it.
    bool ownGroup = false;
};

class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {}, ProcessOptions options = {})
        : ownGroup_(options.ownGroup) {
        platform::UniqueFd in[2], out[2], err[2];
        if (!MakePipe(in) || !MakePipe(out) || (!options.mergeErrors && !MakePipe(err)))
            return;
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        platform::ChildOptions spawn;
        spawn.stdIn = in[0].get();
        spawn.stdOut = out[1].get();
        spawn.stdErr = options.mergeErrors ? out[1].get() : err[1].get();
        spawn.ownGroup = options.ownGroup;
        spawn.inheritSignals = true;
        // No test run may reach out to the real update service, unless the
        // test names VTR_NO_UPDATE itself (and a service of its own).
        if (env.count("VTR_NO_UPDATE") == 0)
            spawn.environment.push_back("VTR_NO_UPDATE=1");
        for (const auto& [name, value] : env)
            spawn.environment.push_back(name + "=" + value);
        if (child_.Start(argv, spawn))
            pid_ = child_.Id();
        stdin_ = std::move(in[1]);
        reader_ = std::thread(
            [this, o = std::move(out[0]), e = std::move(err[0])] { Collect(o.get(), e.get()); });
    }

    ~ChildProcess() {
        CloseStdin();
        if (pid_ > 0 && !exitCode_) {
            Kill();
            Wait(std::chrono::seconds(5));
        } else if (ownGroup_ && pid_ > 0) {
            ::kill(-pid_, SIGKILL);
        }
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    bool Write(std::string_view text) {
        return stdin_ &&
               ::write(stdin_.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void CloseStdin() { stdin_.reset(); }

    // Waits until standard output after offset `from` contains `text`; false
    // on timeout. `end` receives the offset just past the match.
    bool WaitForOutput(std::string_view text, std::chrono::milliseconds timeout,
                       std::size_t from = 0, std::size_t* end = nullptr) {
        std::unique_lock lock(mutex_);
        std::size_t at = std::string::npos;
        changed_.wait_for(lock, timeout, [&] {
            at = out_.size() > from ? out_.find(text, from) : std::string::npos;
            return at != std::string::npos || done_;
        });
        if (at == std::string::npos)
            return false;
        if (end)
            *end = at + text.size();
        return true;
    }

    // Exit code once the process ended (128 + the signal that ended it);
    // nullopt on timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (exitCode_ || pid_ <= 0)
            return exitCode_;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!child_.Exited()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const int status = child_.ExitStatus();
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        // Let the reader drain what the process wrote last.
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(500), [&] { return done_; });
        return exitCode_;
    }

    // Closes standard input and gives the child `grace` to end; then it is
    // killed. The exit code, or nullopt when it had to be killed.
    std::optional<int> Stop(std::chrono::milliseconds grace) {
        CloseStdin();
        const auto code = Wait(grace);
        if (!code) {
            Kill();
            Wait(std::chrono::seconds(5));
        }
        return code;
    }

    std::string Out() {
        std::lock_guard lock(mutex_);
        return out_;
    }
    std::size_t OutSize() {
        std::lock_guard lock(mutex_);
        return out_.size();
    }
    std::string Err() {
        std::lock_guard lock(mutex_);
        return err_;
    }

  private:
    static bool MakePipe(platform::UniqueFd (&ends)[2]) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        ends[0] = platform::UniqueFd(fds[0]);
        ends[1] = platform::UniqueFd(fds[1]);
        return true;
    }

    void Kill() {
        if (ownGroup_)
            ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
    }

    void Collect(int out, int err) {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        int open = (out >= 0) + (err >= 0);
        char buffer[65536];
        // A grandchild may keep the pipes open; stop_ ends the loop anyway.
        while (open > 0 && !stop_) {
            const int ready = ::poll(fds, 2, 100);
            if (ready < 0)
                break;
            if (ready == 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    fds[i].fd = -1;  // closed by its owner in the caller
                    --open;
                    continue;
                }
                std::lock_guard lock(mutex_);
                (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
                changed_.notify_all();
            }
        }
        std::lock_guard lock(mutex_);
        done_ = true;
        changed_.notify_all();
    }

    const bool ownGroup_;
    platform::ChildProcess child_;
    pid_t pid_ = -1;  // kept after the child is reaped, for its group
    platform::UniqueFd stdin_;
    std::optional<int> exitCode_;
    std::thread reader_;
    std::mutex mutex_;  // guards out_, err_, done_
    std::condition_variable changed_;
    std::string out_, err_;
    bool done_ = false;
    std::atomic<bool> stop_{false};
};

// Runs a program to its end with the given input; returns the exit code.
inline int RunToEnd(ChildProcess& child, const std::string& input,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    child.Write(input);
    child.CloseStdin();
    const auto code = child.Wait(timeout);
    return code ? *code : -1;
}

}  // namespace testing_support
