#pragma once
// Whole-file reads and writes for tests that look at what the real program
// left on disk, and a listing to prove nothing else was left there.
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace testing_support {

inline void WriteText(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The file's bytes; empty when it cannot be read.
inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Names of the entries of `directory` (not recursive); empty when it is none.
inline std::set<std::string> EntryNames(const std::filesystem::path& directory) {
    std::set<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
         it.increment(ec))
        names.insert(it->path().filename().string());
    return names;
}

// What the kernel's TCP tables (files as well) show for the local `port`.
struct TcpPortState {
    bool listening = false;  // a listener is bound to it
    bool queued = false;     // a connection waits in the listener's queue for accept()
    bool established = false;
};

inline TcpPortState ReadTcpPortState(int port) {
    TcpPortState state;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(ReadText(table));
        std::string line;
        std::getline(lines, line);  // column titles
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, status, queues;
            fields >> slot >> local >> remote >> status >> queues;
            const auto colon = local.rfind(':');
            if (colon == std::string::npos ||
                std::stoi(local.substr(colon + 1), nullptr, 16) != port)
                continue;
            if (status == "01")
                state.established = true;
            if (status == "0A") {
                state.listening = true;
                // A listener's receive queue counts connections not yet accepted.
                if (queues.substr(queues.find(':') + 1) != "00000000")
                    state.queued = true;
            }
        }
    }
    return state;
}

// Polls the TCP tables until `done` holds for the port's state; false after
// the time limit.
template <typename Condition>
bool WaitForTcpPort(int port, Condition done,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done(ReadTcpPortState(port)))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// True once a connection to `port` has been taken from its listener's queue
// by accept(), the moment a server can use it.
inline bool WaitForAcceptedConnection(int port) {
    return WaitForTcpPort(port, [](const TcpPortState& s) { return s.established && !s.queued; });
}

inline bool WaitForListener(int port) {
    return WaitForTcpPort(port, [](const TcpPortState& s) { return s.listening; });
}

// While it lives, processes started from this one may write files of at most
// `limit` bytes; the ignored SIGXFSZ (inherited too) turns a larger write
// into an error instead of the end of the process. `ok` tells whether both
// took effect.
class ScopedFileSizeLimit {
  public:
    explicit ScopedFileSizeLimit(rlim_t limit) {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        signalSet_ = ::sigaction(SIGXFSZ, &ignore, &previousSignal_) == 0;
        if (!signalSet_ || ::getrlimit(RLIMIT_FSIZE, &previousLimit_) != 0)
            return;
        rlimit limited = previousLimit_;
        limited.rlim_cur = limit;
        limitSet_ = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
        ok = limitSet_;
    }
    ~ScopedFileSizeLimit() {
        if (limitSet_)
            ::setrlimit(RLIMIT_FSIZE, &previousLimit_);
        if (signalSet_)
            ::sigaction(SIGXFSZ, &previousSignal_, nullptr);
    }
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

    bool ok = false;

  private:
    struct sigaction previousSignal_ = {};
    rlimit previousLimit_ = {};
    bool signalSet_ = false;
    bool limitSet_ = false;
};

}  // namespace testing_support
