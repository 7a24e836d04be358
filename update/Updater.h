#pragma once
// One update run: learn the expected hash of every file from the update
// service, hash the files beside the executable, download only the pieces
// of changed files that are not already at hand, rebuild, verify and write.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/FileFilter.h"
#include "update/FileRecord.h"
#include "update/Result.h"
#include "update/ZZip.h"

namespace Zelt {

// (stage, done, total, 0, context): stage 1 patch body sent, 4 signature-list
// download, 5 hash-list download. A negative result stops stages 4 and 5.
using update_progress = std::function<HRESULT(std::uint32_t, std::uint32_t, std::uint32_t,
                                              std::uint32_t, std::uintptr_t)>;

inline constexpr wchar_t kProductId[] = L"VTR-5C83E1F0-2B7A-4D19-A6E4-0F9B3C72D851";
inline constexpr wchar_t kOldCopySuffix[] = L".{1DAE2EA5-922C-4049-AD37-0AA3E0EE7DC1}.old";

// The outcome of Updater::run, a small signed code that goes to the debug
// log as it stands: 0, 1, 2 and 4 are the ways a run succeeds, a negative
// code names the step that ended it.
enum RunResult : int {
    kUpdatedInUse = 0,  // written; at least one file was renamed aside first
    kUpToDate = 1,
    kAllExcluded = 2,
    kUpdatedInPlace = 4,
    kHashListFailed = -1,
    kHashingFailed = -2,
    kSignatureListEmpty = -3,
    kLocalArchiveBuildFailed = -4,
    kLocalArchiveReadFailed = -5,
    kCompareFailed = -6,
    kPatchFailed = -7,
    kRebuildFailed = -8,
};

class Updater {
  public:
    Updater(std::wstring directory, update_progress callback, std::uintptr_t context);

    // The service to ask ("https://host[:port]/path"), and the trust anchors
    // for its certificate (PEM file; empty = the system's).
    std::wstring service_url;
    std::string ca_file;
    // Set from another thread to make a run give up promptly.
    const std::atomic<bool>* cancel = nullptr;

    RunResult run(const FileFilter* filter);

    FileRecord* find_record(std::wstring_view name, bool create);
    HRESULT fetch_hashes();
    void delete_leftovers();
    HRESULT hash_local_files();
    HRESULT fetch_signatures(const std::wstring* archive_path);
    HRESULT build_signature_archive(const std::wstring* path, const FileFilter* filter);
    // kOk with the number of records that take part in *taking_part;
    // kFail when a local file cannot be opened.
    HRESULT compute_needs(const FileFilter* filter, std::size_t* taking_part = nullptr);
    HRESULT fetch_patch(const FileFilter* filter);
    HRESULT apply_patches();

    const std::wstring& directory() const { return directory_; }
    const std::deque<FileRecord>& records() const { return records_; }
    bool replaced_in_use() const { return replaced_in_use_; }
    // The archive of local signatures made by the last run (removed after it).
    const std::wstring& last_archive_path() const { return archive_path_; }

  private:
    // Asks the service and opens its reply as an archive: the request's
    // failure, `when_empty` for an empty reply, kFail for one that is no
    // archive. The archive reads `reply`, which must outlive it.
    HRESULT fetch_archive(std::string_view query, std::span<const std::uint8_t> body,
                          std::uint32_t upload_stage, std::uint32_t download_stage,
                          std::vector<std::uint8_t>& reply, HRESULT when_empty, ZZIP& archive);
    HRESULT service_request(std::string_view query, std::span<const std::uint8_t> body,
                            std::uint32_t upload_stage, std::uint32_t download_stage,
                            std::vector<std::uint8_t>& reply);
    bool takes_part(const FileRecord& record, const FileFilter* filter) const;
    HRESULT commit(const std::wstring& path, std::span<const std::uint8_t> bytes);
    bool cancelled() const { return cancel != nullptr && cancel->load(); }

    std::wstring directory_;
    std::wstring product_ = kProductId;
    std::vector<std::uint8_t> signature_reply_;
    std::vector<std::uint8_t> hash_reply_;
    update_progress callback_;
    std::uintptr_t context_;
    std::deque<FileRecord> records_;  // stable addresses for find_record
    bool replaced_in_use_ = false;
    const wchar_t* suffix_ = kOldCopySuffix;
    std::wstring archive_path_;
};

}  // namespace Zelt
