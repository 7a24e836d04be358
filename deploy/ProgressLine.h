#pragma once
// The sender's console line for one file. Pieces of the line are printed as
// they become known, exactly as on any console; when the channel shows
// progress (a terminal), a progress text (bytes done of total, rate, time
// left) is written over the line with "\r" meanwhile, and the next piece
// rewrites the whole line so far. Update and Print may come from the writer
// thread of an upload and from the sender's thread, one at a time.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "deploy/DeployChannel.h"

namespace deploy {

class ProgressLine {
  public:
    ProgressLine(const DeployChannel& channel, std::wstring head);

    void Print(std::wstring_view piece);
    // `done` of `total` bytes; shown at most a few times a second.
    void Update(std::uint64_t done, std::uint64_t total);

    // "12.5 of 64.0 MiB, 11.2 MiB/s, 5 s left"
    static std::wstring Text(std::uint64_t done, std::uint64_t total, double seconds);

  private:
    const DeployChannel& channel_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::mutex lock_;  // guards line_, shown_, lastShown_
    std::wstring line_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point lastShown_{};
};

}  // namespace deploy
