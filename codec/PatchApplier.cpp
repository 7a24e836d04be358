#include "codec/PatchApplier.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace DIFFLIB {
namespace {

// Seed blocks are copied through a buffer of this size, so a record never
// makes us allocate what it merely claims.
constexpr std::size_t kCopyPiece = std::size_t{1} << 20;
constexpr std::uint64_t kMaxRecordLength = 0xFFFFFFFFull;

}  // namespace

Result PatchApplier::Fail() {
    failed_ = true;
    return Result::Failed;
}

Result PatchApplier::StartRecord(const Need& need) {
    if (need.length > kMaxRecordLength)
        return Fail();
    if (need.type == NeedType::Source) {
        sourceLeft_ = need.length;
        return Result::Ok;
    }
    if (need.type != NeedType::Seed)
        return Fail();
    if (!oldSize_) {
        oldSize_ = oldFile_.Size();
        if (!oldSize_)
            return Fail();
    }
    if (need.offset > *oldSize_ || need.length > *oldSize_ - need.offset)
        return Fail();
    try {
        for (std::uint64_t done = 0; done < need.length;) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(need.length - done, kCopyPiece));
            if (buffer_.size() < want)
                buffer_.resize(want);
            const std::span<std::uint8_t> piece(buffer_.data(), want);
            if (!ReadExactly(oldFile_, need.offset + done, piece) ||
                writer_.Write(piece) != Result::Ok)
                return Fail();
            done += want;
            written_ += want;
        }
    } catch (const std::bad_alloc&) {
        return Fail();
    }
    return Result::Ok;
}

Result PatchApplier::Feed(std::span<const std::uint8_t> bytes) {
    if (failed_)
        return Result::Failed;
    while (!bytes.empty()) {
        if (sourceLeft_ != 0) {
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(sourceLeft_, bytes.size()));
            if (writer_.Write(bytes.first(take)) != Result::Ok)
                return Fail();
            sourceLeft_ -= take;
            written_ += take;
            bytes = bytes.subspan(take);
            continue;
        }
        const std::size_t take = std::min(kNeedRecordSize - headerHave_, bytes.size());
        std::memcpy(header_ + headerHave_, bytes.data(), take);
        headerHave_ += take;
        bytes = bytes.subspan(take);
        if (headerHave_ < kNeedRecordSize)
            break;
        headerHave_ = 0;
        if (StartRecord(DecodeNeedRecord(header_)) != Result::Ok)
            return Result::Failed;
    }
    return Result::Ok;
}

Result PatchApplier::Finish() {
    if (failed_ || headerHave_ != 0 || sourceLeft_ != 0)
        return Fail();
    return Result::Ok;
}

}  // namespace DIFFLIB
