// A seed signature from the peer compared with the signature of a real file,
// and the other way round.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Samples.h"
#include "codec/DiffLib.h"

using namespace DIFFLIB;

namespace {

struct Files {
    std::vector<std::uint8_t> source = fuzzsamples::NewFile();
    std::vector<std::uint8_t> sourceSignature = fuzzsamples::SignatureOf(source);
    std::vector<std::uint8_t> seedSignature = fuzzsamples::SignatureOf(fuzzsamples::OldFile());
};

const Files& Sample() {
    static const Files files;
    return files;
}

void Compare(std::span<const std::uint8_t> seed, std::span<const std::uint8_t> signature,
             std::span<const std::uint8_t> file) {
    DiffLibrary library;
    MemoryReader seedReader(seed);
    MemoryReader signatureReader(signature);
    MemoryReader fileReader(file);
    MemoryDiffWriter writer;
    (void)library.CompareSignatures(seedReader, signatureReader, &fileReader, writer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    const Files& files = Sample();
    Compare(input, files.sourceSignature, files.source);
    Compare(files.seedSignature, input, files.source);
    return 0;
}
