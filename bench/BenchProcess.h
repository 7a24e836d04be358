#pragma once
// Support for the benchmarks that drive the real program: a child process
// (the tests' one, with the CPU time it used), free loopback ports and a
// temporary directory. Header-only, because every .cpp in this folder
// becomes a program of its own.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/UniqueFd.h"
#include "support/ChildProcess.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using platform::UniqueFd;

// A port on 127.0.0.1 that is free for TCP (and UDP when asked) right now.
inline int FreeLoopbackPort(bool udpToo) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        UniqueFd tcp(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!tcp)
            return 0;
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        if (::bind(tcp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            continue;
        socklen_t length = sizeof address;
        if (::getsockname(tcp.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            continue;
        if (!udpToo)
            return ntohs(address.sin6_port);
        UniqueFd udp(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (udp && ::bind(udp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return ntohs(address.sin6_port);
    }
    return 0;
}

// One child of the benchmarks, on the tests' child process: output and
// errors in one stream, in a process group of its own so that what it starts
// (the monitor) ends with it.
class ChildProcess {
  public:
    // argv[0] names the program; `environment` entries ("NAME=value")
    // replace or add to ours.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
        if (argv.empty())
            return false;
        std::map<std::string, std::string> env;
        for (const std::string& entry : environment) {
            const auto equals = entry.find('=');
            env[entry.substr(0, equals)] =
                equals == std::string::npos ? std::string() : entry.substr(equals + 1);
        }
        child_ = std::make_unique<testing_support::ChildProcess>(
            argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()), env,
            testing_support::ProcessOptions{.mergeErrors = true, .ownGroup = true});
        return child_->Started();
    }

    pid_t Pid() const { return child_ ? child_->Pid() : -1; }

    bool WriteLine(std::string_view line) {
        return child_ && child_->Write(std::string(line) + "\n");
    }

    // Waits until the output after `from` holds `text`; `end` receives the
    // offset just past the match.
    bool WaitFor(std::string_view text, std::chrono::milliseconds timeout, std::size_t from = 0,
                 std::size_t* end = nullptr) {
        return child_ && child_->WaitForOutput(text, timeout, from, end);
    }

    std::size_t OutputSize() const { return child_ ? child_->OutSize() : 0; }
    std::string Output() const { return child_ ? child_->Out() : std::string(); }

    // User + system CPU seconds of the child so far (not of its children).
    double CpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(Pid()) + "/stat");
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
    // process group. Returns the exit code (-1 when it had to be killed).
    int Stop(std::chrono::milliseconds grace) {
        if (!child_)
            return -1;
        const auto code = child_->Stop(grace);
        child_.reset();
        return code.value_or(-1);
    }

  private:
    std::unique_ptr<testing_support::ChildProcess> child_;
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
