#include "codec/RebuiltSignature.h"

#include <algorithm>
#include <cstring>

#include "codec/Signature.h"

namespace DIFFLIB {

std::optional<RebuiltSignature> RebuiltSignature::Create(
    std::shared_ptr<const std::vector<std::uint8_t>> oldSignature, std::size_t maxSize) {
    if (!oldSignature || oldSignature->size() < kSignatureHeaderSize ||
        (oldSignature->size() - kSignatureHeaderSize) % kSignatureRecordSize != 0)
        return std::nullopt;
    ChunkParameters parameters;
    if (DecodeSignatureHeader(std::span(*oldSignature).first<kSignatureHeaderSize>(), parameters) !=
        HeaderCheck::Ok)
        return std::nullopt;
    RebuiltSignature rebuilt(oldSignature, parameters, maxSize);
    const std::size_t count = (oldSignature->size() - kSignatureHeaderSize) / kSignatureRecordSize;
    rebuilt.starts_.reserve(count + 1);
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        ChunkRecord record;
        if (!DecodeChunkRecord(std::span(*oldSignature)
                                   .subspan(kSignatureHeaderSize + i * kSignatureRecordSize)
                                   .first<kSignatureRecordSize>(),
                               parameters, record))
            return std::nullopt;
        rebuilt.starts_.push_back(offset);
        offset += record.length;
    }
    rebuilt.starts_.push_back(offset);
    return rebuilt;
}

RebuiltSignature::RebuiltSignature(std::shared_ptr<const std::vector<std::uint8_t>> oldSignature,
                                   const ChunkParameters& parameters, std::size_t maxSize)
    : old_(std::move(oldSignature)),
      parameters_(parameters),
      maxSize_(maxSize),
      chunks_(parameters) {
    out_.resize(kSignatureHeaderSize);
    EncodeSignatureHeader(parameters_, std::span<std::uint8_t, kSignatureHeaderSize>(
                                           out_.data(), kSignatureHeaderSize));
}

void RebuiltSignature::Feed(std::span<const std::uint8_t> bytes) {
    while (valid_ && !bytes.empty()) {
        if (sourceLeft_ != 0) {
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(sourceLeft_, bytes.size()));
            ChunkSource(bytes.first(take));
            sourceLeft_ -= take;
            bytes = bytes.subspan(take);
            if (sourceLeft_ == 0)
                EndSource();
            continue;
        }
        const std::size_t take = std::min(kNeedRecordSize - headerHave_, bytes.size());
        std::memcpy(header_ + headerHave_, bytes.data(), take);
        headerHave_ += take;
        bytes = bytes.subspan(take);
        if (headerHave_ == kNeedRecordSize) {
            headerHave_ = 0;
            StartRecord(DecodeNeedRecord(header_));
        }
    }
}

void RebuiltSignature::StartRecord(const Need& need) {
    if (need.length == 0)
        return;
    if (open_) {
        valid_ = false;
        return;
    }
    if (need.type == NeedType::Source) {
        sourceLeft_ = need.length;
        return;
    }
    if (need.type != NeedType::Seed) {
        valid_ = false;
        return;
    }
    // Whole old chunks only, from one start to another.
    if (need.length > UINT64_MAX - need.offset) {
        valid_ = false;
        return;
    }
    const auto first = std::lower_bound(starts_.begin(), starts_.end() - 1, need.offset);
    const auto last = std::lower_bound(first, starts_.end(), need.offset + need.length);
    if (first == starts_.end() - 1 || *first != need.offset || last == starts_.end() ||
        *last != need.offset + need.length) {
        valid_ = false;
        return;
    }
    const auto from = static_cast<std::size_t>(first - starts_.begin());
    const auto to = static_cast<std::size_t>(last - starts_.begin());
    if (!Room((to - from) * kSignatureRecordSize))
        return;
    const auto records =
        old_->begin() + static_cast<long>(kSignatureHeaderSize + from * kSignatureRecordSize);
    out_.insert(out_.end(), records,
                records + static_cast<long>((to - from) * kSignatureRecordSize));
    // The old file's last chunk may have ended with the file, not with a cut.
    open_ = to == starts_.size() - 1;
}

void RebuiltSignature::ChunkSource(std::span<const std::uint8_t> bytes) {
    chunks_.Feed(bytes, [this](std::span<const std::uint8_t> chunk) { Emit(chunk); });
}

void RebuiltSignature::EndSource() {
    if (chunks_.End([this](std::span<const std::uint8_t> chunk) { Emit(chunk); }))
        open_ = true;
}

// Whether `more` signature bytes still fit; gives up (and the memory) if not.
bool RebuiltSignature::Room(std::size_t more) {
    if (out_.size() + more <= maxSize_)
        return true;
    valid_ = false;
    out_ = {};
    return false;
}

void RebuiltSignature::Emit(std::span<const std::uint8_t> chunk) {
    if (!Room(kSignatureRecordSize))
        return;
    const std::size_t at = out_.size();
    out_.resize(at + kSignatureRecordSize);
    EncodeChunkRecord(
        {static_cast<std::uint32_t>(chunk.size()), HashChunk(chunk)},
        std::span<std::uint8_t, kSignatureRecordSize>(out_.data() + at, kSignatureRecordSize));
}

std::optional<std::vector<std::uint8_t>> RebuiltSignature::Finish() {
    if (!valid_ || headerHave_ != 0 || sourceLeft_ != 0)
        return std::nullopt;
    // An empty file has an empty signature.
    if (out_.size() == kSignatureHeaderSize)
        out_.clear();
    return std::move(out_);
}

}  // namespace DIFFLIB
