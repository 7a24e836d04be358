#pragma once
// Sinks of a response body.
#include <cstdint>
#include <span>
#include <vector>

namespace Zelt::RESTAPI {

class data_writer {
  public:
    // Stores the bytes; returns how many were accepted.
    virtual std::uint32_t write(std::span<const std::uint8_t> data) = 0;
    virtual std::uint64_t size() = 0;

  protected:
    ~data_writer() = default;
};

class memory_data_writer final : public data_writer {
  public:
    std::uint32_t write(std::span<const std::uint8_t> data) override {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return static_cast<std::uint32_t>(data.size());
    }
    std::uint64_t size() override { return bytes.size(); }

    std::vector<std::uint8_t> bytes;
};

}  // namespace Zelt::RESTAPI
