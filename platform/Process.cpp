#include "platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

extern char** environ;

namespace platform {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Terminate();
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    Terminate();
}

namespace {

std::vector<std::string> MergedEnvironment(std::span<const std::string> changes) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view current(*entry);
        const std::size_t equals = current.find('=');
        const std::string_view name = current.substr(0, equals + 1);
        bool replaced = false;
        if (equals == std::string_view::npos) {
            merged.emplace_back(current);
            continue;
        }
        for (const std::string& change : changes)
            replaced = replaced || std::string_view(change).substr(0, name.size()) == name;
        if (!replaced)
            merged.emplace_back(current);
    }
    merged.insert(merged.end(), changes.begin(), changes.end());
    return merged;
}

// The first executable regular file named `program` in PATH, or "" (the
// search happens before fork, where the child may not allocate).
std::string SearchPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        const std::string candidate =
            (dir.empty() ? std::string(".") : std::string(dir)) + "/" + program;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos)
            return {};
        dirs.remove_prefix(colon + 1);
    }
}

// The kernel sends a child its parent-death signal when the *thread* that
// forked it ends, not only when the process does. Children that must live
// until the process ends are therefore forked on this thread, which is
// started on first use and joined when static objects are destroyed at exit.
class LauncherThread {
  public:
    static LauncherThread& Instance() {
        static LauncherThread launcher;
        return launcher;
    }

    ~LauncherThread() {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

    // Runs `work` on the launcher thread and returns when it is done.
    void Run(const std::function<void()>& work) {
        if (std::this_thread::get_id() == threadId_.load()) {
            work();
            return;
        }
        std::lock_guard caller(callers_);
        std::unique_lock guard(lock_);
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { Loop(); });
            threadId_ = thread_.get_id();
        }
        work_ = &work;
        wake_.notify_all();
        wake_.wait(guard, [this] { return work_ == nullptr; });
    }

  private:
    LauncherThread() = default;

    void Loop() {
        std::unique_lock guard(lock_);
        while (true) {
            wake_.wait(guard, [this] { return stop_ || work_ != nullptr; });
            if (work_ != nullptr) {
                (*work_)();
                work_ = nullptr;
                wake_.notify_all();
            } else if (stop_) {
                return;
            }
        }
    }

    std::mutex callers_;  // guards that one caller at a time hands over work_
    std::mutex lock_;     // guards work_, stop_, thread_
    std::condition_variable wake_;
    const std::function<void()>* work_ = nullptr;
    bool stop_ = false;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
};

[[noreturn]] void ReportAndExit(int report, int error) {
    while (::write(report, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// In the forked child: only async-signal-safe calls until exec. Any failure
// is reported as errno on `report` (close-on-exec, so success says nothing).
[[noreturn]] void ExecChild(const char* program, char* const* args, char* const* envp,
                            const ChildOptions& options, pid_t parent, int report,
                            const sigset_t& parentMask) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        ReportAndExit(report, errno);
    // The parent may have died before the line above took effect.
    if (::getppid() != parent)
        ::_exit(127);
    if (options.ownGroup && ::setpgid(0, 0) != 0)
        ReportAndExit(report, errno);
    const int streams[3] = {options.stdIn, options.stdOut, options.stdErr};
    for (int target = 0; target < 3; ++target) {
        if (streams[target] < 0)
            continue;
        // dup2 onto itself keeps close-on-exec set; clear it instead.
        const int rc = streams[target] == target ? ::fcntl(target, F_SETFD, 0)
                                                 : ::dup2(streams[target], target);
        if (rc < 0)
            ReportAndExit(report, errno);
    }
    // Only the standard streams go to the child (and the report pipe, which
    // closes on exec).
    const unsigned kept = static_cast<unsigned>(report);
    if ((kept > 3 && ::close_range(3, kept - 1, 0) != 0) || ::close_range(kept + 1, ~0U, 0) != 0) {
        rlimit limit{};
        const int last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                             ? static_cast<int>(limit.rlim_cur)
                             : 65536;
        for (int fd = 3; fd < last; ++fd) {
            if (fd != report)
                ::close(fd);
        }
    }
    // No handler of ours may run here; ignored signals stay ignored only when
    // the child inherits our signal set-up.
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0)
            continue;
        if (current.sa_handler != SIG_IGN || !options.inheritSignals) {
            struct sigaction reset {};
            reset.sa_handler = SIG_DFL;
            ::sigaction(signal, &reset, nullptr);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, options.inheritSignals ? &parentMask : &none, nullptr);
    ::execve(program, args, envp);
    ReportAndExit(report, errno);
}

// fork and exec with a parent-death signal. The child's pid, or -1.
pid_t ForkChild(const char* program, char* const* args, char* const* envp,
                const ChildOptions& options) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    UniqueFd reader(ends[0]);
    UniqueFd writer(ends[1]);
    if (writer.get() < 3) {
        writer = UniqueFd(::fcntl(writer.get(), F_DUPFD_CLOEXEC, 3));
        if (!writer)
            return -1;
    }
    const pid_t parent = ::getpid();
    // Blocked across fork, so that none of our handlers runs in the child.
    sigset_t all, previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = ::fork();
    if (pid == 0)
        ExecChild(program, args, envp, options, parent, writer.get(), previous);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0)
        return -1;
    writer.reset();
    int error = 0;
    ssize_t got;
    while ((got = ::read(reader.get(), &error, sizeof error)) < 0 && errno == EINTR) {
    }
    if (got != 0) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return -1;
    }
    return pid;
}

}  // namespace

