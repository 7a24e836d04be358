#pragma once
// DIFFLIB: the differential transfer engine. A receiver signs its old file
// (the seed), the sender compares that signature with the signature of its new
// file (the source) and writes a patch, the receiver rebuilds the new file from
// its old file and the patch. Patches and whole files travel LZMS-compressed.
//
// Patch / needs-list layout: records of 24 bytes, little-endian
//   type u32 (0 source, 2 seed) | 4 zero bytes | offset u64 | length u64
// A source record is followed by its `length` bytes when the needs list was
// written with a source file reader; seed records never carry bytes.
#include <cstdint>
#include <span>
#include <vector>

#include "codec/Rdc.h"

namespace DIFFLIB {

using rdc::E_FAIL;
using rdc::E_INVALIDARG;
using rdc::E_NOINTERFACE;
using rdc::E_NOTIMPL;
using rdc::E_OUTOFMEMORY;
using rdc::E_POINTER;
using rdc::HRESULT;
using rdc::RdcPtr;
using rdc::S_OK;

inline constexpr std::uint32_t kReadChunkSize = 10000;  // file and signature reads
inline constexpr std::uint32_t kGeneratorOutputSize = 10000;
inline constexpr std::uint32_t kComparatorBufferSize = 3200000;
inline constexpr std::uint32_t kNeedsPerCall = 16384;
inline constexpr std::size_t kNeedRecordSize = 24;

// Reader over a file descriptor that the creator opened and closes; the
// reader never closes it. Reference count starts at 1 (the creator's).
class FileRdcFileReader : public rdc::IRdcFileReader {
  public:
    explicit FileRdcFileReader(int fd) : fd_(fd) {}
    ~FileRdcFileReader() override = default;

    HRESULT QueryInterface(const rdc::Guid& iid, void** object) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;
    HRESULT GetFileSize(std::uint64_t* fileSize) override;
    HRESULT Read(std::uint64_t offsetFileStart, std::uint32_t bytesToRead,
                 std::uint32_t* bytesActuallyRead, std::uint8_t* buffer, bool* eof) override;
    HRESULT GetFilePosition(std::uint64_t* offsetFromStart) override;

    // Current size of the file; false when it cannot be learned.
    bool CurrentSize(std::uint64_t& size) const;

  private:
    std::uint32_t references_ = 1;
    int fd_;
};

// Reader over bytes that belong to someone else and outlive the reader.
class MemoryRdcFileReader : public rdc::IRdcFileReader {
  public:
    explicit MemoryRdcFileReader(std::span<const std::uint8_t> data) : data_(data) {}
    ~MemoryRdcFileReader() override = default;

    HRESULT QueryInterface(const rdc::Guid& iid, void** object) override;
    std::uint32_t AddRef() override;
    std::uint32_t Release() override;
    HRESULT GetFileSize(std::uint64_t* fileSize) override;
    HRESULT Read(std::uint64_t offsetFileStart, std::uint32_t bytesToRead,
                 std::uint32_t* bytesActuallyRead, std::uint8_t* buffer, bool* eof) override;
    HRESULT GetFilePosition(std::uint64_t* offsetFromStart) override;

  private:
    std::uint32_t references_ = 1;
    std::span<const std::uint8_t> data_;
    std::uint64_t position_ = 0;
};

// Output of signatures, needs lists, patches and rebuilt files.
class DIFFWRITER {
  public:
    virtual ~DIFFWRITER() = default;
    // E_INVALIDARG for no data; E_OUTOFMEMORY when the output would pass
    // 4 GiB - 1 bytes or cannot grow.
    virtual HRESULT Write(std::span<const std::uint8_t> data) = 0;
    // A new reader over everything written so far; it borrows the writer's
    // bytes, so the writer must not change while the reader is in use.
    virtual RdcPtr<MemoryRdcFileReader> GetReader() = 0;
    virtual HRESULT Flush() = 0;
};

class MemoryDiffWriter : public DIFFWRITER {
  public:
    HRESULT Write(std::span<const std::uint8_t> data) override;
    RdcPtr<MemoryRdcFileReader> GetReader() override;
    HRESULT Flush() override { return E_NOTIMPL; }

    std::span<const std::uint8_t> Data() const { return bytes_; }
    std::size_t Size() const { return bytes_.size(); }
    // Hands the bytes over and leaves the writer empty.
    std::vector<std::uint8_t> Take() { return std::move(bytes_); }

  private:
    std::vector<std::uint8_t> bytes_;
};

// One 24-byte record.
void EncodeNeedRecord(const rdc::RdcNeed& need, std::span<std::uint8_t, kNeedRecordSize> out);
rdc::RdcNeed DecodeNeedRecord(std::span<const std::uint8_t, kNeedRecordSize> in);
// A needs list written without source bytes, record by record; false when its
// length is not a multiple of 24 or a record has a type other than 0 or 2.
bool ParseNeedsList(std::span<const std::uint8_t> bytes, std::vector<rdc::RdcNeed>& needs);

class DiffLibrary {
  public:
    // Creates the RDC library object. When that fails, "DiffLib not
    // available" goes to standard error and Available() is false.
    DiffLibrary();

    bool Available() const { return static_cast<bool>(library_); }
    // Result of the creation, then of the last comparator call.
    HRESULT LastResult() const { return lastResult_; }

    // Appends the signature of `file` (E_INVALIDARG without one).
    HRESULT GenerateSignature(rdc::IRdcFileReader* file, DIFFWRITER& writer);

    // Appends the needs that rebuild the source from the seed, in target
    // order; with `sourceFile` each source record is followed by its bytes.
    // An empty source signature writes nothing (S_OK).
    HRESULT CompareSignatures(rdc::IRdcFileReader* seedSignature,
                              rdc::IRdcFileReader* sourceSignature, rdc::IRdcFileReader* sourceFile,
                              DIFFWRITER& writer);

    // Appends the file rebuilt from `oldFile` and `patch`. E_INVALIDARG
    // without an old file or patch; E_FAIL for any record that reaches outside
    // the old file or the patch, a truncated record or an unknown type.
    HRESULT ApplyPatch(rdc::IRdcFileReader* oldFile, rdc::IRdcFileReader* patch,
                       DIFFWRITER& writer);

    // Replace the bytes with their compressed / decompressed form. False, and
    // the vector untouched, when that cannot be done (corrupt input included).
    static bool CompressBuffer(std::vector<std::uint8_t>& buffer);
    static bool DecompressBuffer(std::vector<std::uint8_t>& buffer);

  private:
    RdcPtr<rdc::IRdcLibrary> library_;
    HRESULT lastResult_ = S_OK;
};

}  // namespace DIFFLIB
