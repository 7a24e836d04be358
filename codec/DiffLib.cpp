#include "codec/DiffLib.h"
#include "platform/ByteOrder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "codec/Lzms.h"
#include "platform/Console.h"

namespace DIFFLIB {
namespace {

using platform::GetU32;
using platform::GetU64;
using platform::PutU32;
using platform::PutU64;

// Block bytes are copied through a buffer of this size, so a record never
// makes us allocate what it merely claims.
constexpr std::uint32_t kCopyPiece = 1u << 20;
constexpr std::uint64_t kMaxRecordLength = 0xFFFFFFFFull;
constexpr std::uint64_t kMaxWriterSize = 0xFFFFFFFFull;

HRESULT ReaderQueryInterface(rdc::IRdcFileReader* self, const rdc::Guid& iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == rdc::IID_IUnknown || iid == rdc::IID_IRdcFileReader) {
        *object = self;
        self->AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// Copies `length` bytes at `offset` of `reader` to `writer`; E_FAIL for a
// failed or short read or a failed write.
HRESULT CopyBlock(rdc::IRdcFileReader& reader, std::uint64_t offset, std::uint64_t length,
                  DIFFWRITER& writer, std::vector<std::uint8_t>& buffer) {
    while (length != 0) {
        const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, kCopyPiece));
        if (buffer.size() < want)
            buffer.resize(kCopyPiece);
        std::uint32_t got = 0;
        bool eof = false;
        if (rdc::Failed(reader.Read(offset, want, &got, buffer.data(), &eof)) || got != want)
            return E_FAIL;
        if (rdc::Failed(writer.Write(std::span(buffer.data(), want))))
            return E_FAIL;
        offset += want;
        length -= want;
    }
    return S_OK;
}

// The size of the next read at `position`: at most kReadChunkSize; the last
// piece (which may be empty) is the end of input.
std::uint32_t NextChunk(std::uint64_t size, std::uint64_t position, bool& endOfInput) {
    const std::uint64_t remaining = size > position ? size - position : 0;
    endOfInput = remaining <= kReadChunkSize;
    return static_cast<std::uint32_t>(endOfInput ? remaining : kReadChunkSize);
}

}  // namespace

// ---- FileRdcFileReader ----

HRESULT FileRdcFileReader::QueryInterface(const rdc::Guid& iid, void** object) {
    return ReaderQueryInterface(this, iid, object);
}
std::uint32_t FileRdcFileReader::AddRef() {
    return ++references_;
}
std::uint32_t FileRdcFileReader::Release() {
    const std::uint32_t left = --references_;
    if (left == 0)
        delete this;
    return left;
}

bool FileRdcFileReader::CurrentSize(std::uint64_t& size) const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || info.st_size < 0)
        return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

HRESULT FileRdcFileReader::GetFileSize(std::uint64_t* fileSize) {
    if (!fileSize)
        return E_POINTER;
    return CurrentSize(*fileSize) ? S_OK : E_FAIL;
}

HRESULT FileRdcFileReader::Read(std::uint64_t offsetFileStart, std::uint32_t bytesToRead,
                                std::uint32_t* bytesActuallyRead, std::uint8_t* buffer, bool* eof) {
    if (!bytesActuallyRead || !eof || (!buffer && bytesToRead != 0))
        return E_POINTER;
    *bytesActuallyRead = 0;
    *eof = false;
    std::uint64_t size = 0;
    if (!CurrentSize(size))
        return E_FAIL;
    if (offsetFileStart >= size) {
        *eof = true;
        return S_OK;
    }
    if (offsetFileStart > static_cast<std::uint64_t>(INT64_MAX) ||
        ::lseek(fd_, static_cast<off_t>(offsetFileStart), SEEK_SET) < 0)
        return E_FAIL;
    std::uint32_t done = 0;
    while (done < bytesToRead) {
        const ssize_t got = ::read(fd_, buffer + done, bytesToRead - done);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return E_FAIL;
        }
        if (got == 0)
            break;
        done += static_cast<std::uint32_t>(got);
    }
    *bytesActuallyRead = done;
    *eof = done < bytesToRead || size - offsetFileStart == done;
    return S_OK;
}

