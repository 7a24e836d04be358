// Throughput of the differential engine on a realistic corpus (shared
// libraries and headers of this machine), with memcpy and XXH3 over the same
// bytes as the baseline.
#include <benchmark/benchmark.h>
#include <xxhash.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codec/Chunker.h"
#include "codec/DiffLib.h"
#include "codec/Lzms.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kCorpusSize = 32u << 20;

// Appends whole files from `root` (sorted, so runs compare) until `limit`.
void AppendFiles(const fs::path& root, const std::vector<std::string>& suffixes, std::size_t limit,
                 std::vector<std::uint8_t>& out) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, ec),
         end;
         it != end && !ec; it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec))
            continue;
        const std::string name = it->path().filename().string();
        for (const auto& suffix : suffixes) {
            if (name.find(suffix) != std::string::npos) {
                files.push_back(it->path());
                break;
            }
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        if (out.size() >= limit)
            break;
        std::ifstream in(path, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        const std::size_t take = std::min(bytes.size(), limit - out.size());
        out.insert(out.end(), bytes.begin(), bytes.begin() + take);
    }
}

const std::vector<std::uint8_t>& Corpus() {
    static const std::vector<std::uint8_t> corpus = [] {
        std::vector<std::uint8_t> bytes;
        AppendFiles("/usr/lib/x86_64-linux-gnu", {".so"}, kCorpusSize / 2, bytes);
        AppendFiles("/usr/include", {".h"}, kCorpusSize, bytes);
        // Anything missing is made up of text-like pseudo-random lines.
        std::mt19937 rng(1);
        while (bytes.size() < kCorpusSize)
            bytes.push_back(static_cast<std::uint8_t>('a' + rng() % 26));
        return bytes;
    }();
    return corpus;
}

// The corpus after an insertion near the start and scattered small edits.
const std::vector<std::uint8_t>& EditedCorpus() {
    static const std::vector<std::uint8_t> edited = [] {
        std::vector<std::uint8_t> bytes = Corpus();
        std::mt19937 rng(2);
        const std::string insertion(4000, 'X');
        bytes.insert(bytes.begin() + 100000, insertion.begin(), insertion.end());
        for (int i = 0; i < 20; ++i) {
            const std::size_t at = rng() % (bytes.size() - 64);
            for (int j = 0; j < 16; ++j)
                bytes[at + j] = static_cast<std::uint8_t>(rng());
        }
        return bytes;
    }();
    return edited;
}

std::vector<std::uint8_t> Signature(std::span<const std::uint8_t> data) {
    DIFFLIB::DiffLibrary library;
    const DIFFLIB::MemoryReader reader(data);
    DIFFLIB::MemoryDiffWriter writer;
    library.GenerateSignature(reader, writer);
    return writer.Take();
}

void BM_Memcpy(benchmark::State& state) {
    const auto& corpus = Corpus();
    std::vector<std::uint8_t> copy(corpus.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), corpus.data(), corpus.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * corpus.size());
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

void BM_Xxh3_128(benchmark::State& state) {
    const auto& corpus = Corpus();
    for (auto _ : state)
        benchmark::DoNotOptimize(XXH3_128bits(corpus.data(), corpus.size()));
    state.SetBytesProcessed(state.iterations() * corpus.size());
}
BENCHMARK(BM_Xxh3_128)->Unit(benchmark::kMillisecond);

void BM_Chunking(benchmark::State& state) {
    const auto& corpus = Corpus();
    std::size_t chunks = 0;
    for (auto _ : state) {
        const auto lengths = DIFFLIB::ChunkLengths(corpus);
        chunks = lengths.size();
        benchmark::DoNotOptimize(lengths.data());
    }
    state.SetBytesProcessed(state.iterations() * corpus.size());
    state.counters["avg_chunk"] = static_cast<double>(corpus.size()) / chunks;
}
BENCHMARK(BM_Chunking)->Unit(benchmark::kMillisecond);

