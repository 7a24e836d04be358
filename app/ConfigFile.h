#pragma once
// The XML configuration file: "-i" loads one at start-up, the console command
// "save" writes the current settings. The file is UTF-8 with byte-order mark,
// root element "e", pairs as children of "files".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace app {

struct Settings;

// Applies the file to `settings`, overriding the command line (missing
// attributes reset their field to its default). A missing or unreadable file
// counts as empty. Prints the transport line and one line per pair.
void LoadConfiguration(const std::wstring& path, Settings& settings);

// Writes the settings to `path`. The file is written beside the target and
// renamed into place, so a failed save leaves an existing file untouched.
// True when the whole file was written and is in place.
bool SaveConfiguration(const std::wstring& path, const Settings& settings);

// The console command: saves and prints whether it worked.
void SaveConfigurationCommand(std::wstring_view path, const Settings& settings);

// A number as C's "%i" reads it: leading white space, optional sign, then
// decimal, hexadecimal after "0x" or octal after "0"; trailing text ignored.
// Empty when the text holds no number or it does not fit 32 bits.
std::optional<std::int32_t> ScanConfigNumber(std::string_view text);

}  // namespace app
