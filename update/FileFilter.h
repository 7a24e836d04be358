#pragma once
// Chooses the files an update may touch, by ECMAScript patterns matched
// against the whole relative name (backslash separated).
#include <string>
#include <string_view>
#include <vector>

namespace Zelt {

struct FileFilter {
    std::vector<std::wstring> patterns;
    // true: only matching names are updated; false: matching names are left alone.
    bool include_only = false;

    // The first pattern that matches decides; a null name is never excluded.
    // A pattern that does not compile matches nothing.
    bool excludes(const std::wstring* name) const;
    bool excludes(std::wstring_view name) const;
};

}  // namespace Zelt
