#include <wimlib.h>

#include "codec/LzmsCoder.h"

namespace DIFFLIB {

bool LzmsCoderAvailable() {
    return true;
}

LzmsCoder::LzmsCoder(std::uint32_t maxBlockSize, unsigned level) {
    wimlib_compressor* raw = nullptr;
    if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, maxBlockSize, level, &raw) == 0)
        handle_ = raw;
}

LzmsCoder::~LzmsCoder() {
    if (handle_)
        wimlib_free_compressor(static_cast<wimlib_compressor*>(handle_));
}

std::size_t LzmsCoder::Compress(std::span<const std::uint8_t> block, std::span<std::uint8_t> out) {
    if (out.empty())
        return 0;
    return wimlib_compress(block.data(), block.size(), out.data(), out.size(),
                           static_cast<wimlib_compressor*>(handle_));
}

LzmsDecoder::LzmsDecoder(std::uint32_t maxBlockSize) {
    wimlib_decompressor* raw = nullptr;
    if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, maxBlockSize, &raw) == 0)
        handle_ = raw;
}

LzmsDecoder::~LzmsDecoder() {
    if (handle_)
        wimlib_free_decompressor(static_cast<wimlib_decompressor*>(handle_));
}

bool LzmsDecoder::Decompress(std::span<const std::uint8_t> stored, std::span<std::uint8_t> out) {
    return wimlib_decompress(stored.data(), stored.size(), out.data(), out.size(),
                             static_cast<wimlib_decompressor*>(handle_)) == 0;
}

}  // namespace DIFFLIB
