#pragma once
// Random access to the bytes the engine signs, compares and patches: a file
// the caller opened, or bytes in memory. Readers are small values that borrow
// what they read; the engine only calls them on the caller's thread.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace DIFFLIB {

class Reader {
  public:
    virtual ~Reader() = default;

    // The current size; none when it cannot be learned.
    virtual std::optional<std::uint64_t> Size() const = 0;
    // Fills `out` from `offset` as far as the data goes and tells how many
    // bytes that was (0 at or past the end); none for a failed read. Callers
    // judge a read by comparing the count with what they asked for.
    virtual std::optional<std::size_t> Read(std::uint64_t offset,
                                            std::span<std::uint8_t> out) const = 0;
};

// True when all of `out` could be read at `offset`.
bool ReadExactly(const Reader& reader, std::uint64_t offset, std::span<std::uint8_t> out);

// Reader over a file descriptor that the creator opened and closes; the
// reader never closes it and leaves its file offset alone.
class FileReader final : public Reader {
  public:
    explicit FileReader(int fd) : fd_(fd) {}

    std::optional<std::uint64_t> Size() const override;
    std::optional<std::size_t> Read(std::uint64_t offset,
                                    std::span<std::uint8_t> out) const override;

  private:
    int fd_;
};

// Reader over bytes that belong to someone else and outlive the reader.
class MemoryReader final : public Reader {
  public:
    explicit MemoryReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::optional<std::uint64_t> Size() const override { return data_.size(); }
    std::optional<std::size_t> Read(std::uint64_t offset,
                                    std::span<std::uint8_t> out) const override;

  private:
    std::span<const std::uint8_t> data_;
};

}  // namespace DIFFLIB
