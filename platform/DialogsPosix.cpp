#include "platform/Dialogs.h"

namespace platform {

// No desktop dialogs here: the console serves.
std::optional<int> ShowTaskDialog(const TaskDialogText&) {
    return std::nullopt;
}

OpenFileResult ShowOpenFileDialog(const OpenFileText&) {
    return {};
}

bool HasInteractiveDesktop() {
    return false;
}

void EndDialogs() {}

}  // namespace platform
