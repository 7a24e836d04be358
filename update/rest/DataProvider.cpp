#include "update/rest/DataProvider.h"

#include <algorithm>
#include <cstring>

namespace Zelt::RESTAPI {

std::uint32_t memory_data_provider::read(std::span<std::uint8_t> buffer) {
    if (data_ == nullptr || position_ >= size_)
        return 0;
    const auto count =
        static_cast<std::uint32_t>(std::min<std::size_t>(size_ - position_, buffer.size()));
    std::memcpy(buffer.data(), data_ + position_, count);
    position_ += count;
    return count;
}

}  // namespace Zelt::RESTAPI
