#include <io.h>
#include <windows.h>

#include <memory>
#include <utility>

#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace platform {
namespace {

struct CloseHandleWith {
    void operator()(void* handle) const { ::CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, CloseHandleWith>;

struct AttributeListDeleter {
    void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const {
        ::DeleteProcThreadAttributeList(list);
        ::HeapFree(::GetProcessHeap(), 0, list);
    }
};

// An inheritable copy of descriptor fd's handle, or of this process's own
// standard handle `which` when fd is -1.
Handle InheritableStream(int fd, DWORD which) {
    HANDLE source =
        fd >= 0 ? reinterpret_cast<HANDLE>(::_get_osfhandle(fd)) : ::GetStdHandle(which);
    if (source == nullptr || source == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS))
        return nullptr;
    return Handle(copy);
}

// This process's environment with `changes` ("NAME=value") replacing or
// added to it, as a block for CREATE_UNICODE_ENVIRONMENT. Names compare
// without case, as Windows does.
std::wstring EnvironmentBlock(std::span<const std::string> changes) {
    std::vector<std::wstring> wide;
    for (const std::string& change : changes)
        wide.push_back(FromUtf8(change));
    const auto nameOf = [](std::wstring_view entry) {
        // A leading "=" belongs to the name (the per-drive directories).
        return entry.substr(0, entry.find(L'=', 1) + 1);
    };
    const auto sameName = [&](std::wstring_view a, std::wstring_view b) {
        const auto na = nameOf(a), nb = nameOf(b);
        return ::CompareStringOrdinal(na.data(), static_cast<int>(na.size()), nb.data(),
                                      static_cast<int>(nb.size()), TRUE) == CSTR_EQUAL;
    };
    std::wstring block;
    const std::unique_ptr<wchar_t, BOOL (*)(LPWCH)> current(::GetEnvironmentStringsW(),
                                                            &::FreeEnvironmentStringsW);
    for (const wchar_t* entry = current.get(); entry && *entry; entry += wcslen(entry) + 1) {
        bool replaced = false;
        for (const std::wstring& change : wide)
            replaced = replaced || sameName(entry, change);
        if (!replaced)
            block.append(entry).push_back(L'\0');
    }
    for (const std::wstring& change : wide)
        block.append(change).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// The job that children started with endWithParent join. Its one handle is
// ours and is never closed by hand: when this process ends, however it ends,
// the system closes it and kills every process in the job.
HANDLE EndWithParentJob() {
    static const HANDLE job = [] {
        HANDLE created = ::CreateJobObjectW(nullptr, nullptr);
        if (created == nullptr)
            return created;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!::SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits)) {
            ::CloseHandle(created);
            return HANDLE(nullptr);
        }
        return created;
    }();
    return job;
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(other.status_),
      process_(std::exchange(other.process_, nullptr)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Terminate();
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
        process_ = std::exchange(other.process_, nullptr);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    Terminate();
}

bool ChildProcess::Start(std::span<const std::string> argv) {
    return Start(argv, ChildOptions{});
}

bool ChildProcess::Start(std::span<const std::string> argv, const ChildOptions& options) {
    Terminate();
    if (argv.empty() || argv[0].empty())
        return false;
    // CreateProcessW splits nothing itself: the arguments go quoted, and the
    // child's runtime splits them back with the same rules.
    std::wstring commandLine = QuoteArgument(NativePath(std::string_view(argv[0])).wstring());
    for (std::size_t i = 1; i < argv.size(); ++i)
        commandLine.append(L" ").append(QuoteArgument(FromUtf8(argv[i])));

    Handle streams[3] = {InheritableStream(options.stdIn, STD_INPUT_HANDLE),
                         InheritableStream(options.stdOut, STD_OUTPUT_HANDLE),
                         InheritableStream(options.stdErr, STD_ERROR_HANDLE)};
    std::vector<HANDLE> inherited;
    for (const Handle& stream : streams) {
        if (stream)
            inherited.push_back(stream.get());
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = streams[0].get();
    startup.StartupInfo.hStdOutput = streams[1].get();
    startup.StartupInfo.hStdError = streams[2].get();
    // Only the standard streams go to the child, where the system allows
    // naming them; otherwise every inheritable handle would.
    DWORD flags = CREATE_UNICODE_ENVIRONMENT;
    std::unique_ptr<std::remove_pointer_t<LPPROC_THREAD_ATTRIBUTE_LIST>, AttributeListDeleter> list;
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (!inherited.empty() && size > 0) {
        auto* raw =
            static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(::HeapAlloc(::GetProcessHeap(), 0, size));
        if (raw && ::InitializeProcThreadAttributeList(raw, 1, 0, &size)) {
            list.reset(raw);
            if (::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                            inherited.data(), inherited.size() * sizeof(HANDLE),
                                            nullptr, nullptr)) {
                startup.lpAttributeList = list.get();
                startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            }
        } else if (raw) {
            ::HeapFree(::GetProcessHeap(), 0, raw);
        }
    }
    if (!(flags & EXTENDED_STARTUPINFO_PRESENT))
        startup.StartupInfo.cb = sizeof(STARTUPINFOW);
    if (options.ownGroup)
        flags |= CREATE_NEW_PROCESS_GROUP;
    HANDLE job = nullptr;
    if (options.endWithParent) {
        job = EndWithParentJob();
        if (job == nullptr)
            return false;
        // Suspended until it is in the job, so that nothing it starts escapes.
        flags |= CREATE_SUSPENDED;
    }
    std::wstring environment;
    if (!options.environment.empty())
        environment = EnvironmentBlock(options.environment);

    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags,
                          environment.empty() ? nullptr : environment.data(), nullptr,
                          &startup.StartupInfo, &info))
        return false;
    if (job != nullptr) {
        if (!::AssignProcessToJobObject(job, info.hProcess)) {
            ::TerminateProcess(info.hProcess, 1);
            ::WaitForSingleObject(info.hProcess, INFINITE);
            ::CloseHandle(info.hThread);
            ::CloseHandle(info.hProcess);
            return false;
        }
        ::ResumeThread(info.hThread);
    }
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = static_cast<pid_t>(info.dwProcessId);
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
    if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    status_ = static_cast<int>(code);
    ::CloseHandle(std::exchange(process_, nullptr));
    pid_ = -1;
    return true;
}

void ChildProcess::Terminate() {
    if (pid_ <= 0)
        return;
    // Until its handle is closed the id cannot name another process.
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    status_ = static_cast<int>(code);
    ::CloseHandle(std::exchange(process_, nullptr));
    pid_ = -1;
}

}  // namespace platform
