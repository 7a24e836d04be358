#include <windows.h>

#include <commctrl.h>  // after windows.h, which they need
#include <commdlg.h>

#include <memory>
#include <mutex>

#include "platform/Dialogs.h"

namespace platform {

namespace {

// A dialog being shown, so that EndDialogs can close it from another thread.
struct OpenDialog {
    std::mutex lock;     // guards ended, taskDialog, fileThread, clickId
    bool ended = false;  // EndDialogs was called
    HWND taskDialog = nullptr;
    DWORD fileThread = 0;  // the thread showing the open-file dialog
    int clickId = 0;       // a button of the task dialog that closes it
};

OpenDialog& Open() {
    static OpenDialog open;
    return open;
}

bool Ended() {
    std::lock_guard guard(Open().lock);
    return Open().ended;
}

struct LibraryDeleter {
    void operator()(HMODULE module) const { ::FreeLibrary(module); }
};
using Library = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryDeleter>;

// Looked up when needed: a system without common controls version 6 (or
// without the dialog library) has no such function, and the console serves.
template <typename Function>
Function* Find(const Library& library, const char* name) {
    if (!library)
        return nullptr;
    return reinterpret_cast<Function*>(
        reinterpret_cast<void*>(::GetProcAddress(library.get(), name)));
}

struct TaskDialogState {
    bool created = false;
};

HRESULT CALLBACK TaskDialogEvents(HWND window, UINT event, WPARAM, LPARAM, LONG_PTR data) {
    auto* state = reinterpret_cast<TaskDialogState*>(data);
    auto& open = Open();
    if (event == TDN_CREATED) {
        state->created = true;
        std::lock_guard guard(open.lock);
        open.taskDialog = window;
    } else if (event == TDN_DESTROYED) {
        std::lock_guard guard(open.lock);
        open.taskDialog = nullptr;
    }
    // The timer is the dialog's way out when EndDialogs came before it was
    // created.
    if (event == TDN_CREATED || event == TDN_TIMER) {
        std::lock_guard guard(open.lock);
        if (open.ended)
            ::PostMessageW(window, TDM_CLICK_BUTTON, static_cast<WPARAM>(open.clickId), 0);
    }
    return S_OK;
}

BOOL CALLBACK CloseWindow(HWND window, LPARAM) {
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

bool HasInteractiveDesktop() {
    // A service's window station is not visible to the user.
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!::GetUserObjectInformationW(::GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags,
                                     &needed) ||
        !(flags.dwFlags & WSF_VISIBLE))
        return false;
    // Wine without a display has a visible window station but no display
    // driver: creating a window fails there. A hidden probe tells.
    const HWND probe = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                         nullptr, nullptr);
    if (!probe)
        return false;
    ::DestroyWindow(probe);
    return true;
}

std::optional<int> ShowTaskDialog(const TaskDialogText& text) {
    if (text.buttons.empty() || Ended() || !HasInteractiveDesktop())
        return std::nullopt;
    const Library controls(::LoadLibraryW(L"comctl32.dll"));
    using TaskDialogIndirectFn = HRESULT WINAPI(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
    auto* taskDialog = Find<TaskDialogIndirectFn>(controls, "TaskDialogIndirect");
    if (!taskDialog)
        return std::nullopt;

    std::vector<TASKDIALOG_BUTTON> buttons;
    for (const DialogButton& button : text.buttons)
        buttons.push_back({button.id, button.text.c_str()});
    {
        std::lock_guard guard(Open().lock);
        Open().clickId = text.buttons.front().id;
    }
    TaskDialogState state;
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.dwFlags = TDF_CAN_BE_MINIMIZED | TDF_CALLBACK_TIMER;
    config.pszWindowTitle = text.title.c_str();
    config.pszMainInstruction = text.instruction.c_str();
    config.pszContent = text.content.c_str();
    config.cButtons = static_cast<UINT>(buttons.size());
    config.pButtons = buttons.data();
    config.pfCallback = TaskDialogEvents;
    config.lpCallbackData = reinterpret_cast<LONG_PTR>(&state);
    int pressed = 0;
    const HRESULT result = taskDialog(&config, &pressed, nullptr, nullptr);
    // A dialog that never appeared (no display after all) or was closed by
    // EndDialogs has no answer from the user.
    if (FAILED(result) || !state.created || Ended())
        return std::nullopt;
    return pressed;
}

OpenFileResult ShowOpenFileDialog(const OpenFileText& text) {
    if (Ended() || !HasInteractiveDesktop())
        return {};
    const Library dialogs(::LoadLibraryW(L"comdlg32.dll"));
    auto* getOpenFileName = Find<BOOL WINAPI(OPENFILENAMEW*)>(dialogs, "GetOpenFileNameW");
    auto* extendedError = Find<DWORD WINAPI()>(dialogs, "CommDlgExtendedError");
    if (!getOpenFileName || !extendedError)
        return {};

    const std::wstring filter = FileDialogFilter(text.filterName, text.filterPattern);
    std::vector<wchar_t> file(kOpenFileBufferChars, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrTitle = text.title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST;
    {
        // Checked again with the thread recorded, so that EndDialogs either
        // comes first or finds the thread (its timer-free dialog has no
        // other way out).
        std::lock_guard guard(Open().lock);
        if (Open().ended)
            return {};
        Open().fileThread = ::GetCurrentThreadId();
    }
    const BOOL chosen = getOpenFileName(&dialog);
    const DWORD error = chosen ? 0 : extendedError();
    {
        std::lock_guard guard(Open().lock);
        Open().fileThread = 0;
    }
    if (Ended())
        return {};
    if (chosen) {
        file.back() = L'\0';
        return {FileChoice::Chosen, std::wstring(file.data())};
    }
    // No extended error: the user cancelled. Otherwise the dialog failed.
    if (error == 0)
        return {FileChoice::Cancelled, {}};
    return {};
}

void EndDialogs() {
    auto& open = Open();
    std::lock_guard guard(open.lock);
    open.ended = true;
    if (open.taskDialog)
        ::PostMessageW(open.taskDialog, TDM_CLICK_BUTTON, static_cast<WPARAM>(open.clickId), 0);
    if (open.fileThread)
        ::EnumThreadWindows(open.fileThread, CloseWindow, 0);
}

}  // namespace platform
