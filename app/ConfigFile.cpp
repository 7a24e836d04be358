#include "app/ConfigFile.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>

#include "app/Settings.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "xml/XMLDocument.h"

namespace app {

namespace {

namespace fs = std::filesystem;

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::int32_t ReadNumber(const Tessel::XMLElement& root, std::string_view name,
                        std::int32_t fallback) {
    const auto variable = root.GetVariable(name);
    if (!variable)
        return fallback;
    return ScanConfigNumber(variable->GetValue()).value_or(fallback);
}

std::string ReadText(const Tessel::XMLElement& root, std::string_view name) {
    const auto variable = root.GetVariable(name);
    return variable ? variable->GetValue() : std::string();
}

std::wstring ReadWide(const Tessel::XMLElement& element, std::string_view name) {
    const auto variable = element.GetVariable(name);
    return variable ? variable->GetWideValue() : std::wstring();
}

void BuildDocument(const Settings& settings, Tessel::XMLDocument& document) {
    Tessel::XMLElement& root = document.GetRoot();
    root["mode"] = settings.server ? "0" : "1";
    root["arch"] = "32";
    root["tools"] = std::to_string(settings.toolsVersion);
    root["a"] = settings.admin ? "1" : "0";
    root["p1"] = std::to_string(settings.port1);
    if (!settings.quic) {
        root["p2"] = std::to_string(settings.port2);
        root["p3"] = std::to_string(settings.port3);
    }
    const auto files = root.GetChild("files", true);
    for (const std::wstring& pair : settings.files) {
        const std::size_t comma = pair.find(L',');
        if (comma == std::wstring::npos)
            continue;
        const auto f = files->AddElement("f");
        (*f)["l"].SetWideValue(std::wstring_view(pair).substr(0, comma));
        (*f)["r"].SetWideValue(std::wstring_view(pair).substr(comma + 1));
    }
    if (!settings.quic)
        root["s"] = settings.remoteSyncText;
    root["c"] = settings.clientText;
    root["l"] = settings.localText;
}

// Creates an empty file of a fresh name in `directory`; empty on failure.
fs::path CreateTemporaryBeside(const fs::path& directory) {
    std::random_device random;
    char name[32];
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::snprintf(name, sizeof name, ".vtr232-%08x.tmp", static_cast<unsigned>(random()));
        fs::path candidate = directory / name;
        // O_EXCL: fail rather than reuse a file that someone else owns.
        const platform::UniqueFd file(
            platform::OpenPath(candidate, O_WRONLY | O_CREAT | O_EXCL, 0666));
        if (file)
            return candidate;
        if (errno != EEXIST)
            break;
    }
    return {};
}

}  // namespace

std::optional<std::int32_t> ScanConfigNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '0') {
        base = 8;
        if (i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            // "0x" without a hex digit reads as the number 0.
            if (i + 2 >= text.size() || DigitValue(text[i + 2]) >= 16)
                return 0;
            base = 16;
            i += 2;
        }
    }
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t value = 0;
    bool any = false;
    bool tooLarge = false;
    for (; i < text.size() && DigitValue(text[i]) < base; ++i) {
        any = true;
        value = value * base + DigitValue(text[i]);
        if (value > limit) {
            tooLarge = true;
            value = limit;  // keeps the arithmetic bounded
        }
    }
    if (!any || tooLarge)
        return std::nullopt;
    return static_cast<std::int32_t>(negative ? -value : value);
}

void LoadConfiguration(const std::wstring& path, Settings& settings) {
    Tessel::XMLDocument document(path);
    Tessel::XMLElement& root = document.GetRoot();

    const std::int32_t mode = ReadNumber(root, "mode", 0);
    settings.quic = ReadNumber(root, "quic", 0) != 0;
    platform::ConsoleWrite(settings.quic ? L"Using QUIC protocol\r\n" : L"Using TCP protocol\r\n");
    settings.admin = ReadNumber(root, "a", 0) != 0;

    if (mode == 0) {
        settings.server = true;
        settings.port1 = ReadNumber(root, "p1", 7001);
        if (!settings.quic) {
            settings.port2 = ReadNumber(root, "p2", 7002);
            settings.port3 = ReadNumber(root, "p3", 7003);
        }
        settings.toolsVersion = ReadNumber(root, "tools", 2022);
    } else if (mode == 1) {
        settings.server = false;
        if (!settings.quic)
            settings.remoteSyncText = ReadText(root, "s");
        settings.clientText = ReadText(root, "c");
    }

    settings.localText = ReadText(root, "l");
    if (settings.quic && settings.localText.empty())
        settings.localText = "4026";

    // Every child of "files" is a pair, whatever its name.
    const auto files = root.GetChild("files", true);
    for (const auto& child : files->GetChildren()) {
        const std::wstring remote = ReadWide(*child, "r");
        std::wstring pair = ReadWide(*child, "l") + L"," + remote;
        platform::ConsoleWrite(L"File to deploy: " + pair + L" to " + remote + L"\r\n");
        settings.files.push_back(std::move(pair));
    }
}

bool SaveConfiguration(const std::wstring& path, const Settings& settings) {
    // A zero character would cut the name short at the system call.
    if (path.empty() || path.find(L'\0') != std::wstring::npos)
        return false;
    // The saved content always starts from an empty document, as a file that
    // is replaced would.
    Tessel::XMLDocument document;
    BuildDocument(settings, document);

    std::error_code ec;
    fs::path target(platform::ToUtf8(path));
    if (!target.has_filename())
        return false;
    // Replace what a symbolic link points to, not the link.
    if (fs::is_symlink(target, ec)) {
        fs::path resolved = fs::weakly_canonical(target, ec);
        if (!ec)
            target = std::move(resolved);
    }

    const fs::path temporary = CreateTemporaryBeside(target.parent_path());
    if (temporary.empty())
        return false;
    if (fs::is_regular_file(target, ec))
        fs::permissions(temporary, fs::status(target, ec).permissions(), ec);

    bool saved = document.Save(platform::WidePath(temporary)) == Tessel::kXMLOk;
    if (saved)
        saved = platform::ReplacePath(temporary, target);
    if (!saved)
        fs::remove(temporary, ec);
    return saved;
}

void SaveConfigurationCommand(std::wstring_view path, const Settings& settings) {
    const bool saved = SaveConfiguration(std::wstring(path), settings);
    std::wstring line = saved ? L"Configuration saved to " : L"Could not save configuration to ";
    line.append(path);
    line.append(L"\r\n");
    platform::ConsoleWrite(line);
}

}  // namespace app
