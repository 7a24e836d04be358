// An update service reply opened as an archive in memory, every entry read.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "update/ZZip.h"

using namespace Zelt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZZIP archive;
    if (archive.open_memory(data, size) != kOk)
        return 0;
    std::vector<std::uint8_t> content;
    for (const auto& entry : archive.list())
        if (!entry.is_directory)
            (void)archive.extract(entry.name, content);
    return 0;
}
