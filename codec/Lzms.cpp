#include "codec/Lzms.h"
#include "platform/ByteOrder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <thread>

#include "codec/LzmsCoder.h"
#include "platform/Thread.h"

namespace DIFFLIB {
namespace {

constexpr std::uint8_t kMagic[8] = {'V', 'L', 'Z', 'M', 'S', 0, 0, 1};
constexpr std::size_t kHeaderSize = 24;  // magic, original size, block size, block count
constexpr std::size_t kBlockHeaderSize = 8;
// A frame may name a block size up to this; larger decompressors are refused.
constexpr std::uint32_t kMaxFrameBlockSize = 64u << 20;
// Frames that claim to shrink their content more than this are not trusted
// with room for all of it up front.
constexpr std::uint64_t kPlausibleRatio = 64;
// The smallest block size LzmsFrameBound allows for.
constexpr std::uint64_t kBoundBlockSize = 64u << 10;

using Compressor = std::unique_ptr<LzmsCoder>;
using Decompressor = std::unique_ptr<LzmsDecoder>;

// Runs work(index, state) for every index in [0, count) on up to `threads`
// threads, each with a State of its own; false when one call returned false.
template <typename State, typename Work>
bool RunParallel(std::size_t count, std::size_t threads, Work work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> ok{true};
    auto worker = [&] {
        State state;
        for (std::size_t i = next++; i < count && ok; i = next++) {
            if (!work(i, state))
                ok = false;
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) {
        std::thread thread;
        if (!platform::StartThread(thread, worker))
            break;  // fewer threads is fine; the caller's thread still works
        pool.push_back(std::move(thread));
    }
    worker();
    for (auto& thread : pool)
        thread.join();
    return ok;
}

std::size_t ThreadCount(std::size_t blocks) {
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::min(blocks, cores);
}

struct Block {
    std::uint64_t outputOffset;  // where its bytes go in the original
    std::uint32_t size;          // uncompressed
    std::size_t storedOffset;    // where its stored bytes are in the frame
    std::uint32_t storedSize;
};

// Checks the frame's layout without decompressing anything.
bool ParseFrame(std::span<const std::uint8_t> input, std::uint64_t& originalSize,
                std::uint32_t& blockSize, std::vector<Block>& blocks) {
    if (input.size() < kHeaderSize || !std::equal(kMagic, kMagic + 8, input.begin()))
        return false;
    originalSize = platform::GetU64(input.data() + 8);
    blockSize = platform::GetU32(input.data() + 16);
    const std::uint32_t count = platform::GetU32(input.data() + 20);
    if (originalSize == 0 || originalSize > kLzmsMaxOriginalSize || blockSize == 0 ||
        blockSize > kMaxFrameBlockSize)
        return false;
    // Every block but the last is full, so the count follows from the sizes.
    if (count != (originalSize + blockSize - 1) / blockSize)
        return false;
    if (count > (input.size() - kHeaderSize) / kBlockHeaderSize)
        return false;
    blocks.clear();
    blocks.reserve(count);
    std::size_t at = kHeaderSize;
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (input.size() - at < kBlockHeaderSize)
            return false;
        const std::uint32_t size = platform::GetU32(input.data() + at);
        const std::uint32_t stored = platform::GetU32(input.data() + at + 4);
        at += kBlockHeaderSize;
        const std::uint64_t expected =
            std::min<std::uint64_t>(blockSize, originalSize - std::uint64_t{i} * blockSize);
        if (size != expected || stored == 0 || stored > size || input.size() - at < stored)
            return false;
        blocks.push_back(Block{total, size, at, stored});
        total += size;
        at += stored;
    }
    return at == input.size() && total == originalSize;
}

}  // namespace

Result LzmsCompress(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                    std::uint32_t maxBlockSize) {
    if (input.empty()) {
        output.clear();
        return Result::Ok;
    }
    if (input.size() > kLzmsMaxOriginalSize || maxBlockSize == 0 ||
        maxBlockSize > kMaxFrameBlockSize)
        return Result::InvalidArgument;
    try {
        const std::uint32_t blockSize =
            static_cast<std::uint32_t>(std::min<std::size_t>(input.size(), maxBlockSize));
        const std::size_t count = (input.size() + blockSize - 1) / blockSize;
        // Each block is compressed into its own buffer, then the frame is
        // assembled in order.
        std::vector<std::vector<std::uint8_t>> packed(count);
        const std::size_t threads = ThreadCount(count);
        // Without an LZMS coder on this system every block is stored raw.
        const bool coder = LzmsCoderAvailable();
        const bool ok =
            RunParallel<Compressor>(count, threads, [&](std::size_t i, Compressor& compressor) {
                if (coder && !compressor) {
                    compressor = std::make_unique<LzmsCoder>(blockSize);
                    if (!compressor->Valid())
                        return false;
                }
                const auto block =
                    input.subspan(i * blockSize)
                        .first(std::min<std::size_t>(blockSize, input.size() - i * blockSize));
                auto& out = packed[i];
                try {
                    out.resize(block.size() - 1);
                } catch (const std::bad_alloc&) {
                    return false;
                }
                // Only output smaller than the block is worth keeping.
                const std::size_t size = compressor ? compressor->Compress(block, out) : 0;
                if (size == 0) {
                    out.assign(block.begin(), block.end());
                } else {
                    out.resize(size);
                }
                return true;
            });
        if (!ok)
            return Result::Failed;
        std::size_t total = kHeaderSize;
        for (const auto& p : packed)
            total += kBlockHeaderSize + p.size();
        std::vector<std::uint8_t> frame(total);
        std::memcpy(frame.data(), kMagic, 8);
        platform::PutU64(frame.data() + 8, input.size());
        platform::PutU32(frame.data() + 16, blockSize);
        platform::PutU32(frame.data() + 20, static_cast<std::uint32_t>(count));
        std::size_t at = kHeaderSize;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t size = std::min<std::size_t>(blockSize, input.size() - i * blockSize);
            platform::PutU32(frame.data() + at, static_cast<std::uint32_t>(size));
            platform::PutU32(frame.data() + at + 4, static_cast<std::uint32_t>(packed[i].size()));
            at += kBlockHeaderSize;
            std::memcpy(frame.data() + at, packed[i].data(), packed[i].size());
            at += packed[i].size();
        }
        output = std::move(frame);
        return Result::Ok;
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    }
}

