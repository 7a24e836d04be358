#include "app/CommandLoop.h"

#include <string>

#include "app/Services.h"
#include "app/Settings.h"
#include "platform/Console.h"

namespace app {

CommandResult HandleCommand(std::wstring_view line, Services& services, Settings& settings) {
    if (line == L"exit" || line == L"quit" || line == L"q")
        return CommandResult::Exit;
    if (line == L"deploy" || line == L"d") {
        services.Deploy();
        return CommandResult::Continue;
    }
    // "file" and "save" match on their first four letters; the argument is
    // everything after the first space, untrimmed.
    const auto space = line.find(L' ');
    if (line.size() >= 4 && line.starts_with(L"file")) {
        if (space == std::wstring_view::npos)
            return CommandResult::Continue;
        const auto argument = line.substr(space + 1);
        const auto comma = argument.find(L',');
        if (comma == std::wstring_view::npos)
            return CommandResult::Continue;
        std::wstring pair(argument.substr(0, comma));
        pair += L',';
        pair += argument.substr(comma + 1);
        settings.files.push_back(pair);
        platform::ConsoleWrite(L"File added (local,remote): " + pair + L"\r\n");
    } else if (line.size() >= 4 && line.starts_with(L"save")) {
        if (space == std::wstring_view::npos)
            return CommandResult::Continue;
        services.SaveConfiguration(std::wstring(line.substr(space + 1)));
    }
    return CommandResult::Continue;
}

void RunCommandLoop(Services& services, Settings& settings) {
    platform::ConsoleWrite(
        L"\r\nCommands are: deploy, exit, quit, file <local,remote>, save <file>\r\n");
    for (;;) {
        const auto line = platform::ConsoleReadLine();
        // The end of console input ends the loop like "exit".
        if (!line || HandleCommand(*line, services, settings) == CommandResult::Exit)
            return;
    }
}

}  // namespace app
