// The differential part of an update run: signature exchange, the needs of
// each changed file and the one patch request that fetches the missing ranges.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "codec/DiffLib.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "update/FileSignature.h"
#include "update/Limits.h"
#include "update/LocalFiles.h"
#include "update/PatchRequest.h"
#include "update/Updater.h"
#include "update/ZZip.h"

namespace Zelt {

namespace {

struct FileHandle {
    int fd;
    explicit FileHandle(const std::filesystem::path& path)
        : fd(platform::OpenPath(path, O_RDONLY | platform::kOpenNoBlock)) {}
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
    if (archive_path == nullptr) {
        signature_reply_.clear();
        const std::uint64_t files = std::max<std::uint64_t>(records_.size(), 1);
        const HRESULT hr = service_request("&f=sigs", {}, 0, 4, signature_reply_,
                                           ZipBound(signature_budget(), files));
        if (Failed(hr))
            return hr;
        if (signature_reply_.empty())
            return kFalse;
        return read_signature_list(signature_reply_, true);
    }
    // A local archive that cannot be read leaves every file to be fetched
    // whole. Only the file this run created is read, never a link put there.
    std::vector<std::uint8_t> local;
    ReadWholeFile(platform::NativePath(*archive_path), local, false);
    if (local.empty())
        return kFalse;
    const HRESULT hr = read_signature_list(local, false);
    return hr == kFail ? kFalse : hr;
}

// Every listed file's signature at its largest, within the absolute cap: what
// the remote signatures may hold together.
std::uint64_t Updater::signature_budget() const {
    const std::uint64_t files = std::max<std::uint64_t>(records_.size(), 1);
    return std::min(kMaxSignatureReply, files * SignatureBound(kMaxUpdateFile));
}

HRESULT Updater::read_signature_list(std::span<const std::uint8_t> archive_bytes, bool remote) {
    ZZIP archive;
    if (archive_bytes.empty() ||
        archive.open_memory(archive_bytes.data(), archive_bytes.size()) != kOk)
        return kFail;
    std::vector<ZZIP::entry_info> entries;
    for (auto& entry : archive.list())
        if (!entry.is_directory)
            entries.push_back(std::move(entry));
    if (remote) {
        if (entries.size() > kMaxListedFiles)
            return kAccessDenied;
        for (const auto& entry : entries)
            if (!IsSafeRelativeName(RecordName(platform::FromUtf8(entry.name))))
                return kAccessDenied;
    }
    std::uint64_t budget = remote ? signature_budget() : ~std::uint64_t{0};
    const std::uint64_t perEntry = SignatureBound(remote ? kMaxUpdateFile : 1ull << 32);
    for (const auto& entry : entries) {
        std::vector<std::uint8_t> content;
        if (archive.extract(entry.name, content, std::min(perEntry, budget)) != kOk)
            return kAccessDenied;
        budget -= content.size();
        FileRecord* record = find_record(platform::FromUtf8(entry.name), true);
        (remote ? record->remote_signatures : record->local_signatures) = std::move(content);
    }
    return kOk;
}

HRESULT Updater::build_signature_archive(const std::wstring* path, const FileFilter* filter) {
    if (path == nullptr)
        return kPointer;
    HRESULT result = kOk;
    try {
        const std::filesystem::path native = platform::NativePath(*path);
        platform::RemovePath(native);
        // Built in memory and written to a file created afresh, so nothing
        // already at the path (a link included) is followed or reused.
        ZZIP archive;
        archive.create_memory();
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
        // An archive that cannot be written is simply missing afterwards.
        std::vector<std::uint8_t> bytes;
        if (archive.finish_memory(bytes) == kOk)
            WriteNewFile(native, bytes);
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

    // The reply may hold what was asked for, and no more.
    std::uint64_t asked = 0;
    std::uint64_t blocks = 0;
    for (const auto& record : records_) {
        if (!takes_part(record, filter))
            continue;
        for (const auto& block : record.blocks) {
            asked = std::min(kMaxPatchReply, asked + expected_length(record, block));
            ++blocks;
        }
    }
    std::vector<std::uint8_t> reply;
    const auto* data = reinterpret_cast<const std::uint8_t*>(body.data());
    const HRESULT hr = service_request("&f=patch", std::span(data, body.size()), 1, 0, reply,
                                       std::min(kMaxPatchReply, ZipBound(asked, blocks)));
    if (Failed(hr))
        return hr;
    return read_patch_reply(reply);
}

std::uint64_t Updater::expected_length(const FileRecord& record, const PatchBlock& block) {
    if (!block.whole_file())
        return std::min(block.length, kMaxUpdateFile);
    // A whole file is as long as its signature says.
    const auto signed_length = SignedLength(record.remote_signatures);
    return std::min(signed_length.value_or(kMaxUpdateFile), kMaxUpdateFile);
}

HRESULT Updater::read_patch_reply(std::span<const std::uint8_t> reply) {
    ZZIP archive;
    if (reply.empty() || archive.open_memory(reply.data(), reply.size()) != kOk)
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
                if (block.index == index &&
                    archive.extract(entry.name, block.data, expected_length(record, block)) != kOk)
                    return kFail;
    }
    return kOk;
}

}  // namespace Zelt