HRESULT FileRdcFileReader::GetFilePosition(std::uint64_t* offsetFromStart) {
    if (!offsetFromStart)
        return E_POINTER;
    const off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (position < 0)
        return E_FAIL;
    *offsetFromStart = static_cast<std::uint64_t>(position);
    return S_OK;
}

// ---- MemoryRdcFileReader ----

HRESULT MemoryRdcFileReader::QueryInterface(const rdc::Guid& iid, void** object) {
    return ReaderQueryInterface(this, iid, object);
}
std::uint32_t MemoryRdcFileReader::AddRef() {
    return ++references_;
}
std::uint32_t MemoryRdcFileReader::Release() {
    const std::uint32_t left = --references_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT MemoryRdcFileReader::GetFileSize(std::uint64_t* fileSize) {
    if (!fileSize)
        return E_POINTER;
    *fileSize = data_.size();
    return S_OK;
}

HRESULT MemoryRdcFileReader::Read(std::uint64_t offsetFileStart, std::uint32_t bytesToRead,
                                  std::uint32_t* bytesActuallyRead, std::uint8_t* buffer,
                                  bool* eof) {
    if (!bytesActuallyRead || !eof || (!buffer && bytesToRead != 0))
        return E_POINTER;
    if (offsetFileStart >= data_.size()) {
        *bytesActuallyRead = 0;
        *eof = true;
        return S_OK;
    }
    position_ = offsetFileStart;
    const std::uint64_t remaining = data_.size() - offsetFileStart;
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, bytesToRead));
    if (count != 0)
        std::memcpy(buffer, data_.data() + offsetFileStart, count);
    position_ += count;
    *bytesActuallyRead = count;
    *eof = remaining <= bytesToRead;
    return S_OK;
}

HRESULT MemoryRdcFileReader::GetFilePosition(std::uint64_t* offsetFromStart) {
    if (!offsetFromStart)
        return E_POINTER;
    *offsetFromStart = position_;
    return S_OK;
}

// ---- MemoryDiffWriter ----

