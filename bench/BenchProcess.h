#pragma once
// Support for the benchmarks that drive the real program: a child process
// with a pipe on its standard input and one collecting its standard output,
// its CPU time, and free loopback ports. Header-only, because every .cpp in
// this folder becomes a program of its own.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void Reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A port on 127.0.0.1 that is free for TCP (and UDP when asked) right now.
inline int FreeLoopbackPort(bool udpToo) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        UniqueFd tcp(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!tcp)
            return 0;
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        if (::bind(tcp.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            continue;
        socklen_t length = sizeof address;
        if (::getsockname(tcp.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            continue;
        if (!udpToo)
            return ntohs(address.sin6_port);
        UniqueFd udp(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (udp && ::bind(udp.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return ntohs(address.sin6_port);
    }
    return 0;
}

// One child in a process group of its own, so that what it starts (the
// monitor) ends with it.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Stop(std::chrono::milliseconds(3000)); }

    // `environment` entries ("NAME=value") replace or add to ours.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
        int toChild[2];
        int fromChild[2];
        if (::pipe2(toChild, O_CLOEXEC) != 0)
            return false;
        UniqueFd childIn(toChild[0]);
        input_.Reset(toChild[1]);
        if (::pipe2(fromChild, O_CLOEXEC) != 0)
            return false;
        output_fd_.Reset(fromChild[0]);
        UniqueFd childOut(fromChild[1]);

        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            const std::string_view entry(*e);
            bool replaced = false;
            for (const auto& mine : environment) {
                const auto name = mine.substr(0, mine.find('=') + 1);
                replaced = replaced || entry.substr(0, name.size()) == name;
            }
            if (!replaced)
                envText.emplace_back(entry);
        }
        envText.insert(envText.end(), environment.begin(), environment.end());
        std::vector<char*> envp;
        for (auto& entry : envText)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (auto& arg : args)
            argp.push_back(arg.data());
        argp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)>
            actionsGuard(&actions, &posix_spawn_file_actions_destroy);
        posix_spawn_file_actions_adddup2(&actions, childIn.Get(), 0);
        posix_spawn_file_actions_adddup2(&actions, childOut.Get(), 1);
        posix_spawn_file_actions_adddup2(&actions, childOut.Get(), 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        const std::unique_ptr<posix_spawnattr_t, int (*)(posix_spawnattr_t*)> attributesGuard(
            &attributes, &posix_spawnattr_destroy);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        pid_t pid = -1;
        if (::posix_spawn(&pid, argp[0], &actions, &attributes, argp.data(), envp.data()) != 0)
            return false;
        pid_ = pid;
        reader_ = std::thread([this] { ReadOutput(); });
        return true;
    }

    pid_t Pid() const { return pid_; }

    bool WriteLine(std::string_view line) {
        std::string text(line);
        text += '\n';
        return input_ &&
               ::write(input_.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    void CloseInput() { input_.Reset(); }

    // Waits until the output after `from` holds `text`; `end` receives the
    // offset just past the match.
    bool WaitFor(std::string_view text, std::chrono::milliseconds timeout, std::size_t from = 0,
                 std::size_t* end = nullptr) {
        std::unique_lock lock(mutex_);
        std::size_t at = std::string::npos;
        const bool found = changed_.wait_for(lock, timeout, [&] {
            at = output_.size() > from ? output_.find(text, from) : std::string::npos;
            return at != std::string::npos || finished_;
        });
        if (!found || at == std::string::npos)
            return false;
        if (end)
            *end = at + text.size();
        return true;
    }

    std::size_t OutputSize() const {
        std::lock_guard lock(mutex_);
        return output_.size();
    }

    std::string Output() const {
        std::lock_guard lock(mutex_);
        return output_;
    }

    // User + system CPU seconds of the child so far (not of its children).
    double CpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const auto close = text.rfind(')');
        if (close == std::string::npos)
            return 0;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        // Fields after the name start at 3 (state); utime is 14, stime 15.
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index == 14)
                utime = std::stoull(field);
            if (index == 15)
                stime = std::stoull(field);
        }
        return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    // Closes standard input, gives the child `grace` to end, then kills its
    // process group. Returns the exit status (-1 when it had to be killed).
    int Stop(std::chrono::milliseconds grace) {
        if (pid_ <= 0)
            return -1;
        CloseInput();
        int status = 0;
        bool exited = false;
        const auto deadline = Clock::now() + grace;
        while (!exited && Clock::now() < deadline) {
            exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
            if (!exited)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(-pid_, SIGKILL);
        if (!exited)
            ::waitpid(pid_, &status, 0);
        pid_ = -1;
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    void ReadOutput() {
        char buffer[4096];
        while (!stop_) {
            pollfd entry{output_fd_.Get(), POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0)
                continue;
            const ssize_t got = ::read(output_fd_.Get(), buffer, sizeof buffer);
            if (got <= 0)
                break;
            std::lock_guard lock(mutex_);
            output_.append(buffer, static_cast<std::size_t>(got));
            changed_.notify_all();
        }
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    UniqueFd input_;
    UniqueFd output_fd_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool finished_ = false;
};

// A fresh directory under $TMPDIR or /tmp, removed with its contents.
class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vtr-bench.XXXXXX";
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace bench
