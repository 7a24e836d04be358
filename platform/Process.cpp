#include "platform/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "platform/Paths.h"
#include "platform/Text.h"

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
    const auto argv = SplitCommandLine(commandLine);
    return Start(std::span<const std::string>(argv));
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
