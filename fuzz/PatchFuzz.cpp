// A patch from the peer applied over a small old file, the new file's
// signature worked out from the old one and the patch (when it can be, it
// must be the rebuilt file's own), and the same bytes read as a needs list.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "Samples.h"
#include "codec/DiffLib.h"
#include "codec/Patch.h"
#include "codec/RebuiltSignature.h"

using namespace DIFFLIB;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::uint8_t> oldFile = fuzzsamples::OldFile();
    const std::span<const std::uint8_t> input(data, size);
    DiffLibrary library;
    MemoryReader oldReader(oldFile);
    MemoryReader patchReader(input);
    MemoryDiffWriter writer;
    const bool applied = library.ApplyPatch(oldReader, patchReader, writer) == Result::Ok;

    static const auto oldSignature = [] {
        MemoryDiffWriter signature;
        DiffLibrary{}.GenerateSignature(MemoryReader(fuzzsamples::OldFile()), signature);
        return std::make_shared<const std::vector<std::uint8_t>>(signature.Take());
    }();
    std::optional<RebuiltSignature> rebuilt =
        RebuiltSignature::Create(oldSignature, std::size_t{1} << 20);
    if (!rebuilt)
        __builtin_trap();
    // In two pieces, cut where the first byte says, as blocks arrive.
    const std::size_t cut = size == 0 ? 0 : data[0] % size;
    rebuilt->Feed(input.first(cut));
    rebuilt->Feed(input.subspan(cut));
    if (const std::optional<std::vector<std::uint8_t>> signature = rebuilt->Finish();
        signature && applied) {
        MemoryDiffWriter fresh;
        if (library.GenerateSignature(MemoryReader(writer.Data()), fresh) != Result::Ok ||
            !std::equal(signature->begin(), signature->end(), fresh.Data().begin(),
                        fresh.Data().end()))
            __builtin_trap();
    }

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
