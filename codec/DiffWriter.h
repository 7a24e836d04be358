#pragma once
// Where the engine writes signatures, needs lists, patches and rebuilt files:
// memory (MemoryDiffWriter.h) or a caller's sink that passes bytes on as they
// come (a file being rebuilt, an upload being compressed), so that nothing
// has to be held whole.
#include <cstdint>
#include <span>

#include "codec/Result.h"

namespace DIFFLIB {

class DiffWriter {
  public:
    virtual ~DiffWriter() = default;
    // Appends; anything but Ok ends the operation that writes.
    virtual Result Write(std::span<const std::uint8_t> data) = 0;
};

}  // namespace DIFFLIB