bool ChildProcess::Start(std::span<const std::string> argv) {
    return Start(argv, ChildOptions{});
}

bool ChildProcess::Start(std::span<const std::string> argv, const ChildOptions& options) {
    Terminate();
    if (argv.empty() || argv[0].empty())
        return false;
    const std::string program = argv[0].find_first_of("/\\") != std::string::npos
                                    ? NativePath(std::string_view(argv[0])).string()
                                    : argv[0];
    std::vector<char*> args;
    args.push_back(const_cast<char*>(program.c_str()));
    for (std::size_t i = 1; i < argv.size(); ++i)
        args.push_back(const_cast<char*>(argv[i].c_str()));
    args.push_back(nullptr);

    std::vector<std::string> environment;
    std::vector<char*> envp;
    char** childEnvironment = environ;
    if (!options.environment.empty()) {
        environment = MergedEnvironment(options.environment);
        for (std::string& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        childEnvironment = envp.data();
    }

    if (options.endWithParent) {
        const std::string executable =
            program.find('/') == std::string::npos ? SearchPath(program) : program;
        if (executable.empty())
            return false;
        pid_t pid = -1;
        const auto fork = [&] {
            pid = ForkChild(executable.c_str(), args.data(), childEnvironment, options);
        };
        // The main thread lives as long as the process; any other may not.
        if (::gettid() == ::getpid())
            fork();
        else
            LauncherThread::Instance().Run(fork);
        if (pid < 0)
            return false;
        pid_ = pid;
        status_ = 0;
        return true;
    }

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    const std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)>
        actionsGuard(&actions, &posix_spawn_file_actions_destroy);
    const int streams[3] = {options.stdIn, options.stdOut, options.stdErr};
    for (int target = 0; target < 3; ++target) {
        if (streams[target] >= 0)
            posix_spawn_file_actions_adddup2(&actions, streams[target], target);
    }
    // Only the standard streams go to the child, like a process started
    // without handle inheritance.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // Unless asked otherwise the child starts with default signal handling
    // and nothing blocked, whatever this process has set up for itself.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return false;
    const std::unique_ptr<posix_spawnattr_t, int (*)(posix_spawnattr_t*)> attributesGuard(
        &attributes, &posix_spawnattr_destroy);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = options.inheritSignals ? 0 : POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.ownGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);

    pid_t pid = -1;
    const bool searched = program.find('/') == std::string::npos;
    const int rc = searched ? posix_spawnp(&pid, program.c_str(), &actions, &attributes,
                                           args.data(), childEnvironment)
                            : posix_spawn(&pid, program.c_str(), &actions, &attributes, args.data(),
                                          childEnvironment);
    if (rc != 0)
        return false;
    pid_ = pid;
    status_ = 0;
    return true;
}

bool ChildProcess::Start(std::wstring_view commandLine) {
    return Start(commandLine, ChildOptions{});
}

bool ChildProcess::Start(std::wstring_view commandLine, const ChildOptions& options) {
    const auto argv = SplitCommandLine(commandLine);
    return Start(std::span<const std::string>(argv), options);
}

bool ChildProcess::Exited() {
    if (pid_ <= 0)
        return true;
    int status = 0;
    const pid_t rc = ::waitpid(pid_, &status, WNOHANG);
    if (rc == pid_ || (rc < 0 && errno == ECHILD)) {
        status_ = status;
        pid_ = -1;
        return true;
    }
    return false;
}

void ChildProcess::Terminate() {
    if (pid_ <= 0)
        return;
    // Until it is reaped the pid cannot name another process.
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    pid_ = -1;
}

}  // namespace platform
