// Configuration files and the update service's hash list: a file read from
// disk (any encoding the loader accepts) and a reply parsed as one element.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "xml/XMLDocument.h"
#include "xml/XMLElement.h"

using namespace Tessel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    XMLDocument document;
    if (document.Load(bytes) == kXMLOk) {
        // Written out and read back; the scanner takes names the writer
        // does not quote, so the second read may refuse what the first took.
        XMLDocument again;
        (void)again.Parse(document.Serialize());
    }
    const std::string text(bytes.begin(), bytes.end());
    XMLElement element{std::string_view(text)};
    for (const auto& child : element.GetChildren())
        (void)child->GetVariable("n");
    return 0;
}
