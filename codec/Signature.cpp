#include "codec/Signature.h"
#include "platform/ByteOrder.h"

#include <xxhash.h>

#include <algorithm>

namespace rdc {
namespace {

using platform::GetU32;
using platform::GetU64;
using platform::PutU32;
using platform::PutU64;

}  // namespace

ChunkHash HashChunk(std::span<const std::uint8_t> bytes) {
    const XXH128_hash_t hash = XXH3_128bits(bytes.data(), bytes.size());
    return ChunkHash{hash.low64, hash.high64};
}

void EncodeSignatureHeader(const ChunkParameters& parameters,
                           std::span<std::uint8_t, kSignatureHeaderSize> out) {
    std::copy(kSignatureMagic.begin(), kSignatureMagic.end(), out.begin());
    PutU32(out.data() + 8, parameters.minSize);
    PutU32(out.data() + 12, parameters.averageBits);
    PutU32(out.data() + 16, parameters.maxSize);
    PutU32(out.data() + 20, 0);
}

void EncodeChunkRecord(const ChunkRecord& record,
                       std::span<std::uint8_t, kSignatureRecordSize> out) {
    PutU32(out.data(), record.length);
    PutU64(out.data() + 4, record.hash.low);
    PutU64(out.data() + 12, record.hash.high);
}

HeaderCheck DecodeSignatureHeader(std::span<const std::uint8_t, kSignatureHeaderSize> in,
                                  ChunkParameters& parameters) {
    if (!std::equal(kSignatureMagic.begin(), kSignatureMagic.end() - 1, in.begin()))
        return HeaderCheck::Corrupt;
    const std::uint8_t version = in[kSignatureMagic.size() - 1];
    if (version > kSignatureMagic.back())
        return HeaderCheck::Newer;
    if (version < kSignatureMagic.back())
        return HeaderCheck::Older;
    ChunkParameters decoded;
    decoded.minSize = GetU32(in.data() + 8);
    decoded.averageBits = GetU32(in.data() + 12);
    decoded.maxSize = GetU32(in.data() + 16);
    if (!decoded.Valid() || GetU32(in.data() + 20) != 0)
        return HeaderCheck::Corrupt;
    parameters = decoded;
    return HeaderCheck::Ok;
}

bool DecodeChunkRecord(std::span<const std::uint8_t, kSignatureRecordSize> in,
                       const ChunkParameters& parameters, ChunkRecord& record) {
    record.length = GetU32(in.data());
    record.hash.low = GetU64(in.data() + 4);
    record.hash.high = GetU64(in.data() + 12);
    return record.length != 0 && record.length <= parameters.maxSize;
}

}  // namespace rdc
