#include "platform/Dialogs.h"

namespace platform {

std::wstring FileDialogFilter(std::wstring_view name, std::wstring_view pattern) {
    std::wstring filter;
    filter.append(name).push_back(L'\0');
    filter.append(pattern).push_back(L'\0');
    filter.push_back(L'\0');  // the list ends with an empty name
    return filter;
}

}  // namespace platform
