#pragma once
// A patch applied as its bytes arrive, in pieces of any size: seed blocks are
// copied from the old file and source bytes passed on to the writer as they
// come, so neither the patch nor the rebuilt file is ever held whole. Memory
// is one copy buffer and at most one cut record header, whatever the patch
// claims.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/DiffWriter.h"
#include "codec/Patch.h"
#include "codec/Reader.h"
#include "codec/Result.h"

namespace DIFFLIB {

class PatchApplier {
  public:
    // Both must outlive the applier.
    PatchApplier(const Reader& oldFile, DiffWriter& writer) : oldFile_(oldFile), writer_(writer) {}

    // Takes the next patch bytes. Failed for a record that reaches outside
    // the old file, an unknown type, a length of 4 GiB or more, or a failed
    // read or write; every later call fails too.
    Result Feed(std::span<const std::uint8_t> bytes);
    // Failed when the patch ended inside a record or its source bytes.
    Result Finish();

    // Bytes of the new file written so far.
    std::uint64_t Written() const { return written_; }

  private:
    Result Fail();
    Result StartRecord(const Need& need);

    const Reader& oldFile_;
    DiffWriter& writer_;
    std::optional<std::uint64_t> oldSize_;
    std::uint8_t header_[kNeedRecordSize]{};
    std::size_t headerHave_ = 0;
    std::uint64_t sourceLeft_ = 0;  // inline bytes still due for the current source record
    std::uint64_t written_ = 0;
    std::vector<std::uint8_t> buffer_;
    bool failed_ = false;
};

}  // namespace DIFFLIB
