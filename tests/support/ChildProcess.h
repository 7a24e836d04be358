#pragma once
// A real child process for tests: arguments, extra environment, a pipe to its
// standard input, and its standard output and error collected in the
// background so that a test can wait for a given text with a time limit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testing_support {

class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {}) {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);

        std::vector<std::string> argStore{program};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        std::map<std::string, std::string> merged;
        for (char** e = environ; *e; ++e) {
            const std::string entry(*e);
            const auto eq = entry.find('=');
            if (eq != std::string::npos)
                merged[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        // No test run may reach out to the real update service.
        merged["VTR_NO_UPDATE"] = "1";
        for (const auto& [k, v] : env)
            merged[k] = v;
        std::vector<std::string> envStore;
        for (const auto& [k, v] : merged)
            envStore.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& e : envStore)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        stdin_ = in[1];
        reader_ = std::thread([this, o = out[0], e = err[0]] { Collect(o, e); });
    }

    ~ChildProcess() {
        CloseStdin();
        if (pid_ > 0 && !exitCode_) {
            kill(pid_, SIGKILL);
            Wait(std::chrono::seconds(5));
        }
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    void Write(const std::string& text) {
        if (stdin_ >= 0) {
            [[maybe_unused]] auto n = write(stdin_, text.data(), text.size());
        }
    }
    void CloseStdin() {
        if (stdin_ >= 0)
            close(stdin_);
        stdin_ = -1;
    }

    // Waits until standard output contains `text`; false on timeout.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return out_.find(text) != std::string::npos || done_;
        }) && out_.find(text) != std::string::npos;
    }

    // Exit code once the process ended; nullopt on timeout.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (exitCode_)
            return exitCode_;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                // Let the reader drain what the process wrote last.
                std::unique_lock lock(mutex_);
                changed_.wait_for(lock, std::chrono::milliseconds(500), [&] { return done_; });
                return exitCode_;
            }
            if (r < 0)
                return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

    std::string Out() {
        std::lock_guard lock(mutex_);
        return out_;
    }
    std::string Err() {
        std::lock_guard lock(mutex_);
        return err_;
    }

  private:
    void Collect(int out, int err) {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        int open = 2;
        char buffer[65536];
        // A grandchild may keep the pipes open; stop_ ends the loop anyway.
        while (open > 0 && !stop_) {
            const int ready = poll(fds, 2, 100);
            if (ready < 0)
                break;
            if (ready == 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                    continue;
                }
                std::lock_guard lock(mutex_);
                (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
                changed_.notify_all();
            }
        }
        for (auto& fd : fds)
            if (fd.fd >= 0)
                close(fd.fd);
        std::lock_guard lock(mutex_);
        done_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<int> exitCode_;
    std::thread reader_;
    std::mutex mutex_;
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
