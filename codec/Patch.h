#pragma once
// Needs lists and patches. Both are records of 24 bytes, little-endian:
//   type u32 (0 source, 2 seed) | 4 zero bytes | offset u64 | length u64
// In a patch each source record is followed at once by its `length` bytes;
// seed records never carry bytes. The blocks of all records in order are the
// new file.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/MemoryDiffWriter.h"
#include "codec/Reader.h"
#include "codec/Result.h"

namespace DIFFLIB {

inline constexpr std::size_t kNeedRecordSize = 24;

// Where a block of the new file comes from.
enum class NeedType : std::uint32_t {
    Source = 0,  // the new file, at `offset` of the new file
    Seed = 2,    // the old file, at `offset` of the old file
};

struct Need {
    NeedType type = NeedType::Source;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    friend bool operator==(const Need&, const Need&) = default;
};

// One 24-byte record. Decoding keeps whatever type the bytes name.
void EncodeNeedRecord(const Need& need, std::span<std::uint8_t, kNeedRecordSize> out);
Need DecodeNeedRecord(std::span<const std::uint8_t, kNeedRecordSize> in);

// A needs list written without source bytes, record by record; false (and
// `needs` untouched) when its length is not a multiple of 24 or a record has
// another type than source or seed.
bool ParseNeedsList(std::span<const std::uint8_t> bytes, std::vector<Need>& needs);

// Appends the record of `need` and, for a source need with a `sourceFile`,
// the block's bytes read from it. Failed for a length of 4 GiB or more, a
// failed or short read, or a failed write.
Result AppendNeed(const Need& need, const Reader* sourceFile, DiffWriter& writer);

// Appends the file rebuilt from `oldFile` and `patch`; an empty patch gives
// an empty file. Failed for any record that reaches outside the old file or
// the patch, a truncated record, an unknown type, or a failed read or write.
Result ApplyPatch(const Reader& oldFile, const Reader& patch, DiffWriter& writer);

}  // namespace DIFFLIB
