#include "codec/LzmsBlock.h"

#include <wimlib.h>

#include <cstring>
#include <new>

namespace DIFFLIB {

void LzmsBlockCompressor::FreeCompressor::operator()(wimlib_compressor* compressor) const {
    wimlib_free_compressor(compressor);
}

void LzmsBlockDecompressor::FreeDecompressor::operator()(wimlib_decompressor* decompressor) const {
    wimlib_free_decompressor(decompressor);
}

namespace {

// wimlib's compression levels; 0 is its default (50).
unsigned Level(LzmsEffort effort) {
    switch (effort) {
        case LzmsEffort::Fast:
            // Level 3 searches about as fast as 1 (within a tenth) for a
            // seventh less output on shared libraries.
            return 3;
        case LzmsEffort::Medium:
            return 5;
        case LzmsEffort::Thorough:
            break;
    }
    return 0;
}

}  // namespace

LzmsBlockCompressor::LzmsBlockCompressor(LzmsEffort effort) : effort_(effort) {}
LzmsBlockCompressor::~LzmsBlockCompressor() = default;
LzmsBlockDecompressor::LzmsBlockDecompressor() = default;
LzmsBlockDecompressor::~LzmsBlockDecompressor() = default;

Result LzmsBlockCompressor::Compress(std::span<const std::uint8_t> block,
                                     std::vector<std::uint8_t>& out) {
    out.clear();
    if (block.size() < 2 || block.size() > kLzmsMaxBlock)
        return Result::Failed;
    if (!compressor_ || madeFor_ < block.size()) {
        compressor_.reset();
        wimlib_compressor* raw = nullptr;
        if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, block.size(), Level(effort_),
                                     &raw) != 0)
            return Result::Failed;
        compressor_.reset(raw);
        madeFor_ = block.size();
    }
    try {
        out.resize(block.size() - 1);
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
    // Only output smaller than the block is worth keeping.
    const std::size_t size =
        wimlib_compress(block.data(), block.size(), out.data(), out.size(), compressor_.get());
    out.resize(size);
    return size == 0 ? Result::Failed : Result::Ok;
}

Result LzmsBlockDecompressor::Decompress(std::span<const std::uint8_t> stored,
                                         std::span<std::uint8_t> out) {
    if (out.empty() || out.size() > kLzmsMaxBlock || stored.empty() || stored.size() > out.size())
        return Result::Failed;
    if (stored.size() == out.size()) {
        std::memcpy(out.data(), stored.data(), out.size());
        return Result::Ok;
    }
    if (!decompressor_) {
        wimlib_decompressor* raw = nullptr;
        if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, kLzmsMaxBlock, &raw) != 0)
            return Result::Failed;
        decompressor_.reset(raw);
    }
    return wimlib_decompress(stored.data(), stored.size(), out.data(), out.size(),
                             decompressor_.get()) == 0
               ? Result::Ok
               : Result::Failed;
}

}  // namespace DIFFLIB
