#include "deploy/ProgressLine.h"

#include <cstdio>

namespace deploy {

namespace {

constexpr auto kShowEvery = std::chrono::milliseconds(200);
// Erases from the cursor to the end of the line, so a shorter text leaves
// nothing of a longer one behind.
constexpr std::wstring_view kEraseRest = L"\x1b[K";

}  // namespace

ProgressLine::ProgressLine(const DeployChannel& channel, std::wstring head)
    : channel_(channel), line_(std::move(head)) {
    channel_.Print(line_);
}

void ProgressLine::Print(std::wstring_view piece) {
    std::lock_guard guard(lock_);
    line_ += piece;
    if (!shown_) {
        channel_.Print(piece);
        return;
    }
    // The progress text stands where the piece goes: the line is written again.
    std::wstring text = L"\r" + line_;
    const std::size_t end = text.find(L"\r\n");
    text.insert(end == std::wstring::npos ? text.size() : end, kEraseRest);
    channel_.Print(text);
    shown_ = false;
}

void ProgressLine::Update(std::uint64_t done, std::uint64_t total) {
    if (!channel_.showProgress)
        return;
    std::lock_guard guard(lock_);
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - lastShown_ < kShowEvery && done < total)
        return;
    lastShown_ = now;
    shown_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    channel_.Print(L"\r" + line_ + Text(done, total, seconds) + std::wstring(kEraseRest));
}

std::wstring ProgressLine::Text(std::uint64_t done, std::uint64_t total, double seconds) {
    constexpr double kMiB = 1024.0 * 1024.0;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    wchar_t text[128];
    if (rate > 0 && done < total) {
        const double left = static_cast<double>(total - done) / rate;
        std::swprintf(text, std::size(text), L"%.1f of %.1f MiB, %.1f MiB/s, %.0f s left",
                      static_cast<double>(done) / kMiB, static_cast<double>(total) / kMiB,
                      rate / kMiB, left);
    } else {
        std::swprintf(text, std::size(text), L"%.1f of %.1f MiB, %.1f MiB/s",
                      static_cast<double>(done) / kMiB, static_cast<double>(total) / kMiB,
                      rate / kMiB);
    }
    return text;
}

}  // namespace deploy
