#include "update/FileFilter.h"

#include <regex>

namespace Zelt {

bool FileFilter::excludes(const std::wstring* name) const {
    return name != nullptr && excludes(std::wstring_view(*name));
}

bool FileFilter::excludes(std::wstring_view name) const {
    for (const auto& pattern : patterns) {
        try {
            const std::wregex expression(pattern, std::regex_constants::ECMAScript);
            if (std::regex_match(name.begin(), name.end(), expression))
                return !include_only;
        } catch (const std::regex_error&) {
            // An invalid pattern cannot match anything.
        }
    }
    return include_only;
}

}  // namespace Zelt
