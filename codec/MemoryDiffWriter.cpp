#include "codec/MemoryDiffWriter.h"

#include <algorithm>
#include <new>

namespace DIFFLIB {
namespace {

constexpr std::uint64_t kMaxWriterSize = 0xFFFFFFFFull;

}  // namespace

Result MemoryDiffWriter::Write(std::span<const std::uint8_t> data) {
    if (!data.data())
        return Result::InvalidArgument;
    if (data.size() > kMaxWriterSize - bytes_.size())
        return Result::Failed;
    try {
        const std::size_t needed = bytes_.size() + data.size();
        if (needed > bytes_.capacity())
            bytes_.reserve(std::max(needed, bytes_.capacity() + bytes_.capacity() / 2));
        bytes_.insert(bytes_.end(), data.begin(), data.end());
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
    return Result::Ok;
}

}  // namespace DIFFLIB
