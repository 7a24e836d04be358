#pragma once
// Sources of a request body.
#include <cstdint>
#include <span>
#include <utility>

namespace Zelt::RESTAPI {

class data_provider {
  public:
    virtual std::uint32_t size() = 0;
    // Copies the next bytes into buffer; the number copied, 0 at the end.
    virtual std::uint32_t read(std::span<std::uint8_t> buffer) = 0;
    virtual bool is_contiguous() = 0;
    // (size, start of the whole body)
    virtual std::pair<std::uint32_t, const std::uint8_t*> contiguous() = 0;

  protected:
    ~data_provider() = default;
};

// A body in caller-owned memory, neither owned nor copied.
class memory_data_provider final : public data_provider {
  public:
    memory_data_provider(const std::uint8_t* data, std::uint32_t size) : size_(size), data_(data) {}

    std::uint32_t size() override { return size_; }
    std::uint32_t read(std::span<std::uint8_t> buffer) override;
    bool is_contiguous() override { return true; }
    std::pair<std::uint32_t, const std::uint8_t*> contiguous() override { return {size_, data_}; }

  private:
    std::uint32_t size_;
    const std::uint8_t* data_;
    std::uint32_t position_ = 0;
};

}  // namespace Zelt::RESTAPI
