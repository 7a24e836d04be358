#include "codec/RdcComparator.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <unordered_map>
#include <vector>

#include "codec/RdcObject.h"
#include "codec/Signature.h"

namespace rdc {
namespace {

// A seed signature describes a file about 200 times its size; this bound
// keeps a hostile peer from making us hold more than that.
constexpr std::uint64_t kMaxSeedSignatureSize = std::uint64_t{1} << 30;
constexpr std::uint32_t kReadPiece = 1u << 20;
// Needs stay below 4 GiB so that every consumer can take them in one piece.
constexpr std::uint64_t kMaxNeedLength = 0xFFFFFFFFull;

struct HashKey {
    std::size_t operator()(const ChunkHash& hash) const noexcept {
        return static_cast<std::size_t>(hash.low ^ (hash.high * 0x9E3779B97F4A7C15ull));
    }
};

struct SeedChunk {
    std::uint64_t offset;
    std::uint32_t length;
    ChunkHash hash;
};

class Comparator final : public RdcObject<IRdcComparator> {
  public:
    // Parses the seed signature; false when it is malformed.
    bool Load(std::span<const std::uint8_t> seed) {
        if (seed.empty())
            return true;  // an empty seed file: every block comes from the source
        if (seed.size() < kSignatureHeaderSize ||
            (seed.size() - kSignatureHeaderSize) % kSignatureRecordSize != 0)
            return false;
        ChunkParameters parameters;
        if (DecodeSignatureHeader(seed.first<kSignatureHeaderSize>(), parameters) !=
            HeaderCheck::Ok)
            return false;
        seedParameters_ = parameters;
        const std::size_t count = (seed.size() - kSignatureHeaderSize) / kSignatureRecordSize;
        chunks_.reserve(count);
        index_.reserve(count);
        std::uint64_t offset = 0;
        for (std::size_t i = 0; i < count; ++i) {
            ChunkRecord record;
            const auto bytes = seed.subspan(kSignatureHeaderSize + i * kSignatureRecordSize)
                                   .first<kSignatureRecordSize>();
            if (!DecodeChunkRecord(bytes, parameters, record))
                return false;
            chunks_.push_back(SeedChunk{offset, record.length, record.hash});
            index_.emplace(record.hash, static_cast<std::uint32_t>(i));  // keeps the first
            offset += record.length;
        }
        return true;
    }

    HRESULT Process(bool endOfInput, bool* endOfOutput, RdcBufferPointer* input,
                    RdcNeedPointer* output, RDC_ErrorCode* errorCode) override {
        if (!endOfOutput || !input || !output || !errorCode)
            return E_POINTER;
        *errorCode = RDC_NoError;
        *endOfOutput = false;
        if (input->m_Used > input->m_Size || output->m_Used > output->m_Size ||
            (input->m_Size > input->m_Used && !input->m_Data) ||
            (output->m_Size > output->m_Used && !output->m_Data)) {
            *errorCode = RDC_ApplicationError;
            return E_INVALIDARG;
        }
        if (failed_ != RDC_NoError) {
            *errorCode = failed_;
            return E_FAIL;
        }
        if (finished_) {
            *endOfOutput = true;
            return S_OK;
        }

        for (;;) {
            if (!headerDone_) {
                if (!TakeInto(*input, kSignatureHeaderSize))
                    break;
                ChunkParameters parameters;
                const HeaderCheck check =
                    DecodeSignatureHeader(std::span<const std::uint8_t, kSignatureHeaderSize>(
                                              carry_.data(), kSignatureHeaderSize),
                                          parameters);
                carry_.clear();
                if (check != HeaderCheck::Ok) {
                    return Fail(check == HeaderCheck::Newer   ? RDC_HeaderVersionNewer
                                : check == HeaderCheck::Older ? RDC_HeaderVersionOlder
                                                              : RDC_HeaderMissingOrCorrupt,
                                errorCode);
                }
                if (seedParameters_ && !(*seedParameters_ == parameters))
                    return Fail(RDC_HeaderWrongType, errorCode);
                sourceParameters_ = parameters;
                headerDone_ = true;
                continue;
            }

            // The next record, from the carried partial bytes or the input.
            const std::uint8_t* recordBytes = nullptr;
            const bool fromCarry = !carry_.empty();
            if (fromCarry) {
                if (!TakeInto(*input, kSignatureRecordSize))
                    break;
                recordBytes = carry_.data();
            } else if (input->m_Size - input->m_Used >= kSignatureRecordSize) {
                recordBytes = input->m_Data + input->m_Used;
            } else {
                TakeInto(*input, kSignatureRecordSize);
                break;
            }
            ChunkRecord record;
            if (!DecodeChunkRecord(std::span<const std::uint8_t, kSignatureRecordSize>(
                                       recordBytes, kSignatureRecordSize),
                                   sourceParameters_, record))
                return Fail(RDC_DataMissingOrCorrupt, errorCode);
            if (targetOffset_ > UINT64_MAX - record.length)
                return Fail(RDC_DataMissingOrCorrupt, errorCode);

            const std::optional<std::size_t> seedIndex = FindSeed(record);
            RdcNeed need;
            if (seedIndex) {
                need = RdcNeed{RDCNEED_SEED, chunks_[*seedIndex].offset, record.length};
            } else {
                need = RdcNeed{RDCNEED_SOURCE, targetOffset_, record.length};
            }
            if (pending_ && Continues(*pending_, need)) {
                pending_->m_BlockLength += need.m_BlockLength;
            } else {
                if (pending_) {
                    if (output->m_Used == output->m_Size)
                        break;  // the record stays unconsumed until there is room
                    output->m_Data[output->m_Used++] = *pending_;
                }
                pending_ = need;
            }
            nextSeed_ = seedIndex ? *seedIndex + 1 : chunks_.size();
            targetOffset_ += record.length;
            if (fromCarry)
                carry_.clear();
            else
                input->m_Used += kSignatureRecordSize;
        }

        if (endOfInput && input->m_Used == input->m_Size) {
            if (!carry_.empty())
                return Fail(RDC_DataMissingOrCorrupt, errorCode);  // cut inside a record
            if (pending_) {
                if (output->m_Used == output->m_Size)
                    return S_OK;
                output->m_Data[output->m_Used++] = *pending_;
                pending_.reset();
            }
            finished_ = true;
            *endOfOutput = true;
        }
        return S_OK;
    }

