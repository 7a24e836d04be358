#pragma once
// Signatures: the byte format and the generator that writes it. A header names
// the format version and the chunk parameters, then one record per chunk in
// file order (length and XXH3-128 hash). An empty file has an empty signature
// (no header). Equal content gives equal records wherever it sits in a file.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/Chunker.h"

namespace DIFFLIB {

// "VRDCSIG" and the format version.
inline constexpr std::array<std::uint8_t, 8> kSignatureMagic{'V', 'R', 'D', 'C', 'S', 'I', 'G', 1};
inline constexpr std::size_t kSignatureHeaderSize = 24;  // magic, min, bits, max, reserved
inline constexpr std::size_t kSignatureRecordSize = 20;  // length u32, hash 16 bytes

struct ChunkHash {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    friend bool operator==(const ChunkHash&, const ChunkHash&) = default;
};

struct ChunkRecord {
    std::uint32_t length = 0;
    ChunkHash hash;
};

ChunkHash HashChunk(std::span<const std::uint8_t> bytes);

// The largest signature a file of fileSize bytes can have: every chunk but
// the last is at least minSize long.
std::uint64_t SignatureSizeBound(std::uint64_t fileSize, const ChunkParameters& parameters = {});

void EncodeSignatureHeader(const ChunkParameters& parameters,
                           std::span<std::uint8_t, kSignatureHeaderSize> out);
void EncodeChunkRecord(const ChunkRecord& record,
                       std::span<std::uint8_t, kSignatureRecordSize> out);

enum class HeaderCheck { Ok, Corrupt, Newer, Older };
HeaderCheck DecodeSignatureHeader(std::span<const std::uint8_t, kSignatureHeaderSize> in,
                                  ChunkParameters& parameters);
// False for a length of 0 or above maxSize.
bool DecodeChunkRecord(std::span<const std::uint8_t, kSignatureRecordSize> in,
                       const ChunkParameters& parameters, ChunkRecord& record);

// Turns a file, fed in pieces of any size, into its signature.
class SignatureGenerator {
  public:
    // None when `parameters` are not Valid(). Both sides of a comparison must
    // use the same parameters; the comparator refuses a mismatch.
    static std::optional<SignatureGenerator> Create(const ChunkParameters& parameters = {});

    struct Progress {
        std::size_t consumed = 0;  // input bytes taken
        std::size_t produced = 0;  // signature bytes written to the output
        bool endOfOutput = false;
    };

    // Consumes a prefix of `input` and writes signature bytes to `output`.
    // Call again with the unconsumed rest and more input until endOfOutput;
    // once endOfInput has been passed, it stays set on every later call.
    Progress Process(bool endOfInput, std::span<const std::uint8_t> input,
                     std::span<std::uint8_t> output);

  private:
    explicit SignatureGenerator(const ChunkParameters& parameters)
        : parameters_(parameters), chunks_(parameters) {}

    void EmitRecord(std::span<const std::uint8_t> chunk);
    std::size_t Flush(std::span<std::uint8_t> output);

    ChunkParameters parameters_;
    ChunkGatherer chunks_;
    bool headerWritten_ = false;
    std::vector<std::uint8_t> pending_;  // signature bytes not yet handed out
    std::size_t pendingStart_ = 0;
};

}  // namespace DIFFLIB
