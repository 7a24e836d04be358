#include "update/ZZip.h"

#include <algorithm>

#include "platform/Paths.h"
#include "platform/Text.h"

namespace Zelt {

namespace {

std::string ZipName(std::string_view name) {
    std::string result(name);
    std::replace(result.begin(), result.end(), '\\', '/');
    return result;
}

}  // namespace

ZZIP::~ZZIP() {
    close();
}

HRESULT ZZIP::close() {
    if (archive_ == nullptr)
        return kOk;
    zip_t* archive = archive_;
    archive_ = nullptr;
    bool ok = true;
    if (writing_) {
        if (zip_close(archive) != 0) {
            zip_discard(archive);
            ok = false;
        }
    } else {
        zip_discard(archive);
    }
    pending_.clear();
    return ok ? kOk : kFail;
}

HRESULT ZZIP::open_memory(const std::uint8_t* data, std::size_t size) {
    close();
    memory_.reset();
    writing_ = false;
    if (data == nullptr || size == 0)
        return kFail;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
    if (source == nullptr) {
        zip_error_fini(&error);
        return kFail;
    }
    archive_ = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (archive_ == nullptr)
        zip_source_free(source);  // not taken over on failure
    zip_error_fini(&error);
    return archive_ != nullptr ? kOk : kFail;
}

HRESULT ZZIP::create_file(std::wstring_view path) {
    close();
    memory_.reset();
    int error = 0;
#ifdef _WIN32
    // libzip takes UTF-8 names on Windows.
    const std::string name = platform::ToUtf8(platform::NativePath(path).wstring());
#else
    const std::string name = platform::NativePath(path).string();
#endif
    archive_ = zip_open(name.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    writing_ = archive_ != nullptr;
    return archive_ != nullptr ? kOk : kFail;
}

HRESULT ZZIP::create_memory() {
    close();
    zip_error_t error;
    zip_error_init(&error);
    memory_.reset(zip_source_buffer_create(nullptr, 0, 0, &error));
    if (memory_) {
        zip_source_keep(memory_.get());  // the bytes are taken after closing
        archive_ = zip_open_from_source(memory_.get(), ZIP_TRUNCATE, &error);
        if (archive_ == nullptr)
            zip_source_free(memory_.get());  // drop the reference open did not take
    }
    zip_error_fini(&error);
    writing_ = archive_ != nullptr;
    return archive_ != nullptr ? kOk : kFail;
}

HRESULT ZZIP::finish_memory(std::vector<std::uint8_t>& out) {
    out.clear();
    if (!memory_ || Failed(close()))
        return kFail;
    zip_source_t* source = memory_.get();
    zip_stat_t stat;
    if (zip_source_stat(source, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE) ||
        zip_source_open(source) != 0)
        return kFail;
    out.resize(stat.size);
    const zip_int64_t got = zip_source_read(source, out.data(), out.size());
    zip_source_close(source);
    memory_.reset();
    if (got < 0 || static_cast<std::uint64_t>(got) != stat.size) {
        out.clear();
        return kFail;
    }
    return kOk;
}

HRESULT ZZIP::add(std::string_view name, std::span<const std::uint8_t> data) {
    if (archive_ == nullptr || !writing_)
        return kNoInterface;
    const std::string entryName = ZipName(name);
    pending_.emplace_back(data.begin(), data.end());
    const auto& stored = pending_.back();
    zip_source_t* source = zip_source_buffer(archive_, stored.data(), stored.size(), 0);
    if (source == nullptr)
        return kFail;
    const zip_int64_t index =
        zip_file_add(archive_, entryName.c_str(), source, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
    if (index < 0) {
        zip_source_free(source);
        return kFail;
    }
    if (zip_set_file_compression(archive_, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 6) !=
        0)
        return kFail;
    return kOk;
}

std::vector<ZZIP::entry_info> ZZIP::list() const {
    std::vector<entry_info> entries;
    if (archive_ == nullptr)
        return entries;
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive_, static_cast<zip_uint64_t>(i), 0, &stat) != 0 ||
            stat.name == nullptr)
            continue;
        entry_info info;
        info.name = stat.name;
        info.is_directory = !info.name.empty() && info.name.back() == '/';
        info.size = (stat.valid & ZIP_STAT_SIZE) ? stat.size : 0;
        info.crc = (stat.valid & ZIP_STAT_CRC) ? stat.crc : 0;
        entries.push_back(std::move(info));
    }
    return entries;
}

HRESULT ZZIP::extract(std::string_view name, std::vector<std::uint8_t>& out,
                      std::uint64_t limit) const {
    out.clear();
    if (archive_ == nullptr)
        return kNoInterface;
    const std::string entryName = ZipName(name);
    const zip_int64_t index = zip_name_locate(archive_, entryName.c_str(), 0);
    if (index < 0)
        return kNoInterface;
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &stat) == 0 &&
        (stat.valid & ZIP_STAT_SIZE) && stat.size > limit)
        return kFail;
    struct FileCloser {
        void operator()(zip_file_t* file) const { zip_fclose(file); }
    };
    std::unique_ptr<zip_file_t, FileCloser> file(
        zip_fopen_index(archive_, static_cast<zip_uint64_t>(index), 0));
    if (!file)
        return kNoInterface;
    std::uint8_t buffer[65536];
    for (;;) {
        const zip_int64_t got = zip_fread(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            out.clear();
            return kFail;
        }
        if (got == 0)
            break;
        // The stored size may lie: the inflated bytes are counted as well.
        if (static_cast<std::uint64_t>(got) > limit - out.size()) {
            out.clear();
            return kFail;
        }
        out.insert(out.end(), buffer, buffer + got);
    }
    return kOk;
}

}  // namespace Zelt
