#pragma once
// The user's side of the monitor prompt, scripted: what it was shown, the
// lines it answers, the pages it opened; leaving the process throws.
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "debughost/Monitor.h"

namespace debughost_test {

struct ExitCalled {
    int code;
};

inline const std::wstring kPrompt =
    L"Visual Studio Remote Tools were not found. Install?\r\n"
    L"1) Yes\r\n"
    L"2) Select MSVSMON.EXE location\r\n"
    L"3) Cancel\r\n";

// The dialogs stay the real ones unless a test replaces them.
struct ScriptedConsole {
    std::wstring written;
    std::deque<std::wstring> input;
    std::vector<std::wstring> opened;

    debughost::MonitorPromptIo Io() {
        debughost::MonitorPromptIo io;
        io.write = [this](std::wstring_view text) { written += text; };
        io.readLine = [this]() -> std::optional<std::wstring> {
            if (input.empty())
                return std::nullopt;
            std::wstring line = input.front();
            input.pop_front();
            return line;
        };
        io.openUrl = [this](const std::wstring& url) { opened.push_back(url); };
        io.exitProcess = [](int code) { throw ExitCalled{code}; };
        return io;
    }
};

}  // namespace debughost_test
