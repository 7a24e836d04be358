#include "codec/Comparator.h"

#include <algorithm>

namespace DIFFLIB {
namespace {

// Needs stay below 4 GiB so that every consumer can take them in one piece.
constexpr std::uint64_t kMaxNeedLength = 0xFFFFFFFFull;

bool HashBefore(const ChunkHash& a, const ChunkHash& b) {
    return a.high != b.high ? a.high < b.high : a.low < b.low;
}

bool Continues(const Need& pending, const Need& next) {
    return pending.type == next.type && pending.offset + pending.length == next.offset &&
           pending.length + next.length <= kMaxNeedLength;
}

// Decodes a seed signature's header into `parameters` and hands each chunk
// record to `take`, in order; false at the first thing that is not valid.
template <typename Take>
bool ForEachSeedRecord(std::span<const std::uint8_t> seed, ChunkParameters& parameters, Take take) {
    if (seed.size() < kSignatureHeaderSize ||
        (seed.size() - kSignatureHeaderSize) % kSignatureRecordSize != 0)
        return false;
    if (DecodeSignatureHeader(seed.first<kSignatureHeaderSize>(), parameters) != HeaderCheck::Ok)
        return false;
    for (std::size_t at = kSignatureHeaderSize; at < seed.size(); at += kSignatureRecordSize) {
        ChunkRecord record;
        if (!DecodeChunkRecord(seed.subspan(at).first<kSignatureRecordSize>(), parameters, record))
            return false;
        take(record);
    }
    return true;
}

}  // namespace

std::optional<Comparator> Comparator::Create(std::span<const std::uint8_t> seedSignature) {
    Comparator comparator;
    if (!comparator.Load(seedSignature))
        return std::nullopt;
    return comparator;
}

bool Comparator::Load(std::span<const std::uint8_t> seed) {
    if (seed.empty())
        return true;
    if (seed.size() > kSignatureHeaderSize)
        chunks_.reserve((seed.size() - kSignatureHeaderSize) / kSignatureRecordSize);
    ChunkParameters parameters;
    std::uint64_t offset = 0;
    const bool valid = ForEachSeedRecord(seed, parameters, [&](const ChunkRecord& record) {
        chunks_.push_back(SeedChunk{offset, record.length, record.hash});
        offset += record.length;
    });
    if (!valid)
        return false;
    seedParameters_ = parameters;
    const std::size_t count = chunks_.size();
    index_.resize(count);
    // Sorted as keys side by side rather than through the chunk numbers: the
    // same order, without a cache miss per comparison.
    struct Key {
        ChunkHash hash;
        std::uint32_t chunk;
    };
    std::vector<Key> keys;
    keys.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
        keys.push_back({chunks_[i].hash, i});
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
        return a.hash == b.hash ? a.chunk < b.chunk : HashBefore(a.hash, b.hash);
    });
    for (std::size_t i = 0; i < count; ++i)
        index_[i] = keys[i].chunk;
    return true;
}

bool Comparator::Accepts(std::span<const std::uint8_t> seed) {
    ChunkParameters parameters;
    return seed.empty() || ForEachSeedRecord(seed, parameters, [](const ChunkRecord&) {});
}

Result Comparator::Process(bool endOfInput, std::span<const std::uint8_t> input,
                           std::span<Need> output, Progress& progress) {
    progress = Progress{};
    if (failed_)
        return Result::Failed;
    if (finished_) {
        progress.endOfOutput = true;
        return Result::Ok;
    }

    for (;;) {
        const auto rest = input.subspan(progress.consumed);
        if (!headerDone_) {
            progress.consumed += TakeInto(rest, kSignatureHeaderSize);
            if (carry_.size() != kSignatureHeaderSize)
                break;
            ChunkParameters parameters;
            const HeaderCheck check =
                DecodeSignatureHeader(std::span<const std::uint8_t, kSignatureHeaderSize>(
                                          carry_.data(), kSignatureHeaderSize),
                                      parameters);
            carry_.clear();
            if (check != HeaderCheck::Ok || (seedParameters_ && !(*seedParameters_ == parameters)))
                return Fail();
            sourceParameters_ = parameters;
            headerDone_ = true;
            continue;
        }

        // The next record, from the carried partial bytes or the input.
        std::span<const std::uint8_t> recordBytes;
        const bool fromCarry = !carry_.empty();
        if (fromCarry) {
            progress.consumed += TakeInto(rest, kSignatureRecordSize);
            if (carry_.size() != kSignatureRecordSize)
                break;
            recordBytes = carry_;
        } else if (rest.size() >= kSignatureRecordSize) {
            recordBytes = rest.first(kSignatureRecordSize);
        } else {
            progress.consumed += TakeInto(rest, kSignatureRecordSize);
            break;
        }
        ChunkRecord record;
        if (!DecodeChunkRecord(recordBytes.first<kSignatureRecordSize>(), sourceParameters_,
                               record) ||
            targetOffset_ > UINT64_MAX - record.length)
            return Fail();

        const std::optional<std::size_t> seedIndex = FindSeed(record);
        const Need need = seedIndex
                              ? Need{NeedType::Seed, chunks_[*seedIndex].offset, record.length}
                              : Need{NeedType::Source, targetOffset_, record.length};
        if (pending_ && Continues(*pending_, need)) {
            pending_->length += need.length;
        } else {
            if (pending_) {
                if (progress.needs == output.size())
                    break;  // the record stays unconsumed until there is room
                output[progress.needs++] = *pending_;
            }
            pending_ = need;
        }
        nextSeed_ = seedIndex ? *seedIndex + 1 : chunks_.size();
        targetOffset_ += record.length;
        if (fromCarry)
            carry_.clear();
        else
            progress.consumed += kSignatureRecordSize;
    }

    if (endOfInput && progress.consumed == input.size()) {
        if (!carry_.empty())
            return Fail();  // cut inside a record
        if (pending_) {
            if (progress.needs == output.size())
                return Result::Ok;
            output[progress.needs++] = *pending_;
            pending_.reset();
        }
        finished_ = true;
        progress.endOfOutput = true;
    }
    return Result::Ok;
}

// Moves input bytes into carry_ until it holds `size`; how many it took.
std::size_t Comparator::TakeInto(std::span<const std::uint8_t> input, std::size_t size) {
    const std::size_t take = std::min(size - carry_.size(), input.size());
    carry_.insert(carry_.end(), input.begin(), input.begin() + take);
    return take;
}

// Prefers the seed chunk that continues the current seed run, so that
// repeated content still gives long runs.
std::optional<std::size_t> Comparator::FindSeed(const ChunkRecord& record) const {
    if (nextSeed_ < chunks_.size() && chunks_[nextSeed_].hash == record.hash &&
        chunks_[nextSeed_].length == record.length)
        return nextSeed_;
    const auto found = std::lower_bound(index_.begin(), index_.end(), record.hash,
                                        [this](std::uint32_t chunk, const ChunkHash& hash) {
                                            return HashBefore(chunks_[chunk].hash, hash);
                                        });
    if (found == index_.end() || !(chunks_[*found].hash == record.hash) ||
        chunks_[*found].length != record.length)
        return std::nullopt;
    return *found;
}

Result Comparator::Fail() {
    failed_ = true;
    return Result::Failed;
}

}  // namespace DIFFLIB
