#include "codec/Patch.h"
#include "platform/ByteOrder.h"

#include <algorithm>
#include <new>

namespace DIFFLIB {
namespace {

// Block bytes are copied through a buffer of this size, so a record never
// makes us allocate what it merely claims.
constexpr std::size_t kCopyPiece = std::size_t{1} << 20;
constexpr std::uint64_t kMaxRecordLength = 0xFFFFFFFFull;

// Copies `length` bytes at `offset` of `reader` to `writer`.
Result CopyBlock(const Reader& reader, std::uint64_t offset, std::uint64_t length,
                 DiffWriter& writer, std::vector<std::uint8_t>& buffer) {
    while (length != 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyPiece));
        if (buffer.size() < want)
            buffer.resize(want);
        const std::span<std::uint8_t> piece(buffer.data(), want);
        if (!ReadExactly(reader, offset, piece) || writer.Write(piece) != Result::Ok)
            return Result::Failed;
        offset += want;
        length -= want;
    }
    return Result::Ok;
}

}  // namespace

void EncodeNeedRecord(const Need& need, std::span<std::uint8_t, kNeedRecordSize> out) {
    platform::PutU32(out.data(), static_cast<std::uint32_t>(need.type));
    platform::PutU32(out.data() + 4, 0);
    platform::PutU64(out.data() + 8, need.offset);
    platform::PutU64(out.data() + 16, need.length);
}

Need DecodeNeedRecord(std::span<const std::uint8_t, kNeedRecordSize> in) {
    return Need{static_cast<NeedType>(platform::GetU32(in.data())), platform::GetU64(in.data() + 8),
                platform::GetU64(in.data() + 16)};
}

bool ParseNeedsList(std::span<const std::uint8_t> bytes, std::vector<Need>& needs) {
    if (bytes.size() % kNeedRecordSize != 0)
        return false;
    std::vector<Need> parsed;
    parsed.reserve(bytes.size() / kNeedRecordSize);
    for (std::size_t at = 0; at < bytes.size(); at += kNeedRecordSize) {
        const Need need = DecodeNeedRecord(bytes.subspan(at).first<kNeedRecordSize>());
        if (need.type != NeedType::Source && need.type != NeedType::Seed)
            return false;
        parsed.push_back(need);
    }
    needs = std::move(parsed);
    return true;
}

Result AppendNeed(const Need& need, const Reader* sourceFile, DiffWriter& writer) {
    if (need.length > kMaxRecordLength)
        return Result::Failed;
    std::uint8_t record[kNeedRecordSize];
    EncodeNeedRecord(need, record);
    if (writer.Write(record) != Result::Ok)
        return Result::Failed;
    if (need.type != NeedType::Source || !sourceFile)
        return Result::Ok;
    try {
        std::vector<std::uint8_t> buffer;
        return CopyBlock(*sourceFile, need.offset, need.length, writer, buffer);
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
}

Result ApplyPatch(const Reader& oldFile, const Reader& patch, DiffWriter& writer) {
    try {
        const std::optional<std::uint64_t> size = patch.Size();
        if (!size)
            return Result::Failed;
        if (*size == 0)
            return Result::Ok;
        const std::optional<std::uint64_t> oldSize = oldFile.Size();
        if (!oldSize)
            return Result::Failed;

        std::vector<std::uint8_t> buffer;
        std::uint64_t position = 0;
        while (position < *size) {
            std::uint8_t bytes[kNeedRecordSize];
            if (*size - position < kNeedRecordSize || !ReadExactly(patch, position, bytes))
                return Result::Failed;
            const Need need = DecodeNeedRecord(bytes);
            if (need.length > kMaxRecordLength)
                return Result::Failed;
            position += kNeedRecordSize;
            switch (need.type) {
                case NeedType::Seed:
                    if (need.offset > *oldSize || need.length > *oldSize - need.offset ||
                        CopyBlock(oldFile, need.offset, need.length, writer, buffer) != Result::Ok)
                        return Result::Failed;
                    break;
                case NeedType::Source:
                    if (need.length > *size - position ||
                        CopyBlock(patch, position, need.length, writer, buffer) != Result::Ok)
                        return Result::Failed;
                    position += need.length;
                    break;
                default:
                    return Result::Failed;
            }
        }
        return Result::Ok;
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
}

}  // namespace DIFFLIB
