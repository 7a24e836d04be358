#include "debughost/Registry.h"

std::wstring ReadRegistryString(std::wstring_view, std::wstring_view) {
    return {};
}
