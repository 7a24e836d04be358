#pragma once
// The server's console commands: exit/quit/q, deploy/d, file, save.
#include <string_view>

namespace app {

class Services;
struct Settings;

enum class CommandResult { Continue, Exit };

// Handles one typed line.
CommandResult HandleCommand(std::wstring_view line, Services& services, Settings& settings);

// Prints the command list, then reads and handles lines until an exit command
// or the end of console input.
void RunCommandLoop(Services& services, Settings& settings);

}  // namespace app
