#pragma once
// The four entities the library knows. Decoding and encoding are deliberately
// not inverse: files written by older versions rely on the exact rules.
#include <string>
#include <string_view>

namespace Tessel {

// &amp; then &quot; then &gt; then &lt;, each over the whole text in turn, so
// "&amp;lt;" ends as "<". Text without an ampersand is returned unchanged.
std::string DecodeEntities(std::string_view text);

// & (unless a '#' follows), >, < and " become entities; all else is copied.
std::string EncodeEntities(std::string_view text);

}  // namespace Tessel
