#include "codec/LzmsBlock.h"

#include <cstring>
#include <new>

#include "codec/LzmsCoder.h"

namespace DIFFLIB {

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
        // Without an LZMS coder on this system every block travels raw.
        if (!LzmsCoderAvailable())
            return Result::Failed;
        auto made =
            std::make_unique<LzmsCoder>(static_cast<std::uint32_t>(block.size()), Level(effort_));
        if (!made->Valid())
            return Result::Failed;
        compressor_ = std::move(made);
        madeFor_ = block.size();
    }
    try {
        out.resize(block.size() - 1);
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
    // Only output smaller than the block is worth keeping.
    const std::size_t size = compressor_->Compress(block, out);
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
        if (!LzmsCoderAvailable())
            return Result::Failed;
        auto made = std::make_unique<LzmsDecoder>(kLzmsMaxBlock);
        if (!made->Valid())
            return Result::Failed;
        decompressor_ = std::move(made);
    }
    return decompressor_->Decompress(stored, out) ? Result::Ok : Result::Failed;
}

}  // namespace DIFFLIB
