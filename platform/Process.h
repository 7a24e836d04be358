#pragma once
// Child processes: a command line in the Windows form (the first token names
// the executable) split into argv with the Windows quoting rules, started with
// posix_spawn (fork and exec when it must end with this process), and ended
// with SIGKILL and reaped; on Windows started with CreateProcessW from the
// same arguments quoted again, and ended with TerminateProcess. The quoting
// rules live in Quoting.cpp. Start may be called from any thread.
#include <sys/types.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits like the C runtime on Windows: blanks separate arguments outside
// quotes; 2n backslashes before a quote give n backslashes and the quote
// toggles quoting; 2n+1 give n backslashes and a literal quote; other
// backslashes are literal; "" inside quotes is a literal quote. Results are
// UTF-8.
std::vector<std::string> SplitCommandLine(std::wstring_view commandLine);

// Quotes one argument so that SplitCommandLine gives it back unchanged.
std::wstring QuoteArgument(std::wstring_view argument);

// What a child gets besides its arguments; the defaults give it ours.
struct ChildOptions {
    // Descriptors that become its standard input, output and error; -1 keeps
    // this process's own.
    int stdIn = -1;
    int stdOut = -1;
    int stdErr = -1;
    // "NAME=value" entries that replace or add to this process's environment.
    std::vector<std::string> environment;
    // A process group of its own (its id is the child's), so that a signal to
    // the group reaches what the child starts in turn.
    bool ownGroup = false;
    // The child keeps this process's signal mask and ignored signals instead
    // of starting with the defaults (a test sets them up for it).
    bool inheritSignals = false;
    // The child is killed when this process ends, however it ends (a crash,
    // SIGKILL, TerminateProcess), so that it never outlives us. On Linux the
    // child gets SIGKILL from the kernel when this process dies; it is started
    // from a thread that lives as long as the process, because the kernel
    // also sends it when the starting thread ends. On Windows the child is in
    // a job object that kills its processes when our handle to it closes.
    bool endWithParent = false;
};

// A started child. Destroying a running child kills and reaps it.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();

    // argv[0] names the executable: a path when it holds a "/" (backslashes
    // are mapped first), else it is searched in PATH. The child inherits the
    // environment, the current directory and the standard streams only.
    // False when the process could not be started.
    bool Start(std::span<const std::string> argv);
    bool Start(std::span<const std::string> argv, const ChildOptions& options);
    bool Start(std::wstring_view commandLine);
    bool Start(std::wstring_view commandLine, const ChildOptions& options);

    bool Running() const { return pid_ > 0; }
    pid_t Id() const { return pid_; }

    // True once the child has ended (reaping it); the exit status is then in
    // ExitStatus() (the waitpid status word; on Windows the exit code).
    bool Exited();
    int ExitStatus() const { return status_; }

    // SIGKILL and wait until it is gone. Nothing when no child runs.
    void Terminate();

  private:
    pid_t pid_ = -1;
    int status_ = 0;
#ifdef _WIN32
    void* process_ = nullptr;  // the process handle while pid_ > 0
#endif
};

}  // namespace platform
