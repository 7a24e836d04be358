#pragma once
#include <string>
#include <string_view>

namespace platform {

// Replaces every %NAME% by the value of the environment variable NAME. A name
// that is not set, and a lone "%", stay as written.
std::wstring ExpandEnvironment(std::wstring_view text);

}  // namespace platform