std::uint64_t LzmsFrameBound(std::uint64_t originalSize) {
    if (originalSize == 0)
        return 0;
    originalSize = std::min(originalSize, kLzmsMaxOriginalSize);  // no frame declares more
    const std::uint64_t blocks = (originalSize + kBoundBlockSize - 1) / kBoundBlockSize;
    return kHeaderSize + blocks * kBlockHeaderSize + originalSize;
}

std::optional<std::uint64_t> LzmsOriginalSize(std::span<const std::uint8_t> input) {
    std::uint64_t size = 0;
    std::uint32_t blockSize = 0;
    std::vector<Block> blocks;
    try {
        if (ParseFrame(input, size, blockSize, blocks))
            return size;
    } catch (const std::bad_alloc&) {
    }
    return std::nullopt;
}

Result LzmsDecompress(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& output,
                      std::uint64_t maxOriginalSize) {
    if (input.empty()) {
        output.clear();
        return Result::Ok;
    }
    try {
        std::uint64_t originalSize = 0;
        std::uint32_t blockSize = 0;
        std::vector<Block> blocks;
        if (!ParseFrame(input, originalSize, blockSize, blocks) || originalSize > maxOriginalSize)
            return Result::Failed;
        // The declared size is only a claim until the blocks decompress, so
        // the result grows block by block. Each block goes to a scratch
        // buffer whose pages are touched only as the decompressor writes, so
        // a damaged block costs little however large it claims to be.
        const std::size_t threads = ThreadCount(blocks.size());
        std::vector<std::unique_ptr<std::uint8_t[]>> scratch(threads);
        std::vector<Decompressor> decompressors(threads);
        std::vector<std::uint8_t> result;
        if (originalSize / kPlausibleRatio <= input.size())
            result.reserve(static_cast<std::size_t>(originalSize));
        for (std::size_t first = 0; first < blocks.size(); first += threads) {
            const std::size_t batch = std::min(threads, blocks.size() - first);
            const auto work = [&](std::size_t slot, bool&) {
                const Block& block = blocks[first + slot];
                if (block.storedSize == block.size)
                    return true;  // stored raw: copied straight from the frame
                if (!scratch[slot])
                    scratch[slot] = std::make_unique_for_overwrite<std::uint8_t[]>(blockSize);
                if (!decompressors[slot]) {
                    if (!LzmsCoderAvailable())
                        return false;
                    decompressors[slot] = std::make_unique<LzmsDecoder>(blockSize);
                }
                return decompressors[slot]->Valid() &&
                       decompressors[slot]->Decompress(
                           input.subspan(block.storedOffset, block.storedSize),
                           std::span(scratch[slot].get(), block.size));
            };
            if (!RunParallel<bool>(batch, batch, work))
                return Result::Failed;
            for (std::size_t slot = 0; slot < batch; ++slot) {
                const Block& block = blocks[first + slot];
                const std::uint8_t* from = block.storedSize == block.size
                                               ? input.data() + block.storedOffset
                                               : scratch[slot].get();
                result.insert(result.end(), from, from + block.size);
            }
        }
        output = std::move(result);
        return Result::Ok;
    } catch (const std::bad_alloc&) {
        return Result::Failed;
    } catch (const std::length_error&) {
        return Result::Failed;
    }
}

}  // namespace DIFFLIB
