#pragma once
// The sender's pipeline for one streamed upload: the caller's thread pushes
// blocks of plain bytes in order (read from the file, or cut from a patch as
// the comparator writes it), compressor threads on every core turn them into
// LZMS, and one writer thread sends each block as soon as it is its turn.
// At most `window` blocks wait at any time, so memory is a few blocks per
// core whatever the size of the file.
//
// Compression adapts to what the pipeline sees, so that an upload is never
// slower than sending it raw: the writer never waits for a block that no
// compressor has started (it goes raw), and waits for one being compressed
// only about as long as sending it raw would take at the rate the link has
// shown. Compressors take the newest waiting block first, so that the blocks
// they finish are the ones the writer reaches last, and leave alone a block
// the writer will reach before a compression could end (the time one takes
// against the blocks ahead of it at the link's rate): on a fast link the
// cores stay free for reading and sending. On a slow link the writer
// is held by the link, compressors get ahead and nearly every block goes
// LZMS; on a fast link the writer outruns them and blocks go raw. An upload
// of a single block is always compressed: there is nothing to overlap.
//
// Each compression also picks how hard LZMS searches: the effort whose
// measured speed (over all compressors) and output size let the pipeline
// move bytes fastest through whichever is slower, the compressors or the
// link. A slow link gets the smallest output, a middling one the fast
// search that keeps the link full.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "codec/LzmsBlock.h"
#include "deploy/DeployError.h"

namespace deploy {

// What the compressors have seen of one LZMS effort; 0 until known.
struct EffortSeen {
    double secondsPerByte = 0;  // of one compressor
    double ratio = 0;           // stored bytes per plain byte
};
using EffortsSeen = std::array<EffortSeen, DIFFLIB::kLzmsEfforts>;

// The effort for the next block: each one untried yet (the fast one first),
// then the one whose bytes get through the slower of `workers` compressors
// and a link of `linkRate` bytes a second (0: unknown) soonest.
DIFFLIB::LzmsEffort ChooseEffort(const EffortsSeen& seen, double linkRate, std::size_t workers);

// One block as it goes on the wire: stored.size() == plainSize means raw.
struct UploadBlock {
    std::span<const std::uint8_t> stored;
    std::uint32_t plainSize = 0;
};

class UploadPipeline {
  public:
    enum class Mode {
        Adaptive,  // what the program uses
        Lzms,      // every block that LZMS makes smaller goes LZMS, searched thoroughly
        Raw,       // every block goes raw
    };
    struct Options {
        std::size_t workers = 0;  // 0: one per core
        std::size_t window = 0;   // 0: four blocks per worker
        Mode mode = Mode::Adaptive;
    };
    struct Totals {
        std::uint64_t plainBytes = 0;
        std::uint64_t storedBytes = 0;
        std::uint64_t rawBlocks = 0;
        std::uint64_t lzmsBlocks = 0;
    };
    // Runs on the writer thread, once per block, in order.
    using Send = std::function<DeployError(const UploadBlock&)>;
    using Sent = std::function<void(const Totals&)>;

    UploadPipeline(Send send, Options options, Sent sent = {});
    // Stops the threads (blocks not sent yet are dropped) and joins them.
    ~UploadPipeline();
    UploadPipeline(const UploadPipeline&) = delete;
    UploadPipeline& operator=(const UploadPipeline&) = delete;

    // Caller's thread: hands over the next block (1 byte to 4 MiB), waiting
    // while the window is full. The first failure of a send, once it
    // happened; Source when the threads could not be started.
    DeployError Push(std::vector<std::uint8_t> plain);
    // Waits until every pushed block was sent; the first failure, if any.
    DeployError Finish();
    Totals Done() const;

  private:
    struct Slot;
    void Compress();
    void Write();
    // The writer's choice for the block at the front; null to wait (until
    // `until` when it is not the maximum).
    std::shared_ptr<Slot> TakeFront(std::chrono::steady_clock::time_point& until,
                                    std::chrono::steady_clock::time_point waitingSince);
    bool Stopped() const;
    // Whether a compression of the block `ahead` places behind the writer's
    // next one can end before the writer gets there.
    bool WorthCompressing(std::size_t ahead, std::size_t size, DIFFLIB::LzmsEffort effort) const;
    DIFFLIB::LzmsEffort EffortFor(std::size_t size) const;

    Send send_;
    Sent sent_;
    Mode mode_;
    std::size_t window_;
    // guards slots_, pushed_, written_, finished_, stopping_, error_, totals_,
    // linkRate_, efforts_
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Slot>> slots_;  // pushed, not yet taken by the writer, in order
    std::uint64_t pushed_ = 0;
    std::uint64_t written_ = 0;
    bool finished_ = false;  // the caller pushed its last block
    bool stopping_ = false;
    DeployError error_ = DeployError::None;
    Totals totals_;
    double linkRate_ = 0;  // bytes a second the writer has seen; 0 until known
    EffortsSeen efforts_{};
    std::size_t workers_ = 1;
    // Writer thread only: the last sends, their bytes and the time they
    // took. Only recent ones count: the first sends fill the socket's
    // buffer at once and would make a slow link look fast for long.
    struct SendSample {
        std::uint64_t bytes = 0;
        double seconds = 0;
    };
    std::deque<SendSample> recentSends_;
    std::vector<std::thread> compressors_;
    std::thread writer_;
};

}  // namespace deploy
