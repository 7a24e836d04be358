#include "update/UpdateThread.h"

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "platform/DebugOutput.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "update/ProgramDirectory.h"
#include "update/Updater.h"

namespace Zelt {

namespace {
// The shell's stop request; read by every transfer and file loop of the run.
std::atomic<bool> stopRequested{false};
}  // namespace

std::wstring ServiceUrl() {
    const char* url = std::getenv("VTR_UPDATE_URL");
    return (url != nullptr && *url != '\0') ? platform::FromUtf8(url) : std::wstring(kServiceUrl);
}

std::string ServiceCaFile() {
    const char* file = std::getenv("VTR_UPDATE_CA_FILE");
    return file != nullptr ? std::string(file) : std::string();
}

bool DebuggerAttached() {
    return platform::DebuggerPresent();
}

void RequestUpdateStop() {
    stopRequested.store(true);
}

void UpdateThreadEntry() {
    const char* off = std::getenv("VTR_NO_UPDATE");
    if (off != nullptr && std::string(off) == "1")
        return;
    if (DebuggerAttached() || stopRequested.load())
        return;
    const auto executable = platform::ExecutablePath();
    if (executable.empty())
        return;
    // Checked before anything is read: an installed program's directory may
    // be a shared one such as /usr/bin.
    const auto directory = executable.parent_path();
    if (const auto kind = ClassifyProgramDirectory(directory); kind != ProgramDirectory::Own) {
        platform::DebugOutput(UpdateOffReason(kind, directory));
        return;
    }
    const std::wstring url = ServiceUrl();
    if (!IsServiceUrl(url)) {
        // The files come from this service and are run next time: only TLS
        // may bring them.
        platform::DebugOutput(L"update: service URL refused (https only): " + url);
        return;
    }
    Updater updater(platform::WidePath(directory), {}, 0);
    updater.service_url = url;
    updater.ca_file = ServiceCaFile();
    updater.cancel = &stopRequested;
    // Only the executable itself, directly in the program directory.
    const FileFilter filter{{L"vtr232"}, true};
    const RunResult result = updater.run(&filter);
    platform::DebugOutput(L"update: run result " + std::to_wstring(static_cast<int>(result)));
}

}  // namespace Zelt