  private:
    // Moves input bytes into carry_ until it holds `size`; true when it does.
    bool TakeInto(RdcBufferPointer& input, std::size_t size) {
        const std::size_t take =
            std::min<std::size_t>(size - carry_.size(), input.m_Size - input.m_Used);
        carry_.insert(carry_.end(), input.m_Data + input.m_Used,
                      input.m_Data + input.m_Used + take);
        input.m_Used += static_cast<std::uint32_t>(take);
        return carry_.size() == size;
    }

    // Prefers the seed chunk that continues the current seed run, so that
    // repeated content still gives long runs.
    std::optional<std::size_t> FindSeed(const ChunkRecord& record) const {
        if (nextSeed_ < chunks_.size() && chunks_[nextSeed_].hash == record.hash &&
            chunks_[nextSeed_].length == record.length)
            return nextSeed_;
        const auto found = index_.find(record.hash);
        if (found == index_.end() || chunks_[found->second].length != record.length)
            return std::nullopt;
        return found->second;
    }

    static bool Continues(const RdcNeed& pending, const RdcNeed& next) {
        return pending.m_BlockType == next.m_BlockType &&
               pending.m_FileOffset + pending.m_BlockLength == next.m_FileOffset &&
               pending.m_BlockLength + next.m_BlockLength <= kMaxNeedLength;
    }

    HRESULT Fail(RDC_ErrorCode code, RDC_ErrorCode* errorCode) {
        failed_ = code;
        *errorCode = code;
        return E_FAIL;
    }

    std::optional<ChunkParameters> seedParameters_;
    ChunkParameters sourceParameters_;
    std::vector<SeedChunk> chunks_;
    std::unordered_map<ChunkHash, std::uint32_t, HashKey> index_;

    bool headerDone_ = false;
    bool finished_ = false;
    RDC_ErrorCode failed_ = RDC_NoError;
    std::vector<std::uint8_t> carry_;  // a header or record cut by the end of an input buffer
    std::uint64_t targetOffset_ = 0;
    std::optional<RdcNeed> pending_;  // the need still growing by merges
    std::size_t nextSeed_ = 0;
};

}  // namespace

HRESULT MakeComparator(IRdcFileReader* seedSignatures, IRdcComparator** comparator) {
    if (!comparator)
        return E_POINTER;
    *comparator = nullptr;
    if (!seedSignatures)
        return E_INVALIDARG;
    try {
        std::uint64_t size = 0;
        HRESULT hr = seedSignatures->GetFileSize(&size);
        if (Failed(hr))
            return hr;
        if (size > kMaxSeedSignatureSize)
            return E_FAIL;
        std::vector<std::uint8_t> seed(static_cast<std::size_t>(size));
        for (std::uint64_t at = 0; at < size;) {
            const auto want =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(kReadPiece, size - at));
            std::uint32_t got = 0;
            bool eof = false;
            hr = seedSignatures->Read(at, want, &got, seed.data() + at, &eof);
            if (Failed(hr) || got != want)
                return E_FAIL;
            at += got;
        }
        auto object = MakeRdc<Comparator>();
        if (!object->Load(seed))
            return E_FAIL;
        *comparator = object.Detach();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace rdc
