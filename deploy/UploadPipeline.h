#pragma once
// The sender's pipeline for one streamed upload: the caller's thread pushes
// blocks of plain bytes in order (read from the file, or cut from a patch as
// the comparator writes it), compressor threads on every core turn them into
// LZMS at a lowered priority (what they save is never worth slowing reading
// or sending), and one writer thread sends each block as soon as it is its
// turn.
// At most `window` blocks wait at any time, so memory is a few blocks per
// core whatever the size of the file.
//
// Compression adapts to what the pipeline sees, so that an upload is never
// slower than sending it raw. When the transport can tell how many sent bytes
// it still holds, the writer waits for a block not compressed yet only while
// the link has those bytes to carry, and sends it raw just before the link
// would fall idle; compressors take the oldest block that they can finish
// before the writer wants it (the link's rate against what it holds and the
// blocks ahead), and until the link has been seen busy they leave the cores
// to the transport. Otherwise the writer never waits for a block that no
// compressor has started (it goes raw), and waits for one being compressed
// only about as long as sending it raw would take at the rate the link has
// shown; compressors then take the newest waiting block first, so that the
// blocks they finish are the ones the writer reaches last. Either way, on a
// slow link compressors get ahead and nearly every block goes LZMS; on a fast
// link blocks go raw and the cores stay free for reading and sending. An
// upload of a single block is always compressed: there is nothing to overlap.
//
// Each compression also picks how hard LZMS searches: the effort whose
// speed (over all compressors) and output size, measured for the fast one
// and estimated from it for the others, let the pipeline move bytes fastest
// through whichever is slower, the compressors or the link. A slow link gets the smallest output, a
// middling one the fast search that keeps the link full.
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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

// The effort for the next block: the one whose bytes get through the slower
// of `workers` compressors and a link of `linkRate` bytes a second soonest;
// the fast one while the link or the fast one's figures are not known.
DIFFLIB::LzmsEffort ChooseEffort(const EffortsSeen& seen, double linkRate, std::size_t workers);

// What the compressors learn of the efforts: the fast search's speed and
// ratio on recent blocks, measured, and the slower ones' from those. Blocks
// differ far more from each other (a tenth to a half of their size) than the
// searches do on the same bytes, so a slower search judged on its own few
// blocks would be judged on their content; what it does relative to the
// fast one is a property of the coder.
class EffortModel {
  public:
    void Record(DIFFLIB::LzmsEffort effort, double secondsPerByte, double ratio);
    // All zero until the fast search has finished a block.
    EffortsSeen Estimates() const;
    EffortSeen Estimate(DIFFLIB::LzmsEffort effort) const;

  private:
    EffortSeen fast_;
};

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
    // Writer thread: the bytes already sent that the transport still holds
    // (not yet taken by the peer); none when it cannot tell.
    using Queued = std::function<std::optional<std::uint64_t>()>;
    struct Options {
        std::size_t workers = 0;  // 0: one per core
        std::size_t window = 0;   // 0: four blocks per worker
        Mode mode = Mode::Adaptive;
        std::uint64_t total = 0;  // plain bytes of the whole upload; 0: not known
    };
    struct Totals {
        std::uint64_t plainBytes = 0;
        std::uint64_t storedBytes = 0;
        std::uint64_t rawBlocks = 0;
        std::uint64_t lzmsBlocks = 0;
        std::uint64_t compressions = 0;  // run, whether their block then went LZMS or not
    };
    // Runs on the writer thread, once per block, in order.
    using Send = std::function<DeployError(const UploadBlock&)>;
    using Sent = std::function<void(const Totals&)>;

    // `queued` may be empty: the transport cannot tell what it holds.
    UploadPipeline(Send send, Options options, Sent sent = {}, Queued queued = {});
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
    // Whether a compression of slots_[ahead] (`ahead` places behind the
    // writer's next block) can end before the writer gets there.
    bool WorthCompressing(std::size_t ahead, DIFFLIB::LzmsEffort effort) const;
    DIFFLIB::LzmsEffort EffortFor(std::size_t size) const;
    // Writer thread, under lock_: asks the transport what it still holds and
    // learns the link's rate from how fast that drains.
    std::optional<std::uint64_t> ProbeQueue();
    // TakeFront's choice for a front block not compressed yet when the
    // transport holds `held` bytes.
    std::shared_ptr<Slot> WhileTheLinkIsBusy(const std::shared_ptr<Slot>& front, double held,
                                             std::chrono::steady_clock::time_point& until);

    Send send_;
    Sent sent_;
    Queued queued_;
    Mode mode_;
    std::size_t window_;
    // guards slots_, pushed_, written_, finished_, stopping_, error_, totals_,
    // linkRate_, efforts_, heldByLink_, firstProbe_, probes_
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Slot>> slots_;  // pushed, not yet taken by the writer, in order
    std::uint64_t pushed_ = 0;
    std::uint64_t written_ = 0;
    bool finished_ = false;  // the caller pushed its last block
    bool stopping_ = false;
    DeployError error_ = DeployError::None;
    Totals totals_;
    double linkRate_ = 0;           // bytes a second the writer has seen; 0 until known
    std::uint64_t heldByLink_ = 0;  // what the transport held at the last probe
    std::chrono::steady_clock::time_point firstProbe_;
    std::uint64_t probes_ = 0;
    EffortModel efforts_;
    std::uint64_t total_ = 0;
    std::size_t workers_ = 1;
    // Writer thread only: the last sends, their bytes and the time they
    // took. Only recent ones count: the first sends fill the socket's
    // buffer at once and would make a slow link look fast for long.
    struct SendSample {
        std::uint64_t bytes = 0;
        double seconds = 0;
    };
    std::deque<SendSample> recentSends_;
    // Writer thread only, with a transport that tells what it holds: the
    // bytes sent so far, and recent (time, bytes the peer has taken).
    std::uint64_t sentStored_ = 0;
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>> taken_;
    std::chrono::steady_clock::time_point moved_;  // when the peer last took bytes
    std::vector<std::thread> compressors_;
    std::thread writer_;
};

}  // namespace deploy
