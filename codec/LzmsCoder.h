#pragma once
// The LZMS coder under our framing (Lzms.cpp), one block per call: wimlib on
// Linux, the Compression API (cabinet.dll, loaded at run time) on Windows. A
// system without it compresses nothing: every block is stored raw, which the
// framing allows, and only frames with LZMS blocks fail to decompress.
#include <cstddef>
#include <cstdint>
#include <span>

namespace DIFFLIB {

// Whether this system has an LZMS coder at all (on Windows, said once to the
// debugger output when not).
bool LzmsCoderAvailable();

class LzmsCoder {
  public:
    // For blocks of up to maxBlockSize bytes at a level of wimlib's scale
    // (0 its default, smaller is faster; the Compression API has one level).
    // Valid() tells whether it could be had.
    explicit LzmsCoder(std::uint32_t maxBlockSize, unsigned level = 0);
    ~LzmsCoder();
    LzmsCoder(const LzmsCoder&) = delete;
    LzmsCoder& operator=(const LzmsCoder&) = delete;

    bool Valid() const { return handle_ != nullptr; }
    // The compressed size, or 0 when the result would not fit in `out`.
    std::size_t Compress(std::span<const std::uint8_t> block, std::span<std::uint8_t> out);

  private:
    void* handle_ = nullptr;
};

class LzmsDecoder {
  public:
    explicit LzmsDecoder(std::uint32_t maxBlockSize);
    ~LzmsDecoder();
    LzmsDecoder(const LzmsDecoder&) = delete;
    LzmsDecoder& operator=(const LzmsDecoder&) = delete;

    bool Valid() const { return handle_ != nullptr; }
    // True when `stored` decompresses to exactly out.size() bytes.
    bool Decompress(std::span<const std::uint8_t> stored, std::span<std::uint8_t> out);

  private:
    void* handle_ = nullptr;
};

}  // namespace DIFFLIB
