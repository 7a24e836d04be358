#pragma once
// One update run: learn the expected hash of every file from the update
// service, hash the files beside the executable, download only the pieces
// of changed files that are not already at hand, rebuild, verify and write.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
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

    // The service to ask ("https://host[:port]/path"; no other scheme is
    // used), and the trust anchors for its certificate (PEM file; empty = the
    // system's).
    std::wstring service_url;
    std::string ca_file;
    // Set from another thread to make a run give up promptly.
    const std::atomic<bool>* cancel = nullptr;

    RunResult run(const FileFilter* filter);

    FileRecord* find_record(std::wstring_view name, bool create);
    HRESULT fetch_hashes();
    // The readers of the service's replies, as fetch_hashes, fetch_signatures
    // and fetch_patch use them on what they received. A list that names a file
    // outside the program directory is refused whole, before any record is
    // made (kAccessDenied); so is a list of more than kMaxListedFiles names.
    HRESULT read_hash_list(std::span<const std::uint8_t> reply);
    // remote: the service's list (names checked, sizes capped), else the local
    // archive (the program's own).
    HRESULT read_signature_list(std::span<const std::uint8_t> archive, bool remote = true);
    HRESULT read_patch_reply(std::span<const std::uint8_t> reply);
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

  private:
    // A reply longer than `limit` fails the request.
    HRESULT service_request(std::string_view query, std::span<const std::uint8_t> body,
                            std::uint32_t upload_stage, std::uint32_t download_stage,
                            std::vector<std::uint8_t>& reply, std::uint64_t limit);
    std::uint64_t signature_budget() const;
    // What the patch reply's entry for `block` may hold at most.
    static std::uint64_t expected_length(const FileRecord& record, const PatchBlock& block);
    bool takes_part(const FileRecord& record, const FileFilter* filter) const;
    HRESULT commit(const std::wstring& path, std::span<const std::uint8_t> bytes);
    bool cancelled() const { return cancel != nullptr && cancel->load(); }

    std::wstring directory_;
    std::wstring product_ = kProductId;
    std::vector<std::uint8_t> signature_reply_;
    std::vector<std::uint8_t> hash_reply_;
    update_progress callback_;
    std::uintptr_t context_;
    std::deque<FileRecord> records_;              // stable addresses for find_record
    std::map<std::wstring, FileRecord*> byName_;  // lower-case name -> record
    bool replaced_in_use_ = false;
    const wchar_t* suffix_ = kOldCopySuffix;
};

// True for "https://host[:port][/path]": the only kind of service URL used.
bool IsServiceUrl(std::wstring_view url);

}  // namespace Zelt
