#pragma once
// Registry reads of the monitor search. Linux has no registry: every value
// reads as empty, so the candidates built from it do not exist.
#include <string>
#include <string_view>

namespace debughost {

std::wstring ReadRegistryString(std::wstring_view key, std::wstring_view value);

}  // namespace debughost
