// A patch from the peer applied over a small old file, and the same bytes
// read as a needs list.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Samples.h"
#include "codec/DiffLib.h"
#include "codec/Patch.h"

using namespace DIFFLIB;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::uint8_t> oldFile = fuzzsamples::OldFile();
    const std::span<const std::uint8_t> input(data, size);
    DiffLibrary library;
    MemoryReader oldReader(oldFile);
    MemoryReader patchReader(input);
    MemoryDiffWriter writer;
    (void)library.ApplyPatch(oldReader, patchReader, writer);

    std::vector<Need> needs;
    if (ParseNeedsList(input, needs)) {
        if (needs.size() * kNeedRecordSize != size)
            __builtin_trap();
        for (const Need& need : needs)
            if (need.type != NeedType::Source && need.type != NeedType::Seed)
                __builtin_trap();
    } else if (!needs.empty()) {
        __builtin_trap();  // a refused list leaves the output alone
    }
    return 0;
}
