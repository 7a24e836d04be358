#pragma once
// The command line: the -q pre-parse, the banner, the usage examples and the
// full option table of each transport.
#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace app {

struct Settings;

// Holds the narrow values of the wide options until they are converted.
struct WideOptionText {
    std::vector<std::string> files;
    std::string configFile;
};

// Sets settings.quic when -q is among the arguments; every other option and
// every parse error is ignored here.
void PreParseTransport(Settings& settings, int argc, const char* const* argv);

std::wstring BannerText(bool quic);
std::wstring UsageExamplesText(bool quic);

// Registers the options of settings.quic's transport, bound to settings.
void RegisterOptions(CLI::App& app, Settings& settings, WideOptionText& wide);

// Moves the wide option values into the settings after a successful parse.
void ApplyWideOptions(Settings& settings, const WideOptionText& wide);

// Sets settings.secret from --secret-file (its first line without the line
// end), else from VTR_SECRET. False, with a message, when the file cannot be
// read or its first line is empty.
bool LoadSecret(Settings& settings);

}  // namespace app
