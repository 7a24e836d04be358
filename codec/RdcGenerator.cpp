#include "codec/RdcGenerator.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "codec/Chunker.h"
#include "codec/RdcObject.h"
#include "codec/Signature.h"

namespace rdc {
namespace {

class Generator final : public RdcObject<IRdcGenerator> {
  public:
    explicit Generator(const ChunkParameters& parameters)
        : parameters_(parameters), chunker_(parameters) {}

    HRESULT GetGeneratorParameters(std::uint32_t, IRdcGeneratorParameters**) override {
        return E_NOTIMPL;
    }

    HRESULT Process(bool endOfInput, bool* endOfOutput, RdcBufferPointer* input,
                    std::uint32_t depth, RdcBufferPointer* outputs[],
                    RDC_ErrorCode* errorCode) override {
        if (!endOfOutput || !input || !outputs || !outputs[0] || !errorCode)
            return E_POINTER;
        *errorCode = RDC_NoError;
        *endOfOutput = false;
        RdcBufferPointer& output = *outputs[0];
        if (depth != 1 || input->m_Used > input->m_Size || output.m_Used > output.m_Size ||
            (input->m_Size > input->m_Used && !input->m_Data) ||
            (output.m_Size > output.m_Used && !output.m_Data)) {
            *errorCode = RDC_ApplicationError;
            return E_INVALIDARG;
        }
        try {
            Flush(output);
            // Input is taken only while the output keeps up, so what is held
            // back stays bounded by one chunk and a few records.
            while (pending_.size() == pendingStart_ && input->m_Used < input->m_Size) {
                const std::span<const std::uint8_t> data(input->m_Data + input->m_Used,
                                                         input->m_Size - input->m_Used);
                if (!headerWritten_) {
                    pending_.resize(kSignatureHeaderSize);
                    EncodeSignatureHeader(parameters_,
                                          std::span<std::uint8_t, kSignatureHeaderSize>(
                                              pending_.data(), kSignatureHeaderSize));
                    headerWritten_ = true;
                }
                bool boundary = false;
                const std::size_t used = chunker_.Scan(data, boundary);
                const auto piece = data.first(used);
                if (boundary) {
                    if (carry_.empty()) {
                        EmitRecord(piece);
                    } else {
                        carry_.insert(carry_.end(), piece.begin(), piece.end());
                        EmitRecord(carry_);
                        carry_.clear();
                    }
                } else {
                    carry_.insert(carry_.end(), piece.begin(), piece.end());
                }
                input->m_Used += static_cast<std::uint32_t>(used);
                Flush(output);
            }
            if (endOfInput && input->m_Used == input->m_Size) {
                if (!carry_.empty()) {
                    // The file's last chunk ends with the file.
                    EmitRecord(carry_);
                    carry_.clear();
                    chunker_ = Chunker(parameters_);
                }
                Flush(output);
                *endOfOutput = pending_.size() == pendingStart_;
            }
        } catch (const std::bad_alloc&) {
            *errorCode = RDC_ApplicationError;
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

  private:
    void EmitRecord(std::span<const std::uint8_t> chunk) {
        const ChunkRecord record{static_cast<std::uint32_t>(chunk.size()), HashChunk(chunk)};
        const std::size_t at = pending_.size();
        pending_.resize(at + kSignatureRecordSize);
        EncodeChunkRecord(record, std::span<std::uint8_t, kSignatureRecordSize>(
                                      pending_.data() + at, kSignatureRecordSize));
    }

    void Flush(RdcBufferPointer& output) {
        const std::size_t count =
            std::min<std::size_t>(pending_.size() - pendingStart_, output.m_Size - output.m_Used);
        if (count != 0) {
            std::memcpy(output.m_Data + output.m_Used, pending_.data() + pendingStart_, count);
            output.m_Used += static_cast<std::uint32_t>(count);
            pendingStart_ += count;
        }
        if (pendingStart_ == pending_.size()) {
            pending_.clear();
            pendingStart_ = 0;
        }
    }

    ChunkParameters parameters_;
    Chunker chunker_;
    bool headerWritten_ = false;
    std::vector<std::uint8_t> carry_;    // the current chunk's bytes from earlier calls
    std::vector<std::uint8_t> pending_;  // signature bytes not yet handed out
    std::size_t pendingStart_ = 0;
};

}  // namespace

RdcPtr<IRdcGenerator> MakeGenerator(const ChunkParameters& parameters) {
    return MakeRdc<Generator>(parameters);
}

}  // namespace rdc
