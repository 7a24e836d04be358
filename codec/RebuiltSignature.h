#pragma once
// The signature of a file rebuilt from a patch, worked out from the old
// file's signature and the patch alone, so that the rebuilt file need not be
// chunked again. A seed record that covers whole chunks of the old file
// brings their records along; the bytes of a source record are chunked
// afresh. That gives the new file's own chunking only when every record
// starts where a chunk of the new file starts, so anything else (a seed
// record that cuts an old chunk, a record after a chunk that the chunker did
// not end) makes the result unusable rather than wrong. Fed on the caller's
// thread as the patch arrives; memory is the two signatures.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "codec/Chunker.h"
#include "codec/Patch.h"

namespace DIFFLIB {

class RebuiltSignature {
  public:
    // None for a malformed or empty old signature. A new signature that
    // would pass `maxSize` bytes is given up (a patch can name the old
    // file's chunks over and over), so memory stays bounded.
    static std::optional<RebuiltSignature> Create(
        std::shared_ptr<const std::vector<std::uint8_t>> oldSignature, std::size_t maxSize);

    // The next patch bytes, records and source bytes as the applier takes them.
    void Feed(std::span<const std::uint8_t> bytes);
    // The new file's signature once the whole patch was fed; none when the
    // patch did not keep to chunk boundaries or ended inside a record.
    std::optional<std::vector<std::uint8_t>> Finish();

  private:
    RebuiltSignature(std::shared_ptr<const std::vector<std::uint8_t>> oldSignature,
                     const ChunkParameters& parameters, std::size_t maxSize);
    bool Room(std::size_t more);
    void StartRecord(const Need& need);
    void ChunkSource(std::span<const std::uint8_t> bytes);
    void EndSource();
    void Emit(std::span<const std::uint8_t> chunk);

    std::shared_ptr<const std::vector<std::uint8_t>> old_;
    ChunkParameters parameters_;
    std::size_t maxSize_;
    std::vector<std::uint64_t> starts_;  // old chunk offsets, then the old size
    std::vector<std::uint8_t> out_;
    ChunkGatherer chunks_;  // the current source record's
    std::uint8_t header_[kNeedRecordSize]{};
    std::size_t headerHave_ = 0;
    std::uint64_t sourceLeft_ = 0;
    bool open_ = false;  // the last chunk ended without a cut: nothing may follow
    bool valid_ = true;
};

}  // namespace DIFFLIB
