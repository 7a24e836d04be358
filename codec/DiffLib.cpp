#include "codec/DiffLib.h"

#include <algorithm>
#include <new>
#include <optional>

#include "codec/Comparator.h"
#include "codec/Lzms.h"
#include "codec/Signature.h"

namespace DIFFLIB {
namespace {

// A seed signature describes a file about 200 times its size; this bound
// keeps a hostile peer from making us hold more than that.
constexpr std::uint64_t kMaxSeedSignatureSize = std::uint64_t{1} << 30;
constexpr std::size_t kSeedReadPiece = std::size_t{1} << 20;

// The size of the next read at `position`: at most kReadChunkSize; the last
// piece (which may be empty) is the end of input.
std::size_t NextChunk(std::uint64_t size, std::uint64_t position, bool& endOfInput) {
    const std::uint64_t remaining = size > position ? size - position : 0;
    endOfInput = remaining <= kReadChunkSize;
    return static_cast<std::size_t>(endOfInput ? remaining : kReadChunkSize);
}

// The whole seed signature, which the comparator indexes before it starts.
std::optional<std::vector<std::uint8_t>> ReadSeed(const Reader& reader) {
    const std::optional<std::uint64_t> size = reader.Size();
    if (!size || *size > kMaxSeedSignatureSize)
        return std::nullopt;
    std::vector<std::uint8_t> seed(static_cast<std::size_t>(*size));
    for (std::size_t at = 0; at < seed.size(); at += kSeedReadPiece) {
        const std::size_t want = std::min(kSeedReadPiece, seed.size() - at);
        if (!ReadExactly(reader, at, std::span(seed).subspan(at, want)))
            return std::nullopt;
    }
    return seed;
}

template <typename Transform>
Result Replace(std::vector<std::uint8_t>& buffer, Transform transform) {
    std::vector<std::uint8_t> output;
    const Result result = transform(buffer, output);
    if (result == Result::Ok)
        buffer = std::move(output);
    return result;
}

}  // namespace

Result DiffLibrary::GenerateSignature(const Reader& file, DiffWriter& writer) {
    try {
        std::optional<SignatureGenerator> generator = SignatureGenerator::Create();
        if (!generator)
            return Result::Failed;
        std::vector<std::uint8_t> input(kReadChunkSize);
        std::vector<std::uint8_t> output(kGeneratorOutputSize);
        std::uint64_t position = 0;
        for (;;) {
            const std::optional<std::uint64_t> size = file.Size();
            if (!size)
                return Result::Failed;
            bool endOfInput = false;
            const auto chunk = std::span(input).first(NextChunk(*size, position, endOfInput));
            if (!ReadExactly(file, position, chunk))
                return Result::Failed;
            const SignatureGenerator::Progress step = generator->Process(endOfInput, chunk, output);
            position += step.consumed;
            if (step.produced != 0 &&
                writer.Write(std::span(output).first(step.produced)) != Result::Ok)
                return Result::Failed;
            if (step.endOfOutput)
                return Result::Ok;
            if (step.consumed == 0 && step.produced == 0)
                return Result::Failed;  // no progress: the file changed under us
        }
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
}

Result DiffLibrary::CompareSignatures(const Reader& seedSignature, const Reader& sourceSignature,
                                      const Reader* sourceFile, DiffWriter& writer) {
    try {
        const std::optional<std::vector<std::uint8_t>> seed = ReadSeed(seedSignature);
        std::optional<Comparator> comparator;
        if (seed)
            comparator = Comparator::Create(*seed);
        lastResult_ = comparator ? Result::Ok : Result::Failed;
        if (!comparator)
            return lastResult_;
        const std::optional<std::uint64_t> size = sourceSignature.Size();
        if (!size)
            return Result::Failed;
        if (*size == 0)
            return Result::Ok;

        std::vector<std::uint8_t> input(kReadChunkSize);
        std::vector<Need> needs(kNeedsPerCall);
        std::uint64_t position = 0;
        bool endOfOutput = false;
        while (!endOfOutput) {
            bool endOfInput = false;
            const auto chunk = std::span(input).first(NextChunk(*size, position, endOfInput));
            if (!ReadExactly(sourceSignature, position, chunk))
                return Result::Failed;
            std::size_t used = 0;
            for (;;) {
                Comparator::Progress step;
                lastResult_ = comparator->Process(endOfInput, chunk.subspan(used), needs, step);
                if (lastResult_ != Result::Ok)
                    return lastResult_;
                used += step.consumed;
                endOfOutput = step.endOfOutput;
                for (std::size_t i = 0; i < step.needs; ++i)
                    if (AppendNeed(needs[i], sourceFile, writer) != Result::Ok)
                        return Result::Failed;
                if (endOfOutput || (!endOfInput && used == chunk.size()))
                    break;
                if (step.consumed == 0 && step.needs == 0)
                    return Result::Failed;  // the comparator is stuck
            }
            position += used;
        }
        return Result::Ok;
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
}

Result DiffLibrary::ApplyPatch(const Reader& oldFile, const Reader& patch, DiffWriter& writer) {
    return DIFFLIB::ApplyPatch(oldFile, patch, writer);
}

Result DiffLibrary::CompressBuffer(std::vector<std::uint8_t>& buffer) {
    return Replace(buffer, [](std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
        return LzmsCompress(input, out);
    });
}

Result DiffLibrary::DecompressBuffer(std::vector<std::uint8_t>& buffer, std::uint64_t maxSize) {
    return Replace(buffer,
                   [maxSize](std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
                       return LzmsDecompress(input, out, std::min(maxSize, kLzmsMaxOriginalSize));
                   });
}

}  // namespace DIFFLIB
