#include "deploy/SignatureCache.h"

#include <sys/stat.h>

#include <algorithm>

namespace deploy {

namespace {

#ifndef _WIN32
std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

std::optional<FileIdentity> IdentityOfStat(const struct stat& info) {
    if (!S_ISREG(info.st_mode) || info.st_size < 0)
        return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino),
                        static_cast<std::uint64_t>(info.st_size), Nanoseconds(info.st_mtim),
                        Nanoseconds(info.st_ctim)};
}
#endif

}  // namespace

std::optional<FileIdentity> IdentityOf(int fd) {
#ifdef _WIN32
    (void)fd;
    return std::nullopt;
#else
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return IdentityOfStat(info);
#endif
}

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
#ifdef _WIN32
    (void)path;
    return std::nullopt;
#else
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return IdentityOfStat(info);
#endif
}

SharedSignature SignatureCache::Find(const std::filesystem::path& path,
                                     const FileIdentity& identity) const {
    for (const Entry& entry : entries_)
        if (entry.path == path)
            return entry.identity == identity ? entry.signature : nullptr;
    return nullptr;
}

void SignatureCache::Store(const std::filesystem::path& path, const FileIdentity& identity,
                           SharedSignature signature) {
    Forget(path);
    if (!signature || signature->size() > budget_)
        return;
    held_ += signature->size();
    entries_.push_back({path, identity, std::move(signature)});
    while (held_ > budget_) {
        held_ -= entries_.front().signature->size();
        entries_.erase(entries_.begin());
    }
}

void SignatureCache::Forget(const std::filesystem::path& path) {
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& entry) { return entry.path == path; });
    if (found == entries_.end())
        return;
    held_ -= found->signature->size();
    entries_.erase(found);
}

}  // namespace deploy
