#pragma once
// The Remote Differential Compression interfaces the differential engine
// drives: a library object that makes generator parameters, signature
// generators and comparators; readers the caller supplies; and the need
// records a comparison yields. Chunk boundaries are content-defined (see
// Chunker.h) and every chunk carries one 128-bit strong hash, so equal content
// gives equal signatures wherever it sits in a file.
#include <cstdint>

#include "codec/RdcBase.h"

namespace rdc {

inline constexpr Guid IID_IRdcFileReader{
    0x96236A74, 0x9DBC, 0x11DA, {0x9E, 0x3F, 0x00, 0x11, 0x11, 0x4A, 0xE3, 0x11}};
inline constexpr Guid IID_IRdcGeneratorParameters{
    0x96236A71, 0x9DBC, 0x11DA, {0x9E, 0x3F, 0x00, 0x11, 0x11, 0x4A, 0xE3, 0x11}};
inline constexpr Guid IID_IRdcGenerator{
    0x96236A73, 0x9DBC, 0x11DA, {0x9E, 0x3F, 0x00, 0x11, 0x11, 0x4A, 0xE3, 0x11}};
inline constexpr Guid IID_IRdcComparator{
    0x96236A77, 0x9DBC, 0x11DA, {0x9E, 0x3F, 0x00, 0x11, 0x11, 0x4A, 0xE3, 0x11}};
inline constexpr Guid IID_IRdcLibrary{
    0x96236A78, 0x9DBC, 0x11DA, {0x9E, 0x3F, 0x00, 0x11, 0x11, 0x4A, 0xE3, 0x11}};
inline constexpr Guid CLSID_RdcLibrary{
    0x96236A85, 0x9DBC, 0x11DA, {0x9E, 0x3F, 0x00, 0x11, 0x11, 0x4A, 0xE3, 0x11}};

// Where a block of the target comes from.
enum RdcNeedType : std::uint32_t {
    RDCNEED_SOURCE = 0,  // the new file, at m_FileOffset of the new file
    RDCNEED_TARGET = 1,  // not produced by this engine
    RDCNEED_SEED = 2,    // the old file, at m_FileOffset of the old file
};

// One block of the target. In memory: type, 4 padding bytes, offset, length.
struct RdcNeed {
    RdcNeedType m_BlockType = RDCNEED_SOURCE;
    std::uint64_t m_FileOffset = 0;
    std::uint64_t m_BlockLength = 0;
};
static_assert(sizeof(RdcNeed) == 24);

// A caller's byte buffer: m_Size bytes at m_Data, of which the callee has
// used (consumed or filled) m_Used.
struct RdcBufferPointer {
    std::uint32_t m_Size = 0;
    std::uint32_t m_Used = 0;
    std::uint8_t* m_Data = nullptr;
};

// A caller's array of m_Size needs, of which the comparator filled m_Used.
struct RdcNeedPointer {
    std::uint32_t m_Size = 0;
    std::uint32_t m_Used = 0;
    RdcNeed* m_Data = nullptr;
};

// Detail of a failing Process call.
enum RDC_ErrorCode : std::uint32_t {
    RDC_NoError = 0,
    RDC_HeaderVersionNewer = 1,
    RDC_HeaderVersionOlder = 2,
    RDC_HeaderMissingOrCorrupt = 3,
    RDC_HeaderWrongType = 4,
    RDC_DataMissingOrCorrupt = 5,
    RDC_DataTooManyRecords = 6,
    RDC_ApplicationError = 8,
};

enum GeneratorParametersType : std::uint32_t {
    RDCGENTYPE_Unused = 0,
    RDCGENTYPE_FilterMax = 1,
};

// Content-defined chunking bounds. Chunks are at least minSize bytes (the
// last one of a file may be shorter) and at most maxSize; a boundary is cut
// where the rolling hash has averageBits leading zero bits, with a stricter
// test before and a looser one after 2^averageBits bytes, which keeps the
// lengths close to that size. The defaults give chunks of about 2.8 KiB: a
// small edit costs a few KiB of patch, and a signature is about 0.7% of its
// file.
struct ChunkParameters {
    std::uint32_t minSize = 1024;
    std::uint32_t averageBits = 11;
    std::uint32_t maxSize = 32768;

