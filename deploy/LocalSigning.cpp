#include "deploy/LocalSigning.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <system_error>

#include "codec/SegmentedSigning.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace deploy {

namespace {

constexpr std::size_t kHashPiece = std::size_t{1} << 20;

platform::UniqueFd OpenForReading(const std::wstring& path) {
    return platform::UniqueFd(platform::OpenPath(platform::NativePath(path), O_RDONLY));
}

}  // namespace

std::optional<std::size_t> LocalSigning::StoppableReader::Read(std::uint64_t offset,
                                                               std::span<std::uint8_t> out) const {
    if (stop_.load(std::memory_order_relaxed))
        return std::nullopt;
    return inner_.Read(offset, out);
}

LocalSigning::LocalSigning(const std::wstring& local, std::uint64_t maxSize)
    : file_(OpenForReading(local)), reader_(file_.get()) {
    const auto info = file_ ? platform::InfoOf(file_.get()) : std::nullopt;
    if (!info || !info->regular || info->size >= maxSize) {
        opened_ = DeployError::Source;
        return;
    }
    size_ = info->size;
    // Without threads the work runs in Wait, on the caller's.
    try {
        signer_ = std::thread([this] { Sign(); });
        hasher_ = std::thread([this] { Hash(); });
    } catch (const std::system_error&) {
    }
}

LocalSigning::~LocalSigning() {
    Abandon();
}

void LocalSigning::Abandon() {
    stop_ = true;
    Join();
}

void LocalSigning::Join() {
    if (signer_.joinable())
        signer_.join();
    if (hasher_.joinable())
        hasher_.join();
}

void LocalSigning::Sign() {
    const StoppableReader reader(reader_, stop_);
    signing_ = DIFFLIB::SignInSegments(reader, signature_);
}

void LocalSigning::Hash() {
    try {
        DIFFLIB::FileHash hash;
        std::vector<std::uint8_t> buffer(kHashPiece);
        for (std::uint64_t at = 0; at < size_;) {
            if (stop_.load(std::memory_order_relaxed))
                return;
            const auto piece = std::span(buffer).first(
                static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size_ - at)));
            if (!platform::ReadAllAt(file_.get(), piece, static_cast<off_t>(at)))
                return;
            hash.Update(piece);
            at += piece.size();
        }
        digest_ = hash.Digest();
    } catch (const std::bad_alloc&) {
    }
}

DeployError LocalSigning::Wait() {
    if (!Ok(opened_))
        return opened_;
    if (stop_)
        return DeployError::Source;
    if (!signer_.joinable())
        Sign();
    if (!hasher_.joinable() && !digest_)
        Hash();
    Join();
    if (signing_ != DIFFLIB::Result::Ok)
        return DeployError::Engine;
    return digest_ ? DeployError::None : DeployError::Source;
}

}  // namespace deploy
