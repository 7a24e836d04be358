// Blocks of a streamed upload as a peer sends them: the first four bytes
// name the block's plain size (as its header would), the rest is the stored
// form; the block's bytes then go through a patch applier as a streamed
// patch's would.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Samples.h"
#include "codec/LzmsBlock.h"
#include "codec/PatchApplier.h"

using namespace DIFFLIB;

namespace {

struct Discard final : DiffWriter {
    std::uint64_t bytes = 0;
    Result Write(std::span<const std::uint8_t> data) override {
        bytes += data.size();
        return Result::Ok;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    // Bounded as the receiver bounds it before anything is allocated.
    const std::uint32_t plainSize =
        (data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24) %
        (64 * 1024 + 1);
    const std::span<const std::uint8_t> stored(data + 4, size - 4);
    if (plainSize == 0 || stored.empty() || stored.size() > plainSize)
        return 0;
    std::vector<std::uint8_t> plain(plainSize);
    LzmsBlockDecompressor decompressor;
    if (decompressor.Decompress(stored, plain) != Result::Ok)
        return 0;
    static const std::vector<std::uint8_t> oldFile = fuzzsamples::OldFile();
    const MemoryReader oldReader(oldFile);
    Discard out;
    PatchApplier applier(oldReader, out);
    // Fed in two pieces, so that records cut by a block boundary are taken too.
    const std::size_t half = plain.size() / 2;
    if (applier.Feed(std::span(plain).first(half)) == Result::Ok &&
        applier.Feed(std::span(plain).subspan(half)) == Result::Ok &&
        applier.Finish() == Result::Ok && out.bytes != applier.Written())
        __builtin_trap();
    return 0;
}