void BM_GenerateSignature(benchmark::State& state) {
    const auto& corpus = Corpus();
    std::size_t size = 0;
    for (auto _ : state) {
        const auto signature = Signature(corpus);
        size = signature.size();
    }
    state.SetBytesProcessed(state.iterations() * corpus.size());
    state.counters["signature_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_GenerateSignature)->Unit(benchmark::kMillisecond);

void BM_CompareSignaturesWithSource(benchmark::State& state) {
    const auto& old = Corpus();
    const auto& now = EditedCorpus();
    const auto seed = Signature(old);
    const auto source = Signature(now);
    DIFFLIB::DiffLibrary library;
    std::vector<std::uint8_t> patch;
    for (auto _ : state) {
        const DIFFLIB::MemoryReader seedReader(seed);
        const DIFFLIB::MemoryReader sourceReader(source);
        const DIFFLIB::MemoryReader newReader(now);
        DIFFLIB::MemoryDiffWriter writer;
        library.CompareSignatures(seedReader, sourceReader, &newReader, writer);
        patch = writer.Take();
    }
    state.SetBytesProcessed(state.iterations() * now.size());
    state.counters["patch_bytes"] = static_cast<double>(patch.size());
    DIFFLIB::DiffLibrary::CompressBuffer(patch);
    state.counters["patch_lzms_bytes"] = static_cast<double>(patch.size());
}
BENCHMARK(BM_CompareSignaturesWithSource)->Unit(benchmark::kMillisecond);

// Whole sender + receiver work for one patch: both signatures, the
// comparison and the rebuild.
void BM_SignCompareApply(benchmark::State& state) {
    const auto& old = Corpus();
    const auto& now = EditedCorpus();
    DIFFLIB::DiffLibrary library;
    for (auto _ : state) {
        const auto seed = Signature(old);
        const auto source = Signature(now);
        const DIFFLIB::MemoryReader seedReader(seed);
        const DIFFLIB::MemoryReader sourceReader(source);
        const DIFFLIB::MemoryReader newReader(now);
        DIFFLIB::MemoryDiffWriter patch;
        library.CompareSignatures(seedReader, sourceReader, &newReader, patch);
        const DIFFLIB::MemoryReader oldReader(old);
        const DIFFLIB::MemoryReader patchReader(patch.Data());
        DIFFLIB::MemoryDiffWriter rebuilt;
        library.ApplyPatch(oldReader, patchReader, rebuilt);
        if (rebuilt.Size() != now.size())
            state.SkipWithError("rebuild failed");
    }
    state.SetBytesProcessed(state.iterations() * now.size());
}
BENCHMARK(BM_SignCompareApply)->Unit(benchmark::kMillisecond);

void BM_ApplyPatch(benchmark::State& state) {
    const auto& old = Corpus();
    const auto& now = EditedCorpus();
    const auto seed = Signature(old);
    const auto source = Signature(now);
    DIFFLIB::DiffLibrary library;
    const DIFFLIB::MemoryReader seedReader(seed);
    const DIFFLIB::MemoryReader sourceReader(source);
    const DIFFLIB::MemoryReader newReader(now);
    DIFFLIB::MemoryDiffWriter patch;
    library.CompareSignatures(seedReader, sourceReader, &newReader, patch);
    for (auto _ : state) {
        const DIFFLIB::MemoryReader oldReader(old);
        const DIFFLIB::MemoryReader patchReader(patch.Data());
        DIFFLIB::MemoryDiffWriter rebuilt;
        library.ApplyPatch(oldReader, patchReader, rebuilt);
        benchmark::DoNotOptimize(rebuilt.Data().data());
    }
    state.SetBytesProcessed(state.iterations() * now.size());
}
BENCHMARK(BM_ApplyPatch)->Unit(benchmark::kMillisecond);

// LZMS over the first 8 MiB: two blocks, one per core on a two-core machine.
std::span<const std::uint8_t> LzmsSample() {
    const auto& corpus = Corpus();
    return std::span(corpus).first(std::size_t{8} << 20);
}

void BM_LzmsCompress(benchmark::State& state) {
    const auto sample = LzmsSample();
    std::vector<std::uint8_t> packed;
    for (auto _ : state)
        DIFFLIB::LzmsCompress(sample, packed);
    state.SetBytesProcessed(state.iterations() * sample.size());
    state.counters["ratio"] = static_cast<double>(packed.size()) / sample.size();
}
BENCHMARK(BM_LzmsCompress)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_LzmsDecompress(benchmark::State& state) {
    const auto sample = LzmsSample();
    std::vector<std::uint8_t> packed;
    DIFFLIB::LzmsCompress(sample, packed);
    std::vector<std::uint8_t> unpacked;
    for (auto _ : state)
        DIFFLIB::LzmsDecompress(packed, unpacked);
    state.SetBytesProcessed(state.iterations() * sample.size());
}
BENCHMARK(BM_LzmsDecompress)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
