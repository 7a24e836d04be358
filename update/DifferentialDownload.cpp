// The differential part of an update run: signature exchange, the needs of
// each changed file and the one patch request that fetches the missing ranges.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "codec/DiffLib.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "update/FileSignature.h"
#include "update/LocalFiles.h"
#include "update/PatchRequest.h"
#include "update/Updater.h"
#include "update/ZZip.h"

namespace Zelt {

namespace {

struct FileHandle {
    int fd;
    explicit FileHandle(const std::filesystem::path& path)
        : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string ServiceName(const std::wstring& name) {
    std::string text = platform::ToUtf8(name);
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

}  // namespace

bool Updater::takes_part(const FileRecord& record, const FileFilter* filter) const {
    return !record.remote_signatures.empty() &&
           record.local_signatures != record.remote_signatures &&
           !(filter != nullptr && filter->excludes(record.name));
}

HRESULT Updater::fetch_signatures(const std::wstring* archive_path) {
    const bool download = archive_path == nullptr;
    std::vector<std::uint8_t> local;
    ZZIP archive;
    if (download) {
        signature_reply_.clear();
        const HRESULT hr = fetch_archive("&f=sigs", {}, 0, 4, signature_reply_, kFalse, archive);
        if (hr != kOk)
            return hr;
    } else {
        // A local archive that cannot be read leaves every file to be fetched
        // whole.
        ReadWholeFile(platform::NativePath(*archive_path), local);
        if (local.empty() || Failed(archive.open_memory(local.data(), local.size())))
            return kFalse;
    }
    for (const auto& entry : archive.list()) {
        if (entry.is_directory)
            continue;
        FileRecord* record = find_record(platform::FromUtf8(entry.name), true);
        std::vector<std::uint8_t> content;
        if (archive.extract(entry.name, content) != kOk)
            return kAccessDenied;
        (download ? record->remote_signatures : record->local_signatures) = std::move(content);
    }
    return kOk;
}

HRESULT Updater::build_signature_archive(const std::wstring* path, const FileFilter* filter) {
    if (path == nullptr)
        return kPointer;
    HRESULT result = kOk;
    try {
        const std::filesystem::path native = platform::NativePath(*path);
        ::unlink(native.c_str());
        ZZIP archive;
        archive.create_file(*path);
        bool cancelledWalk = false;
        WalkFiles(platform::NativePath(directory_),
                  [&](const std::filesystem::path& full, const std::wstring& relative) {
                      if (cancelled()) {
                          cancelledWalk = true;
                          return false;
                      }
                      if (filter != nullptr && filter->excludes(relative))
                          return true;
                      std::vector<std::uint8_t> signature;
                      if (FileSignature(full, signature) != kOk) {
                          result = kFalse;
                          return true;
                      }
                      archive.add(ServiceName(relative), signature);
                      return true;
                  });
        if (cancelledWalk)
            return kFail;
    } catch (const std::exception&) {
        return kFail;
    }
    return result;
}

HRESULT Updater::compute_needs(const FileFilter* filter, std::size_t* taking_part) {
    std::int32_t counter = 1;
    std::size_t count = 0;
    for (auto& record : records_) {
        if (!takes_part(record, filter))
            continue;
        ++count;
        if (record.local_signatures.empty()) {
            record.blocks.push_back(PatchBlock{counter++, 0, kWholeFile, {}});
            continue;
        }
        FileHandle file(platform::NativePath(directory_ + L"\\" + record.name));
        if (file.fd < 0)
            return kFail;
        DIFFLIB::DiffLibrary library;
        const DIFFLIB::FileReader reader(file.fd);
        DIFFLIB::MemoryDiffWriter seed;
        library.GenerateSignature(reader, seed);
        const DIFFLIB::MemoryReader seedReader = seed.GetReader();
        const DIFFLIB::MemoryReader source(record.remote_signatures);
        DIFFLIB::MemoryDiffWriter needs;
        const DIFFLIB::Result compared =
            library.CompareSignatures(seedReader, source, nullptr, needs);
        record.needs.clear();
        if (compared != DIFFLIB::Result::Ok || seed.Size() == 0 ||
            !DIFFLIB::ParseNeedsList(needs.Data(), record.needs)) {
            // Signatures that cannot be compared give no trustworthy needs:
            // the file is fetched whole instead.
            record.needs.clear();
            record.blocks.push_back(PatchBlock{counter++, 0, kWholeFile, {}});
            continue;
        }
        for (const auto& need : record.needs)
            if (need.type == DIFFLIB::NeedType::Source)
                record.blocks.push_back(PatchBlock{counter++, need.offset, need.length, {}});
    }
    if (taking_part != nullptr)
        *taking_part = count;
    return kOk;
}

HRESULT Updater::fetch_patch(const FileFilter* filter) {
    std::string body;
    for (const auto& record : records_) {
        if (!takes_part(record, filter))
            continue;
        const std::string name = ServiceName(record.name);
        for (const auto& block : record.blocks) {
            PatchLine line{block.index, name, block.whole_file(), block.offset, block.length};
            if (line.whole)
                line.offset = line.length = 0;
            const auto text = FormatPatchLine(line);
            // A line the service could not read is not sent at all.
            if (!text)
                return kFail;
            if (!body.empty())
                body += '|';
            body += *text;
        }
    }
    if (body.empty())
        return kFail;

    std::vector<std::uint8_t> reply;
    const auto* data = reinterpret_cast<const std::uint8_t*>(body.data());
    ZZIP archive;
    const HRESULT hr =
        fetch_archive("&f=patch", std::span(data, body.size()), 1, 0, reply, kFail, archive);
    if (hr != kOk)
        return hr;
    for (const auto& entry : archive.list()) {
        std::int64_t index = 0;
        for (const char c : entry.name) {
            if (!std::isdigit(static_cast<unsigned char>(c)) || index > 0x7FFFFFFF)
                break;
            index = index * 10 + (c - '0');
        }
        for (auto& record : records_)
            for (auto& block : record.blocks)
                if (block.index == index && archive.extract(entry.name, block.data) != kOk)
                    return kFail;
    }
    return kOk;
}

}  // namespace Zelt
