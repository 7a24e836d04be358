#include "debughost/Registry.h"

namespace debughost {

std::wstring ReadRegistryString(std::wstring_view, std::wstring_view) {
    return {};
}

}  // namespace debughost
