#pragma once
// The desktop's own dialogs: a task dialog of command buttons and the
// open-file dialog. They run on the calling thread and return when the user
// answers or when EndDialogs is called. Where no interactive desktop exists
// (Linux, a service, Wine without a display) or the dialog cannot be shown,
// nothing is shown and the caller falls back to the console.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct DialogButton {
    int id;
    std::wstring text;
};

struct TaskDialogText {
    std::wstring title;
    std::wstring instruction;
    std::wstring content;
    std::vector<DialogButton> buttons;
};

// The id of the button the user pressed (or another value the dialog
// returned); nullopt when no dialog was shown.
std::optional<int> ShowTaskDialog(const TaskDialogText& text);

struct OpenFileText {
    std::wstring filterName;
    std::wstring filterPattern;
    std::wstring title;
};

enum class FileChoice { Chosen, Cancelled, NotShown };

struct OpenFileResult {
    FileChoice choice = FileChoice::NotShown;
    std::wstring path;  // when Chosen
};

// The file-name buffer of the open-file dialog, in wide characters.
inline constexpr std::size_t kOpenFileBufferChars = 10000;

// An existing file chosen by the user.
OpenFileResult ShowOpenFileDialog(const OpenFileText& text);

// The filter list of the open-file dialog: "name\0pattern\0\0".
std::wstring FileDialogFilter(std::wstring_view name, std::wstring_view pattern);

// A desktop on which a dialog can be shown to a user.
bool HasInteractiveDesktop();

// Closes a dialog that is showing and keeps later ones from showing, so that
// the thread waiting for the user is free to end.
void EndDialogs();

}  // namespace platform
