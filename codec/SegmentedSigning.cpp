#include "codec/SegmentedSigning.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "codec/Signature.h"

namespace DIFFLIB {
namespace {

constexpr std::size_t kReadPiece = std::size_t{1} << 20;
constexpr unsigned kMaxThreads = 8;

struct Segment {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    // Chunks cut within [begin, end], chunked from begin; the partial chunk
    // at the end is left to the join.
    std::vector<ChunkRecord> chunks;
    bool ok = false;
};

void ChunkSegment(const Reader& file, const ChunkParameters& parameters, Segment& segment) {
    try {
        ChunkGatherer chunks(parameters);
        std::vector<std::uint8_t> buffer(kReadPiece);
        const auto emit = [&](std::span<const std::uint8_t> chunk) {
            segment.chunks.push_back({static_cast<std::uint32_t>(chunk.size()), HashChunk(chunk)});
        };
        for (std::uint64_t at = segment.begin; at < segment.end;) {
            auto data = std::span(buffer).first(
                static_cast<std::size_t>(std::min<std::uint64_t>(kReadPiece, segment.end - at)));
            if (!ReadExactly(file, at, data))
                return;
            at += data.size();
            chunks.Feed(data, emit);
        }
        segment.ok = true;
    } catch (const std::bad_alloc&) {
    }
}

// The true chain's next chunk, from a boundary at `position`: at most
// maxSize bytes, the last chunk of the file ending with it.
bool ChunkAt(const Reader& file, const ChunkParameters& parameters, std::uint64_t size,
             std::uint64_t position, std::vector<std::uint8_t>& buffer, ChunkRecord& record) {
    const auto data = std::span(buffer).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(parameters.maxSize, size - position)));
    if (!ReadExactly(file, position, data))
        return false;
    Chunker chunker(parameters);
    bool boundary = false;
    const std::size_t used = chunker.Scan(data, boundary);
    record = {static_cast<std::uint32_t>(used), HashChunk(data.first(used))};
    return true;
}

class RecordOutput {
  public:
    RecordOutput(DiffWriter& writer, const ChunkParameters& parameters) : writer_(writer) {
        bytes_.resize(kSignatureHeaderSize);
        EncodeSignatureHeader(parameters, std::span<std::uint8_t, kSignatureHeaderSize>(
                                              bytes_.data(), kSignatureHeaderSize));
    }
    bool Add(const ChunkRecord& record) {
        const std::size_t at = bytes_.size();
        bytes_.resize(at + kSignatureRecordSize);
        EncodeChunkRecord(record, std::span<std::uint8_t, kSignatureRecordSize>(
                                      bytes_.data() + at, kSignatureRecordSize));
        return bytes_.size() < kFlushAt || Flush();
    }
    bool Flush() {
        const bool ok = bytes_.empty() || writer_.Write(bytes_) == Result::Ok;
        bytes_.clear();
        return ok;
    }

  private:
    static constexpr std::size_t kFlushAt = std::size_t{64} << 10;
    DiffWriter& writer_;
    std::vector<std::uint8_t> bytes_;
};

}  // namespace

Result SignInSegments(const Reader& file, DiffWriter& writer,
                      const SegmentedSigningOptions& options) {
    const ChunkParameters& parameters = options.parameters;
    const std::optional<std::uint64_t> size = file.Size();
    if (!size || !parameters.Valid())
        return Result::Failed;
    if (*size == 0)
        return Result::Ok;
    try {
        const unsigned threads =
            options.threads != 0 ? options.threads
                                 : std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
        const std::uint64_t minSegment = std::max<std::uint64_t>(options.minSegment, 1);
        const std::uint64_t count =
            std::clamp<std::uint64_t>(*size / minSegment, 1, std::max(threads, 1u));
        std::vector<Segment> segments(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < segments.size(); ++i) {
            segments[i].begin = *size * i / count;
            segments[i].end = *size * (i + 1) / count;
        }
        {
            std::vector<std::jthread> helpers;
            helpers.reserve(segments.size());
            for (std::size_t i = 1; i < segments.size(); ++i) {
                try {
                    helpers.emplace_back([&, i] { ChunkSegment(file, parameters, segments[i]); });
                } catch (const std::system_error&) {
                    ChunkSegment(file, parameters, segments[i]);
                }
            }
            ChunkSegment(file, parameters, segments[0]);
        }
        RecordOutput output(writer, parameters);
        std::vector<std::uint8_t> buffer(parameters.maxSize);
        std::uint64_t position = 0;  // the last true boundary
        for (const Segment& segment : segments) {
            if (!segment.ok)
                return Result::Failed;
            std::size_t next = 0;  // the segment's chunk that starts at `cut`
            std::uint64_t cut = segment.begin;
            while (position < segment.end) {
                while (next < segment.chunks.size() && cut < position)
                    cut += segment.chunks[next++].length;
                if (cut == position) {
                    // In step: the rest of the segment's chunks are true ones.
                    for (; next < segment.chunks.size(); ++next) {
                        if (!output.Add(segment.chunks[next]))
                            return Result::Failed;
                        position += segment.chunks[next].length;
                    }
                    break;
                }
                ChunkRecord record;
                if (!ChunkAt(file, parameters, *size, position, buffer, record) ||
                    !output.Add(record))
                    return Result::Failed;
                position += record.length;
            }
        }
        while (position < *size) {
            ChunkRecord record;
            if (!ChunkAt(file, parameters, *size, position, buffer, record) || !output.Add(record))
                return Result::Failed;
            position += record.length;
        }
        return output.Flush() ? Result::Ok : Result::Failed;
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
}

}  // namespace DIFFLIB
