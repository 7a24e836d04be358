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
    const std::vector<std::uint8_t>* bytes = &local;
    HRESULT result = kOk;
    if (download) {
        signature_reply_.clear();
        result = service_request("&f=sigs", {}, 0, 4, signature_reply_);
        if (Failed(result))
            return result;
        if (signature_reply_.empty())
            return kFalse;
        bytes = &signature_reply_;
    } else {
        ReadWholeFile(platform::NativePath(*archive_path), local);
        if (local.empty())
            return kFalse;
    }
    ZZIP archive;
    if (!archive.open_memory(bytes->data(), bytes->size()))
        // A local archive that cannot be read leaves every file to be fetched
        // whole; a downloaded reply that is no archive is that step's failure.
        return download ? kFail : kFalse;
    for (const auto& entry : archive.list()) {
        if (entry.is_directory)
            continue;
        FileRecord* record = find_record(platform::FromUtf8(entry.name), true);
        std::vector<std::uint8_t> content;
        if (archive.extract(entry.name, content) != kOk)
            return kAccessDenied;
        (download ? record->remote_signatures : record->local_signatures) = std::move(content);
    }
    return download ? result : kOk;
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
        bool engineMissing = false;
        WalkFiles(platform::NativePath(directory_),
                  [&](const std::filesystem::path& full, const std::wstring& relative) {
                      if (cancelled()) {
                          engineMissing = true;  // same outcome: give up the step
                          return false;
                      }
                      if (filter != nullptr && filter->excludes(relative))
                          return true;
                      std::vector<std::uint8_t> signature;
                      const HRESULT hr = FileSignature(full, signature);
                      if (hr == kEngineMissing) {
                          engineMissing = true;
                          return false;
                      }
                      if (hr != kOk) {
                          result = 1;
                          return true;
                      }
                      archive.add(ServiceName(relative), signature);
                      return true;
                  });
        if (engineMissing)
            return kFail;
    } catch (const std::exception&) {
        return kFail;
    }
    return result;
}

int Updater::compute_needs(const FileFilter* filter) {
    std::int32_t counter = 1;
    int count = 0;
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
            return -1;
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
    return count;
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
    const HRESULT hr = service_request("&f=patch", std::span(data, body.size()), 1, 0, reply);
    if (Failed(hr))
        return hr;
    if (reply.empty())
        return kFail;
    ZZIP archive;
    if (!archive.open_memory(reply.data(), reply.size()))
        return kFail;
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