    bool Valid() const;
    friend bool operator==(const ChunkParameters&, const ChunkParameters&) = default;
};

// Random access to a file or to bytes in memory.
class IRdcFileReader : public IUnknown {
  public:
    virtual HRESULT GetFileSize(std::uint64_t* fileSize) = 0;
    // Reads up to bytesToRead bytes at offsetFileStart. Offset at or past the
    // end: 0 bytes, eof true, S_OK. Fewer bytes left than asked: those bytes,
    // eof true. Callers judge a read by comparing *bytesActuallyRead with
    // what they asked for.
    virtual HRESULT Read(std::uint64_t offsetFileStart, std::uint32_t bytesToRead,
                         std::uint32_t* bytesActuallyRead, std::uint8_t* buffer, bool* eof) = 0;
    virtual HRESULT GetFilePosition(std::uint64_t* offsetFromStart) = 0;
};

class IRdcGeneratorParameters : public IUnknown {
  public:
    virtual HRESULT GetGeneratorParametersType(GeneratorParametersType* type) = 0;
    virtual HRESULT GetChunkParameters(ChunkParameters* parameters) = 0;
    // E_INVALIDARG for bounds that Valid() rejects. Both sides of a comparison
    // must use the same parameters; the comparator refuses a mismatch.
    virtual HRESULT SetChunkParameters(const ChunkParameters& parameters) = 0;
};

class IRdcGenerator : public IUnknown {
  public:
    virtual HRESULT GetGeneratorParameters(std::uint32_t level,
                                           IRdcGeneratorParameters** parameters) = 0;
    // Consumes input (inputBuffer->m_Used grows) and writes signature bytes
    // to outputBuffers[0] (m_Used grows). Call again with the unconsumed rest
    // and more input until *endOfOutput; once endOfInput has been passed, it
    // stays set on every later call. Empty input gives an empty signature.
    virtual HRESULT Process(bool endOfInput, bool* endOfOutput, RdcBufferPointer* inputBuffer,
                            std::uint32_t depth, RdcBufferPointer* outputBuffers[],
                            RDC_ErrorCode* errorCode) = 0;
};

class IRdcComparator : public IUnknown {
  public:
    // Consumes source-signature bytes and appends needs, in target order,
    // to outputBuffer (at most its m_Size per call). Adjacent seed needs that
    // continue each other, and adjacent source needs, are merged. Call again
    // (with the unconsumed rest, or more input) until *endOfOutput.
    virtual HRESULT Process(bool endOfInput, bool* endOfOutput, RdcBufferPointer* inputBuffer,
                            RdcNeedPointer* outputBuffer, RDC_ErrorCode* errorCode) = 0;
};

class IRdcLibrary : public IUnknown {
  public:
    // Only RDCGENTYPE_FilterMax at level 1 is offered; its chunk parameters
    // are the ChunkParameters defaults.
    virtual HRESULT CreateGeneratorParameters(GeneratorParametersType type, std::uint32_t level,
                                              IRdcGeneratorParameters** parameters) = 0;
    // depth must be 1 (one parameters object).
    virtual HRESULT CreateGenerator(std::uint32_t depth, IRdcGeneratorParameters* parameters[],
                                    IRdcGenerator** generator) = 0;
    // Reads and checks the whole seed signature now; E_FAIL when it is
    // malformed. comparatorBufferSize is accepted for shape only.
    virtual HRESULT CreateComparator(IRdcFileReader* seedSignatures,
                                     std::uint32_t comparatorBufferSize,
                                     IRdcComparator** comparator) = 0;
    virtual HRESULT GetRDCVersion(std::uint32_t* currentVersion,
                                  std::uint32_t* minimumCompatibleAppVersion) = 0;
};

// Stand-in for creating the library object by class id: CLSID_RdcLibrary
// with IID_IRdcLibrary (or IID_IUnknown); E_NOINTERFACE for other ids.
HRESULT CreateRdcInstance(const Guid& clsid, const Guid& iid, void** object);
RdcPtr<IRdcLibrary> CreateRdcLibrary();

}  // namespace rdc
