#pragma once
// The output of signatures, needs lists, patches and rebuilt files: a
// growable byte vector that stays below 4 GiB, as the records' lengths do.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/DiffWriter.h"
#include "codec/Reader.h"
#include "codec/Result.h"

namespace DIFFLIB {

class MemoryDiffWriter final : public DiffWriter {
  public:
    // Appends. InvalidArgument for no data; Failed when the output would pass
    // 4 GiB - 1 bytes or cannot grow (then nothing is appended).
    Result Write(std::span<const std::uint8_t> data) override;

    // A reader over everything written so far; it borrows the writer's
    // bytes, so the writer must not change while the reader is in use.
    MemoryReader GetReader() const { return MemoryReader(bytes_); }

    std::span<const std::uint8_t> Data() const { return bytes_; }
    std::size_t Size() const { return bytes_.size(); }
    // Hands the bytes over and leaves the writer empty.
    std::vector<std::uint8_t> Take() { return std::move(bytes_); }

  private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace DIFFLIB
