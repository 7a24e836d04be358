#include "update/Updater.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>
#include <filesystem>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "update/Limits.h"
#include "update/LocalFiles.h"
#include "update/Sha256.h"
#include "update/ZZip.h"
#include "update/rest/ReadResponse.h"
#include "update/rest/RestClient.h"
#include "xml/Tessel.h"

namespace Zelt {

namespace {

std::wstring Lower(std::wstring_view name) {
    std::wstring lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return lower;
}

struct ServiceLocation {
    std::wstring host;  // with ":port" when the URL names one
    std::wstring path;
};

// "https://host[:port]/path"; false for anything else: the update's files
// are only ever fetched over TLS.
bool CrackUrl(std::wstring_view url, ServiceLocation& out) {
    const auto scheme = url.find(L"://");
    if (scheme == std::wstring_view::npos || Lower(url.substr(0, scheme)) != L"https")
        return false;
    const auto rest = url.substr(scheme + 3);
    const auto slash = rest.find(L'/');
    out.host = std::wstring(rest.substr(0, slash));
    out.path = slash == std::wstring_view::npos ? L"/" : std::wstring(rest.substr(slash));
    // Query text of its own would clash with the keys appended here.
    if (const auto query = out.path.find(L'?'); query != std::wstring::npos)
        out.path.resize(query);
    return !out.host.empty() && out.host.find_first_of(L"@ ") == std::wstring::npos;
}

// Two characters at a time, each pair read as a base-16 number; a lone last
// character on its own. Characters that are not hex digits end a pair's value.
std::vector<std::uint8_t> DecodeHex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = i; j < std::min(i + 2, text.size()); ++j) {
            const char c = text[j];
            unsigned digit = 0;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                digit = static_cast<unsigned>(c - 'A' + 10);
            else
                break;
            value = value * 16 + digit;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

}  // namespace

bool IsServiceUrl(std::wstring_view url) {
    ServiceLocation location;
    return CrackUrl(url, location);
}

Updater::Updater(std::wstring directory, update_progress callback, std::uintptr_t context)
    : directory_(std::move(directory)), callback_(std::move(callback)), context_(context) {}

FileRecord* Updater::find_record(std::wstring_view name, bool create) {
    std::wstring normal = RecordName(name);
    std::wstring key = Lower(normal);
    if (const auto found = byName_.find(key); found != byName_.end())
        return found->second;
    if (!create)
        return nullptr;
    records_.push_back(FileRecord{});
    records_.back().name = std::move(normal);
    byName_.emplace(std::move(key), &records_.back());
    return &records_.back();
}

HRESULT Updater::service_request(std::string_view query, std::span<const std::uint8_t> body,
                                 std::uint32_t upload_stage, std::uint32_t download_stage,
                                 std::vector<std::uint8_t>& reply, std::uint64_t limit) {
    ServiceLocation location;
    if (!CrackUrl(service_url, location))
        return kUnexpected;
    RESTAPI::rest_client client;
    client.ca_file = ca_file;
    client.cancel = cancel;
    client.max_response_bytes = limit;
    const HRESULT connected = client.connect(location.host, true);
    if (Failed(connected))
        return connected;
    const std::wstring path = location.path + L"?k=" + product_ + platform::FromUtf8(query);

    RESTAPI::upload_progress upload;
    if (upload_stage != 0)
        upload = [this, upload_stage](std::uint32_t sent, std::uint32_t total, void*) {
            if (callback_)
                callback_(upload_stage, sent, total, 0, context_);
            return kOk;
        };
    RESTAPI::download_progress download;
    if (download_stage != 0)
        download = [this, download_stage](std::uint64_t received, std::uint64_t total, void*) {
            if (!callback_)
                return kOk;
            return callback_(download_stage, static_cast<std::uint32_t>(received),
                             static_cast<std::uint32_t>(total), 0, context_);
        };
    RESTAPI::internet_handle request =
        client.request_buffer(path, body.empty() ? nullptr : body.data(),
                              static_cast<std::uint32_t>(body.size()), {}, upload, nullptr, true);
    const HRESULT read = RESTAPI::read_response_bytes(request, reply, download, nullptr, true);
    request.reset();
    return read;
}

HRESULT Updater::fetch_hashes() {
    hash_reply_.clear();
    const HRESULT hr = service_request("&f=hashes", {}, 0, 5, hash_reply_, kMaxHashListReply);
    if (Failed(hr))
        return hr;
    return read_hash_list(hash_reply_);
}

HRESULT Updater::read_hash_list(std::span<const std::uint8_t> reply) {
    if (reply.empty())
        return kFalse;
    ZZIP archive;
    if (archive.open_memory(reply.data(), reply.size()) != kOk)
        return kFail;
    std::vector<ZZIP::entry_info> files;
    for (auto& entry : archive.list())
        if (!entry.is_directory)
            files.push_back(std::move(entry));
    // The whole list is read and its names checked before any record exists,
    // so a refused list leaves nothing for delete_leftovers to act on.
    std::vector<std::pair<std::wstring, std::vector<std::uint8_t>>> listed;
    if (files.size() == 1) {
        std::vector<std::uint8_t> text;
        if (archive.extract(files[0].name, text, kMaxHashListText) != kOk)
            return kAccessDenied;
        const std::string xml(text.begin(), text.end());
        Tessel::XMLElement root(std::string_view(xml.c_str()));
        for (const auto& child : root.GetChildren()) {
            if (listed.size() == kMaxListedFiles)
                return kAccessDenied;
            const auto name = child->GetVariable("n");
            const auto hash = child->GetVariable("h");
            listed.emplace_back(name ? platform::FromUtf8(name->GetValue()) : L"",
                                DecodeHex(hash ? hash->GetValue() : std::string()));
        }
    } else {
        if (files.size() > kMaxListedFiles)
            return kAccessDenied;
        for (const auto& entry : files) {
            std::vector<std::uint8_t> hash;
            if (archive.extract(entry.name, hash, kMaxRawHash) != kOk)
                return kAccessDenied;
            listed.emplace_back(platform::FromUtf8(entry.name), std::move(hash));
        }
    }
    for (const auto& [name, hash] : listed)
        if (!IsSafeRelativeName(RecordName(name)))
            return kAccessDenied;
    for (auto& [name, hash] : listed)
        find_record(name, true)->remote_hash = std::move(hash);
    return kOk;
}

void Updater::delete_leftovers() {
    for (const auto& record : records_)
        platform::RemovePath(platform::NativePath(directory_ + L"\\" + record.name + suffix_));
}

HRESULT Updater::hash_local_files() {
    try {
        HRESULT result = kOk;
        WalkFiles(platform::NativePath(directory_),
                  [&](const std::filesystem::path& full, const std::wstring& relative) {
                      std::vector<std::uint8_t> content;
                      if (cancelled() || Failed(ReadWholeFile(full, content))) {
                          result = kFail;
                          return false;
                      }
                      if (FileRecord* record = find_record(relative, false))
                          record->local_hash = Sha256(content);
                      return true;
                  });
        return result;
    } catch (const std::exception&) {
        return kFail;
    }
}

HRESULT Updater::apply_patches() {
    // Nothing is written when any name would lead out of the directory.
    for (const auto& record : records_)
        if (!record.blocks.empty() && !IsSafeRelativeName(record.name))
            return kFail;
    for (auto& record : records_) {
        if (record.blocks.empty())
            continue;
        if (cancelled())
            return kFail;
        const std::wstring path = directory_ + L"\\" + record.name;
        const std::filesystem::path native = platform::NativePath(path);
        std::error_code ec;
        std::filesystem::create_directories(native.parent_path(), ec);

        std::vector<std::uint8_t> current;
        ReadWholeFile(native, current);
        std::vector<std::uint8_t> rebuilt;
        if (record.blocks.size() == 1 && (current.empty() || record.needs.empty()))
            rebuilt = record.blocks.front().data;
        for (const auto& need : record.needs) {
            if (need.type == DIFFLIB::NeedType::Seed) {
                // A range outside the current file fails the file.
                if (need.offset > current.size() || need.length > current.size() - need.offset)
                    return kFail;
                const auto from = current.begin() + static_cast<std::ptrdiff_t>(need.offset);
                rebuilt.insert(rebuilt.end(), from,
                               from + static_cast<std::ptrdiff_t>(need.length));
            } else if (need.type == DIFFLIB::NeedType::Source) {
                const auto block = std::find_if(
                    record.blocks.begin(), record.blocks.end(), [&need](const PatchBlock& b) {
                        return b.offset == need.offset && b.length == need.length &&
                               b.length < (1ull << 32) && b.data.size() == b.length;
                    });
                if (block == record.blocks.end())
                    return kFail;
                rebuilt.insert(rebuilt.end(), block->data.begin(), block->data.end());
            }
        }
        if (Sha256(rebuilt) != record.remote_hash)
            return kFail;
        if (Failed(commit(path, rebuilt)))
            return kFail;
    }
    return kOk;
}

// The new content goes to a temporary file beside the target first, so the
// target is only ever replaced by a complete, verified copy. A running
// executable cannot be opened for writing; it is renamed aside instead and the
// new file takes its name.
HRESULT Updater::commit(const std::wstring& path, std::span<const std::uint8_t> bytes) {
    const std::filesystem::path target = platform::NativePath(path);
    const std::filesystem::path oldCopy = platform::NativePath(path + suffix_);
    platform::RemovePath(oldCopy);

    const std::filesystem::path temp = WriteTempBeside(target, bytes);
    if (temp.empty())
        return kFail;

#ifdef _WIN32
    if (platform::ReplacePath(temp, target))
        return kOk;
    std::error_code ec;
    if (!std::filesystem::exists(target, ec)) {
        platform::RemovePath(temp);
        return kFail;
    }
    // A running executable can be renamed but not replaced: it moves aside,
    // the new file takes the free name, and the old copy goes at the next
    // restart.
    replaced_in_use_ = true;
    platform::ReplacePath(target, oldCopy);
    if (!platform::ReplacePath(temp, target)) {
        platform::RemovePath(temp);
        return kFail;
    }
    platform::RemoveNowOrLater(oldCopy);
    return kOk;
#else
    bool inUse = false;
    const int probe = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (probe >= 0)
        ::close(probe);
    else
        inUse = errno == ETXTBSY;

    if (!inUse) {
        if (::rename(temp.c_str(), target.c_str()) == 0)
            return kOk;
        ::unlink(temp.c_str());
        return kFail;
    }

    replaced_in_use_ = true;
    ::rename(target.c_str(), oldCopy.c_str());
    // Only a name that is free now may be taken: when the old file could not
    // be moved aside it stays where it is.
    const bool placed = ::link(temp.c_str(), target.c_str()) == 0;
    ::unlink(temp.c_str());
    if (!placed)
        return kFail;
    // The running process keeps its image; the name can go at once.
    ::unlink(oldCopy.c_str());
    return kOk;
#endif
}

RunResult Updater::run(const FileFilter* filter) {
    const HRESULT hashes = fetch_hashes();
    delete_leftovers();
    if (hashes != kOk)
        return kHashListFailed;
    if (hash_local_files() != kOk)
        return kHashingFailed;

    std::vector<const FileRecord*> changed;
    for (const auto& record : records_)
        if (record.local_hash != record.remote_hash)
            changed.push_back(&record);
    if (changed.empty())
        return kUpToDate;
    if (filter != nullptr)
        std::erase_if(changed, [filter](const FileRecord* r) { return filter->excludes(r->name); });
    if (changed.empty())
        return kAllExcluded;

    if (fetch_signatures(nullptr) == kFalse)
        return kSignatureListEmpty;

    // Made in a directory of its own and removed with it, whatever happens.
    const TempArchive archive;
    if (Failed(build_signature_archive(&archive.path(), filter)))
        return kLocalArchiveBuildFailed;
    if (Failed(fetch_signatures(&archive.path())))
        return kLocalArchiveReadFailed;
    if (Failed(compute_needs(filter)))
        return kCompareFailed;
    if (Failed(fetch_patch(filter)))
        return kPatchFailed;
    if (Failed(apply_patches()))
        return kRebuildFailed;
    return replaced_in_use_ ? kUpdatedInUse : kUpdatedInPlace;
}

}  // namespace Zelt