HRESULT MemoryDiffWriter::Write(std::span<const std::uint8_t> data) {
    if (!data.data())
        return E_INVALIDARG;
    if (data.size() > kMaxWriterSize - bytes_.size())
        return E_OUTOFMEMORY;  // our outputs stay below 4 GiB, as the records' lengths do
    try {
        const std::size_t needed = bytes_.size() + data.size();
        if (needed > bytes_.capacity())
            bytes_.reserve(std::max(needed, bytes_.capacity() + bytes_.capacity() / 2));
        bytes_.insert(bytes_.end(), data.begin(), data.end());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

RdcPtr<MemoryRdcFileReader> MemoryDiffWriter::GetReader() {
    return rdc::MakeRdc<MemoryRdcFileReader>(std::span<const std::uint8_t>(bytes_));
}

// ---- need records ----

void EncodeNeedRecord(const rdc::RdcNeed& need, std::span<std::uint8_t, kNeedRecordSize> out) {
    PutU32(out.data(), need.m_BlockType);
    PutU32(out.data() + 4, 0);
    PutU64(out.data() + 8, need.m_FileOffset);
    PutU64(out.data() + 16, need.m_BlockLength);
}

rdc::RdcNeed DecodeNeedRecord(std::span<const std::uint8_t, kNeedRecordSize> in) {
    rdc::RdcNeed need;
    need.m_BlockType = static_cast<rdc::RdcNeedType>(GetU32(in.data()));
    need.m_FileOffset = GetU64(in.data() + 8);
    need.m_BlockLength = GetU64(in.data() + 16);
    return need;
}

bool ParseNeedsList(std::span<const std::uint8_t> bytes, std::vector<rdc::RdcNeed>& needs) {
    if (bytes.size() % kNeedRecordSize != 0)
        return false;
    std::vector<rdc::RdcNeed> parsed;
    parsed.reserve(bytes.size() / kNeedRecordSize);
    for (std::size_t at = 0; at < bytes.size(); at += kNeedRecordSize) {
        const rdc::RdcNeed need = DecodeNeedRecord(bytes.subspan(at).first<kNeedRecordSize>());
        if (need.m_BlockType != rdc::RDCNEED_SOURCE && need.m_BlockType != rdc::RDCNEED_SEED)
            return false;
        parsed.push_back(need);
    }
    needs = std::move(parsed);
    return true;
}

// ---- DiffLibrary ----

DiffLibrary::DiffLibrary() {
    void* object = nullptr;
    lastResult_ = rdc::CreateRdcInstance(rdc::CLSID_RdcLibrary, rdc::IID_IRdcLibrary, &object);
    if (rdc::Succeeded(lastResult_))
        library_ = RdcPtr<rdc::IRdcLibrary>::Attach(static_cast<rdc::IRdcLibrary*>(object));
    else
        platform::ShowMessage(L"DiffLib not available");
}

HRESULT DiffLibrary::GenerateSignature(rdc::IRdcFileReader* file, DIFFWRITER& writer) {
    if (!file)
        return E_INVALIDARG;
    if (!library_)
        return E_FAIL;
    try {
        RdcPtr<rdc::IRdcGeneratorParameters> parameters;
        HRESULT hr =
            library_->CreateGeneratorParameters(rdc::RDCGENTYPE_FilterMax, 1, parameters.Put());
        if (rdc::Failed(hr))
            return hr;
        rdc::IRdcGeneratorParameters* parameterList[] = {parameters.get()};
        RdcPtr<rdc::IRdcGenerator> generator;
        hr = library_->CreateGenerator(1, parameterList, generator.Put());
        if (rdc::Failed(hr))
            return hr;

        std::vector<std::uint8_t> input(kReadChunkSize);
        std::vector<std::uint8_t> output(kGeneratorOutputSize);
        std::uint64_t position = 0;
        for (;;) {
            std::uint64_t size = 0;
            hr = file->GetFileSize(&size);
            if (rdc::Failed(hr))
                return hr;
            bool endOfInput = false;
            const std::uint32_t chunk = NextChunk(size, position, endOfInput);
            std::uint32_t got = 0;
            bool eof = false;
            hr = file->Read(position, chunk, &got, input.data(), &eof);
            if (rdc::Failed(hr) || got != chunk)
                return E_FAIL;

            rdc::RdcBufferPointer in{chunk, 0, input.data()};
            rdc::RdcBufferPointer out{kGeneratorOutputSize, 0, output.data()};
            rdc::RdcBufferPointer* outputs[] = {&out};
            bool endOfOutput = false;
            rdc::RDC_ErrorCode error = rdc::RDC_NoError;
            hr = generator->Process(endOfInput, &endOfOutput, &in, 1, outputs, &error);
            if (rdc::Failed(hr))
                return hr;
            position += in.m_Used;
            if (out.m_Used != 0 && rdc::Failed(writer.Write(std::span(output.data(), out.m_Used))))
                return E_FAIL;
            if (endOfOutput)
                return S_OK;
            if (in.m_Used == 0 && out.m_Used == 0)
                return E_FAIL;  // no progress: the file changed under us
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT DiffLibrary::CompareSignatures(rdc::IRdcFileReader* seedSignature,
                                       rdc::IRdcFileReader* sourceSignature,
                                       rdc::IRdcFileReader* sourceFile, DIFFWRITER& writer) {
    if (!seedSignature || !sourceSignature)
        return E_INVALIDARG;
    if (!library_)
        return E_FAIL;
    try {
        RdcPtr<rdc::IRdcComparator> comparator;
        lastResult_ =
            library_->CreateComparator(seedSignature, kComparatorBufferSize, comparator.Put());
        if (rdc::Failed(lastResult_))
            return lastResult_;
        std::uint64_t size = 0;
        HRESULT hr = sourceSignature->GetFileSize(&size);
        if (rdc::Failed(hr))
            return hr;
        if (size == 0)
            return S_OK;

        std::vector<std::uint8_t> input(kReadChunkSize);
        std::vector<rdc::RdcNeed> needs(kNeedsPerCall);
        std::vector<std::uint8_t> copyBuffer;
        std::uint64_t position = 0;
        bool endOfOutput = false;
        while (!endOfOutput) {
            bool endOfInput = false;
            const std::uint32_t chunk = NextChunk(size, position, endOfInput);
            std::uint32_t got = 0;
            bool eof = false;
            hr = sourceSignature->Read(position, chunk, &got, input.data(), &eof);
            if (rdc::Failed(hr) || got != chunk)
                return E_FAIL;

            rdc::RdcBufferPointer in{chunk, 0, input.data()};
            for (;;) {
                const std::uint32_t usedBefore = in.m_Used;
                rdc::RdcNeedPointer out{kNeedsPerCall, 0, needs.data()};
                rdc::RDC_ErrorCode error = rdc::RDC_NoError;
                lastResult_ = comparator->Process(endOfInput, &endOfOutput, &in, &out, &error);
                if (rdc::Failed(lastResult_))
                    return lastResult_;
                for (std::uint32_t i = 0; i < out.m_Used; ++i) {
                    const rdc::RdcNeed& need = needs[i];
                    if (need.m_BlockLength > kMaxRecordLength)
                        return E_FAIL;
                    std::uint8_t record[kNeedRecordSize];
                    EncodeNeedRecord(need, record);
                    if (rdc::Failed(writer.Write(record)))
                        return E_FAIL;
                    if (need.m_BlockType == rdc::RDCNEED_SOURCE && sourceFile &&
                        rdc::Failed(CopyBlock(*sourceFile, need.m_FileOffset, need.m_BlockLength,
                                              writer, copyBuffer)))
                        return E_FAIL;
                }
                if (endOfOutput || (!endOfInput && in.m_Used == in.m_Size))
                    break;
                if (in.m_Used == usedBefore && out.m_Used == 0)
                    return E_FAIL;  // the comparator is stuck
            }
            position += in.m_Used;
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT DiffLibrary::ApplyPatch(rdc::IRdcFileReader* oldFile, rdc::IRdcFileReader* patch,
                                DIFFWRITER& writer) {
    if (!oldFile || !patch)
        return E_INVALIDARG;
    try {
        std::uint64_t size = 0;
        HRESULT hr = patch->GetFileSize(&size);
        if (rdc::Failed(hr))
            return hr;
        if (size == 0)
            return S_OK;
        std::uint64_t oldSize = 0;
        hr = oldFile->GetFileSize(&oldSize);
        if (rdc::Failed(hr))
            return hr;

        std::vector<std::uint8_t> copyBuffer;
        std::uint64_t position = 0;
        while (position < size) {
            if (size - position < kNeedRecordSize)
                return E_FAIL;
            std::uint8_t bytes[kNeedRecordSize];
            std::uint32_t got = 0;
            bool eof = false;
            hr = patch->Read(position, kNeedRecordSize, &got, bytes, &eof);
            if (rdc::Failed(hr) || got != kNeedRecordSize)
                return E_FAIL;
            const rdc::RdcNeed need = DecodeNeedRecord(bytes);
            if (need.m_BlockLength > kMaxRecordLength)
                return E_FAIL;
            position += kNeedRecordSize;
            switch (need.m_BlockType) {
                case rdc::RDCNEED_SEED:
                    if (need.m_FileOffset > oldSize ||
                        need.m_BlockLength > oldSize - need.m_FileOffset)
                        return E_FAIL;
                    if (rdc::Failed(CopyBlock(*oldFile, need.m_FileOffset, need.m_BlockLength,
                                              writer, copyBuffer)))
                        return E_FAIL;
                    break;
                case rdc::RDCNEED_SOURCE:
                    if (need.m_BlockLength > size - position)
                        return E_FAIL;
                    if (rdc::Failed(
                            CopyBlock(*patch, position, need.m_BlockLength, writer, copyBuffer)))
                        return E_FAIL;
                    position += need.m_BlockLength;
                    break;
                default:
                    return E_FAIL;
            }
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

bool DiffLibrary::CompressBuffer(std::vector<std::uint8_t>& buffer) {
    std::vector<std::uint8_t> output;
    if (!platform::LzmsCompress(buffer, output))
        return false;
    buffer = std::move(output);
    return true;
}

bool DiffLibrary::DecompressBuffer(std::vector<std::uint8_t>& buffer) {
    std::vector<std::uint8_t> output;
    if (!platform::LzmsDecompress(buffer, output))
        return false;
    buffer = std::move(output);
    return true;
}

}  // namespace DIFFLIB
