// The install prompt's answers, on Linux and on Windows alike: through the
// desktop's dialogs when they answer, through the console when there is no
// desktop (Linux, Wine without a display) or a dialog cannot be shown.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "ScriptedPrompt.h"
#include "debughost/Monitor.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace fs = std::filesystem;
using namespace debughost;

namespace {
using debughost_test::ExitCalled;
using debughost_test::kPrompt;
using debughost_test::ScriptedConsole;

class MonitorPrompt : public ::testing::Test {
  protected:
    void SetUp() override {
        SetMonitorPathOverride({});
        root = platform::MakeTempDirectory("vtr");
        ASSERT_FALSE(root.empty());
        chosen = root / "my tools" / "msvsmon.exe";
        fs::create_directories(chosen.parent_path());
        std::ofstream(chosen) << "x";
    }
    void TearDown() override {
        SetMonitorPathOverride({});
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::wstring Chosen() const { return platform::FromUtf8(chosen.string()); }

    fs::path root, chosen;
    ScriptedConsole user;
};

#ifdef _WIN32
bool UnderWineWithoutDisplay() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const bool wine = ntdll && ::GetProcAddress(ntdll, "wine_get_version");
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wine && (!display || !*display) && (!wayland || !*wayland);
}
#endif

TEST_F(MonitorPrompt, WithoutADesktopTheConsoleAsksAndAnswers) {
#ifdef _WIN32
    if (UnderWineWithoutDisplay()) {
        EXPECT_FALSE(platform::HasInteractiveDesktop());
    }
#else
    EXPECT_FALSE(platform::HasInteractiveDesktop());
#endif
    // A real desktop would show the dialog and wait for a person.
    if (platform::HasInteractiveDesktop())
        GTEST_SKIP() << "a desktop is present: the dialogs would wait for a user";

    // Cancel, and end of input, say no.
    user.input = {L"3"};
    EXPECT_FALSE(PromptRemoteToolsInstall(2022, user.Io()));
    EXPECT_EQ(user.written, kPrompt);
    user.written.clear();
    EXPECT_FALSE(PromptRemoteToolsInstall(2022, user.Io()));
    EXPECT_EQ(user.written, kPrompt);

    // An unknown answer asks the caller to search again.
    user.written.clear();
    user.input = {L"later"};
    EXPECT_TRUE(PromptRemoteToolsInstall(2022, user.Io()));

    // Select: the file is asked for on the console until an existing one.
    user.written.clear();
    user.input = {L"2", platform::FromUtf8((root / "missing.exe").string()),
                  L"\"" + Chosen() + L"\""};
    EXPECT_TRUE(PromptRemoteToolsInstall(2022, user.Io()));
    EXPECT_EQ(user.written, kPrompt + L"Select file...\r\nSelect file...\r\n");
    EXPECT_EQ(MonitorPathOverride(), Chosen());

    // Yes opens the installer and ends the process.
    user.input = {L"1"};
    try {
        PromptRemoteToolsInstall(2019, user.Io());
        ADD_FAILURE() << "the process was not ended";
    } catch (const ExitCalled& exit) {
        EXPECT_EQ(exit.code, 0);
    }
    ASSERT_EQ(user.opened.size(), 1u);
    EXPECT_EQ(user.opened[0], InstallerUrl(2019));
}

TEST_F(MonitorPrompt, DialogButtonsGiveTheSameOutcomesAsTheConsole) {
    std::vector<platform::TaskDialogText> asked;
    std::vector<platform::OpenFileText> files;
    std::optional<int> button;
    platform::OpenFileResult file;
    MonitorPromptIo io = user.Io();
    io.taskDialog = [&](const platform::TaskDialogText& text) {
        asked.push_back(text);
        return button;
    };
    io.fileDialog = [&](const platform::OpenFileText& text) {
        files.push_back(text);
        return file;
    };

    button = 103;
    EXPECT_FALSE(PromptRemoteToolsInstall(2022, io));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].title, L"Vantora");
    EXPECT_EQ(asked[0].instruction, L"Vantora");
    EXPECT_EQ(asked[0].content, L"Visual Studio Remote Tools were not found. Install?");
    ASSERT_EQ(asked[0].buttons.size(), 3u);
    EXPECT_EQ(asked[0].buttons[0].id, 101);
    EXPECT_EQ(asked[0].buttons[0].text, L"Yes");
    EXPECT_EQ(asked[0].buttons[1].id, 102);
    EXPECT_EQ(asked[0].buttons[1].text, L"Select MSVSMON.EXE location");
    EXPECT_EQ(asked[0].buttons[2].id, 103);
    EXPECT_EQ(asked[0].buttons[2].text, L"Cancel");

    // Any other result (the dialog closed some other way) searches again.
    button = 7;
    EXPECT_TRUE(PromptRemoteToolsInstall(2022, io));

    // Select with a chosen file, with the dialog cancelled.
    button = 102;
    file = {platform::FileChoice::Chosen, Chosen()};
    EXPECT_TRUE(PromptRemoteToolsInstall(2022, io));
    EXPECT_EQ(MonitorPathOverride(), Chosen());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filterName, L"msvsmon.exe");
    EXPECT_EQ(files[0].filterPattern, L"msvsmon.exe");
    EXPECT_EQ(files[0].title, L"Select file...");
    SetMonitorPathOverride({});
    file = {platform::FileChoice::Cancelled, {}};
    EXPECT_FALSE(PromptRemoteToolsInstall(2022, io));
    EXPECT_EQ(MonitorPathOverride(), L"");
    EXPECT_TRUE(user.written.empty()) << "the console asked although a dialog answered";

    // A file dialog that cannot be shown hands over to the console.
    file = {};
    user.input = {Chosen()};
    EXPECT_TRUE(PromptRemoteToolsInstall(2022, io));
    EXPECT_EQ(user.written, L"Select file...\r\n");
    EXPECT_EQ(MonitorPathOverride(), Chosen());

    // Yes opens the installer of the asked version and ends the process.
    button = 101;
    EXPECT_THROW(PromptRemoteToolsInstall(2017, io), ExitCalled);
    ASSERT_EQ(user.opened.size(), 1u);
    EXPECT_EQ(user.opened[0], InstallerUrl(2017));
}

TEST(FileDialogFilter, PairsEndWithAnEmptyName) {
    const std::wstring filter = platform::FileDialogFilter(L"msvsmon.exe", L"msvsmon.exe");
    EXPECT_EQ(filter, std::wstring(L"msvsmon.exe\0msvsmon.exe\0\0", 25));
}

}  // namespace
