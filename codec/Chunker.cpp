#include "codec/Chunker.h"

#include <algorithm>
#include <array>

namespace DIFFLIB {
namespace {

// Fixed pseudo-random byte weights; changing them changes every signature, so
// they belong to the signature format version.
constexpr std::array<std::uint64_t, 256> MakeGearTable() {
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = 0x5644524353494731ull;
    for (auto& entry : table) {
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        entry = z ^ (z >> 31);
    }
    return table;
}

constexpr std::array<std::uint64_t, 256> kGear = MakeGearTable();

// The gear hash's high bits depend on the last 64 bytes, its low bits on only
// the last few, so boundary tests look at the top bits.
constexpr std::uint64_t TopBits(std::uint32_t bits) {
    return bits == 0 ? 0 : ~std::uint64_t{0} << (64 - bits);
}

}  // namespace

bool ChunkParameters::Valid() const {
    return averageBits >= 6 && averageBits <= 24 && minSize >= 64 && minSize <= maxSize &&
           maxSize <= (1u << 24);
}

Chunker::Chunker(const ChunkParameters& parameters)
    : parameters_(parameters),
      strictMask_(TopBits(parameters.averageBits + 1)),
      looseMask_(TopBits(parameters.averageBits - 1)) {}

std::size_t Chunker::Scan(std::span<const std::uint8_t> data, bool& boundary) {
    boundary = false;
    const std::uint8_t* const begin = data.data();
    const std::uint8_t* p = begin;
    const std::uint8_t* const end = begin + data.size();
    const std::uint64_t minSize = parameters_.minSize;
    const std::uint64_t maxSize = parameters_.maxSize;
    const std::uint64_t normalSize =
        std::clamp<std::uint64_t>(std::uint64_t{1} << parameters_.averageBits, minSize, maxSize);

    // No boundary can fall before the minimum, so those bytes are not hashed.
    if (length_ < minSize) {
        const std::size_t skip =
            static_cast<std::size_t>(std::min<std::uint64_t>(minSize - length_, end - p));
        p += skip;
        length_ += skip;
        if (length_ < minSize)
            return data.size();
    }

    std::uint64_t hash = hash_;
    auto run = [&](std::uint64_t limit, std::uint64_t mask) -> bool {
        if (length_ >= limit)
            return false;
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(limit - length_, end - p));
        const std::uint8_t* const stop = p + count;
        while (p != stop) {
            hash = (hash << 1) + kGear[*p++];
            if ((hash & mask) == 0) {
                length_ += count - (stop - p);
                return true;
            }
        }
        length_ += count;
        return false;
    };

    bool cut = run(normalSize, strictMask_) || run(maxSize, looseMask_) || length_ >= maxSize;
    const std::size_t used = static_cast<std::size_t>(p - begin);
    if (cut) {
        boundary = true;
        hash_ = 0;
        length_ = 0;
    } else {
        hash_ = hash;
    }
    return used;
}

std::vector<std::uint32_t> ChunkLengths(std::span<const std::uint8_t> data,
                                        const ChunkParameters& parameters) {
    std::vector<std::uint32_t> lengths;
    Chunker chunker(parameters);
    std::uint64_t current = 0;
    while (!data.empty()) {
        bool boundary = false;
        const std::size_t used = chunker.Scan(data, boundary);
        current += used;
        data = data.subspan(used);
        if (boundary) {
            lengths.push_back(static_cast<std::uint32_t>(current));
            current = 0;
        }
    }
    if (current != 0)
        lengths.push_back(static_cast<std::uint32_t>(current));
    return lengths;
}

}  // namespace DIFFLIB
