#pragma once
// The signature of a file that arrives whole, made on a thread of its own
// from copies of its bytes as they pass, so that the receiver's thread only
// copies them: the next request for the file is then answered without
// reading it. The thread runs below normal priority and at most a few MiB
// wait for it: a receiver that gets further ahead gives the signature up
// (the file is then signed when it is asked for) rather than wait. Fed by the receiver thread; the
// signing thread is joined by Finish or the destructor.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "codec/Signature.h"
#include "deploy/SignatureCache.h"

namespace deploy {

class StreamSigner {
  public:
    // A signature that would pass `maxSize` bytes is given up.
    explicit StreamSigner(std::size_t maxSize);
    ~StreamSigner();
    StreamSigner(const StreamSigner&) = delete;
    StreamSigner& operator=(const StreamSigner&) = delete;

    // The next bytes of the file.
    void Add(std::span<const std::uint8_t> bytes);
    // The signature of everything added; none when signing failed.
    SharedSignature Finish();

  private:
    void Run();
    void Sign(bool end, std::span<const std::uint8_t> bytes);
    void Stop();

    // The signing thread's, or the caller's when there is no thread.
    std::size_t maxSize_;
    std::optional<DIFFLIB::SignatureGenerator> generator_;
    std::vector<std::uint8_t> signature_;
    bool failed_ = false;
    bool dropped_ = false;  // the caller's: a copy could not be made

    std::mutex mutex_;  // guards queue_, queued_, spare_, ending_
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> queue_;
    std::size_t queued_ = 0;  // bytes in queue_
    std::vector<std::vector<std::uint8_t>> spare_;
    bool ending_ = false;
    std::thread thread_;
};

}  // namespace deploy
