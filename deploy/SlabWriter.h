#pragma once
// A new file's bytes on their way to the disk: gathered in slabs aligned in
// memory and in the file, each full slab written by a thread of its own while
// the next one fills, directly to the disk (O_DIRECT) where the file system
// takes that and through the page cache otherwise. The flush before a
// replaced file's rename makes the disk the bound anyway, and filling the
// cache with pages nobody reads soon costs more than the disk on some
// machines. The last, partial slab goes through the page cache. Fed by one
// thread (the receiver's); the writer thread is joined by Finish or the
// destructor.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

namespace deploy {

class SlabWriter {
  public:
    // Borrows `fd`, open for writing at offset 0; it must outlive the writer.
    explicit SlabWriter(int fd) : fd_(fd) {}
    ~SlabWriter();
    SlabWriter(const SlabWriter&) = delete;
    SlabWriter& operator=(const SlabWriter&) = delete;

    // False once any write failed.
    bool Write(std::span<const std::uint8_t> bytes);
    // Writes the rest, waits for every slab and joins the thread; the
    // descriptor is left without O_DIRECT. False if any write failed.
    bool Finish();

  private:
    struct FreeSlab {
        void operator()(std::uint8_t* slab) const { std::free(slab); }
    };
    using Slab = std::unique_ptr<std::uint8_t, FreeSlab>;

    bool Hand();
    void Run();
    void Stop();
    bool WriteSlab(std::span<const std::uint8_t> bytes);
    bool WriteBuffered(std::span<const std::uint8_t> bytes);

    int fd_;
    Slab filling_;  // the feeding thread's
    std::size_t fillingUsed_ = 0;
    bool noSlabs_ = false;  // none could be had: every write goes straight out

    // Only the thread that writes slabs touches these while it runs; the
    // feeding thread after it has joined.
    bool direct_ = false;  // the descriptor has O_DIRECT set
    bool directTried_ = false;
    std::uint64_t written_ = 0;
    std::uint64_t started_ = 0;  // handed to the disk through the page cache so far

    std::mutex mutex_;  // guards handed_, handedUsed_, busy_, failed_, stopping_
    std::condition_variable changed_;
    Slab handed_;  // the slab the thread writes next or now
    std::size_t handedUsed_ = 0;
    bool busy_ = false;
    bool failed_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace deploy
