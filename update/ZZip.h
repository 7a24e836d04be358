#pragma once
// Zip archives for the update exchange: archives held in memory are read,
// archives are written to a file (or to memory) with Deflate level 6.
#include <zip.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/Result.h"

namespace Zelt {

class ZZIP {
  public:
    struct entry_info {
        std::string name;  // UTF-8, "/" separated
        bool is_directory = false;
        std::uint64_t size = 0;
        std::uint32_t crc = 0;
    };

    ZZIP() = default;
    ZZIP(const ZZIP&) = delete;
    ZZIP& operator=(const ZZIP&) = delete;
    // Finalises an archive being written.
    ~ZZIP();

    // Reads an archive in caller memory, which must outlive this object.
    // kFail (and no entries) for bytes that are not a zip archive.
    HRESULT open_memory(const std::uint8_t* data, std::size_t size);
    // Creates or overwrites a zip file for writing.
    HRESULT create_file(std::wstring_view path);
    // Starts an archive written to memory; take it with finish_memory.
    HRESULT create_memory();

    // Every "\" of the name is stored as "/".
    HRESULT add(std::string_view name, std::span<const std::uint8_t> data);
    std::vector<entry_info> list() const;
    // An entry that inflates (or claims to) beyond `limit` bytes is kFail,
    // with no more than the limit ever held.
    HRESULT extract(std::string_view name, std::vector<std::uint8_t>& out,
                    std::uint64_t limit = kDefaultEntryLimit) const;

    static constexpr std::uint64_t kDefaultEntryLimit = std::uint64_t{256} << 20;

    // Writes the central directory and closes; kFail when that failed.
    HRESULT close();
    // For an archive made with create_memory: closes it and hands over its bytes.
    HRESULT finish_memory(std::vector<std::uint8_t>& out);

    bool is_open() const { return archive_ != nullptr; }

  private:
    struct SourceDeleter {
        void operator()(zip_source_t* source) const { zip_source_free(source); }
    };

    zip_t* archive_ = nullptr;
    bool writing_ = false;
    std::unique_ptr<zip_source_t, SourceDeleter> memory_;
    // Entry contents stay alive until the archive is written out.
    std::deque<std::vector<std::uint8_t>> pending_;
};

}  // namespace Zelt
