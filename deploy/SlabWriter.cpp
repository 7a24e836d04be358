#include "deploy/SlabWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/UniqueFd.h"

namespace deploy {

namespace {

constexpr std::size_t kSlabSize = std::size_t{8} << 20;
constexpr std::size_t kSlabAlignment = 4096;

// Writes through the page cache start in the background each time this much
// more was written.
constexpr std::uint64_t kWriteBehind = std::uint64_t{8} << 20;

std::uint8_t* NewSlab() {
#ifdef _WIN32
    return nullptr;
#else
    void* memory = nullptr;
    return ::posix_memalign(&memory, kSlabAlignment, kSlabSize) == 0
               ? static_cast<std::uint8_t*>(memory)
               : nullptr;
#endif
}

#ifdef O_DIRECT
// Sets or clears O_DIRECT; false when the file system refuses it.
bool SetDirect(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}
#endif

}  // namespace

SlabWriter::~SlabWriter() {
    Stop();
}

bool SlabWriter::Write(std::span<const std::uint8_t> bytes) {
    if (!filling_ && !noSlabs_) {
        filling_.reset(NewSlab());
        noSlabs_ = !filling_;
    }
    if (noSlabs_)
        return WriteBuffered(bytes);
    while (!bytes.empty()) {
        const std::size_t take = std::min(kSlabSize - fillingUsed_, bytes.size());
        std::memcpy(filling_.get() + fillingUsed_, bytes.data(), take);
        fillingUsed_ += take;
        bytes = bytes.subspan(take);
        if (fillingUsed_ == kSlabSize && !Hand())
            return false;
    }
    return true;
}

// Gives the full slab to the thread once it is done with the one before,
// and takes that one back to fill.
bool SlabWriter::Hand() {
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            // Without a thread the slab is written here.
            fillingUsed_ = 0;
            return WriteSlab(std::span(filling_.get(), kSlabSize));
        }
    }
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        if (failed_)
            return false;
        std::swap(handed_, filling_);
        handedUsed_ = std::exchange(fillingUsed_, 0);
        busy_ = true;
    }
    changed_.notify_all();
    if (!filling_)
        filling_.reset(NewSlab());
    if (!filling_) {
        // No second slab: wait for the first back.
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        std::swap(handed_, filling_);
        return !failed_;
    }
    return true;
}

void SlabWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return busy_ || stopping_; });
        if (!busy_)
            return;
        const std::span<const std::uint8_t> bytes(handed_.get(), handedUsed_);
        lock.unlock();
        const bool ok = WriteSlab(bytes);
        lock.lock();
        failed_ = failed_ || !ok;
        busy_ = false;
        changed_.notify_all();
    }
}

void SlabWriter::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool SlabWriter::Finish() {
    Stop();  // the thread writes what it was handed first
    bool ok = !failed_;
#ifdef O_DIRECT
    // The last, partial slab is no whole number of blocks.
    if (direct_ && !SetDirect(fd_, false))
        ok = false;
    direct_ = false;
#endif
    if (ok && fillingUsed_ != 0)
        ok = WriteBuffered(std::span(filling_.get(), std::exchange(fillingUsed_, 0)));
    return ok;
}

// A full slab goes to the disk directly when the file system takes that,
// through the page cache otherwise.
bool SlabWriter::WriteSlab(std::span<const std::uint8_t> bytes) {
#ifdef O_DIRECT
    if (!directTried_) {
        directTried_ = true;
        direct_ = SetDirect(fd_, true);
    }
    if (direct_) {
        ssize_t written = -1;
        do {
            written = ::write(fd_, bytes.data(), bytes.size());
        } while (written < 0 && errno == EINTR);
        if (written == static_cast<ssize_t>(bytes.size())) {
            written_ += bytes.size();
            started_ = written_;
            return true;
        }
        // Refused or cut short: the rest goes through the page cache.
        if ((written < 0 && errno != EINVAL) || !SetDirect(fd_, false))
            return false;
        direct_ = false;
        if (written > 0) {
            written_ += static_cast<std::uint64_t>(written);
            started_ = written_;
            bytes = bytes.subspan(static_cast<std::size_t>(written));
        }
    }
#endif
    return WriteBuffered(bytes);
}

bool SlabWriter::WriteBuffered(std::span<const std::uint8_t> bytes) {
    if (!platform::WriteAll(fd_, bytes))
        return false;
    written_ += bytes.size();
    if (written_ - started_ >= kWriteBehind) {
#ifndef _WIN32
        // Only a hint: the flush before the rename is what counts.
        ::sync_file_range(fd_, static_cast<off64_t>(started_),
                          static_cast<off64_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
#endif
        started_ = written_;
    }
    return true;
}

}  // namespace deploy
