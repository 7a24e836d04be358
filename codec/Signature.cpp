#include "codec/Signature.h"
#include "platform/ByteOrder.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>

namespace DIFFLIB {

ChunkHash HashChunk(std::span<const std::uint8_t> bytes) {
    const XXH128_hash_t hash = XXH3_128bits(bytes.data(), bytes.size());
    return ChunkHash{hash.low64, hash.high64};
}

std::uint64_t SignatureSizeBound(std::uint64_t fileSize, const ChunkParameters& parameters) {
    if (fileSize == 0)
        return 0;
    return kSignatureHeaderSize + (fileSize / parameters.minSize + 1) * kSignatureRecordSize;
}

void EncodeSignatureHeader(const ChunkParameters& parameters,
                           std::span<std::uint8_t, kSignatureHeaderSize> out) {
    std::copy(kSignatureMagic.begin(), kSignatureMagic.end(), out.begin());
    platform::PutU32(out.data() + 8, parameters.minSize);
    platform::PutU32(out.data() + 12, parameters.averageBits);
    platform::PutU32(out.data() + 16, parameters.maxSize);
    platform::PutU32(out.data() + 20, 0);
}

void EncodeChunkRecord(const ChunkRecord& record,
                       std::span<std::uint8_t, kSignatureRecordSize> out) {
    platform::PutU32(out.data(), record.length);
    platform::PutU64(out.data() + 4, record.hash.low);
    platform::PutU64(out.data() + 12, record.hash.high);
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
    decoded.minSize = platform::GetU32(in.data() + 8);
    decoded.averageBits = platform::GetU32(in.data() + 12);
    decoded.maxSize = platform::GetU32(in.data() + 16);
    if (!decoded.Valid() || platform::GetU32(in.data() + 20) != 0)
        return HeaderCheck::Corrupt;
    parameters = decoded;
    return HeaderCheck::Ok;
}

bool DecodeChunkRecord(std::span<const std::uint8_t, kSignatureRecordSize> in,
                       const ChunkParameters& parameters, ChunkRecord& record) {
    record.length = platform::GetU32(in.data());
    record.hash.low = platform::GetU64(in.data() + 4);
    record.hash.high = platform::GetU64(in.data() + 12);
    return record.length != 0 && record.length <= parameters.maxSize;
}

std::optional<SignatureGenerator> SignatureGenerator::Create(const ChunkParameters& parameters) {
    if (!parameters.Valid())
        return std::nullopt;
    return SignatureGenerator(parameters);
}

SignatureGenerator::Progress SignatureGenerator::Process(bool endOfInput,
                                                         std::span<const std::uint8_t> input,
                                                         std::span<std::uint8_t> output) {
    Progress progress;
    progress.produced = Flush(output);
    // Input is taken only while the output keeps up, so what is held back
    // stays bounded by one chunk and a few records.
    while (pending_.size() == pendingStart_ && progress.consumed < input.size()) {
        const auto data = input.subspan(progress.consumed);
        if (!headerWritten_) {
            pending_.resize(kSignatureHeaderSize);
            EncodeSignatureHeader(parameters_, std::span<std::uint8_t, kSignatureHeaderSize>(
                                                   pending_.data(), kSignatureHeaderSize));
            headerWritten_ = true;
        }
        const std::size_t used =
            chunks_.Step(data, [this](std::span<const std::uint8_t> chunk) { EmitRecord(chunk); });
        progress.consumed += used;
        progress.produced += Flush(output.subspan(progress.produced));
    }
    if (endOfInput && progress.consumed == input.size()) {
        chunks_.End([this](std::span<const std::uint8_t> chunk) { EmitRecord(chunk); });
        progress.produced += Flush(output.subspan(progress.produced));
        progress.endOfOutput = pending_.size() == pendingStart_;
    }
    return progress;
}

void SignatureGenerator::EmitRecord(std::span<const std::uint8_t> chunk) {
    const ChunkRecord record{static_cast<std::uint32_t>(chunk.size()), HashChunk(chunk)};
    const std::size_t at = pending_.size();
    pending_.resize(at + kSignatureRecordSize);
    EncodeChunkRecord(record, std::span<std::uint8_t, kSignatureRecordSize>(pending_.data() + at,
                                                                            kSignatureRecordSize));
}

std::size_t SignatureGenerator::Flush(std::span<std::uint8_t> output) {
    const std::size_t count = std::min(pending_.size() - pendingStart_, output.size());
    if (count != 0) {
        std::memcpy(output.data(), pending_.data() + pendingStart_, count);
        pendingStart_ += count;
    }
    if (pendingStart_ == pending_.size()) {
        pending_.clear();
        pendingStart_ = 0;
    }
    return count;
}

}  // namespace DIFFLIB
