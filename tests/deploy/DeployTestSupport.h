#pragma once
// Helpers for the deployment tests: scratch directories, files, a console
// sink, and a raw peer that speaks the RemoteSync header format.

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <xxhash.h>

#include "codec/LzmsBlock.h"
#include "deploy/DeployChannel.h"
#include "platform/Files.h"
#include "platform/Socket.h"

using namespace deploy;
using namespace net;

namespace deploytest {

class TempDir {
  public:
    TempDir() { path_ = platform::MakeTempDirectory("vtr-deploy-"); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// The XXH3-128 of `bytes` in canonical order, as an upload's end states it;
// straight from the hash library, not through the codec under test.
inline std::vector<std::uint8_t> StrongHash(std::span<const std::uint8_t> bytes) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits(bytes.data(), bytes.size()));
    return {canonical.digest, canonical.digest + sizeof canonical.digest};
}

// Compressible, program-like content: repeated records with varying fields,
// so that chunking finds boundaries and compression has work to do.
inline std::vector<std::uint8_t> SampleContent(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> data;
    data.reserve(size);
    std::uint32_t state = seed * 2654435761u + 7;
    while (data.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::string record = "entry " + std::to_string(state % 100000) +
                                   " value=" + std::to_string(state >> 7) +
                                   (state & 1 ? " ok\n" : " skip\n");
        for (char c : record) {
            if (data.size() == size)
                break;
            data.push_back(static_cast<std::uint8_t>(c));
        }
        data.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    data.resize(size);
    return data;
}

// Collects what the sender or receiver prints.
class PrintSink {
  public:
    void Attach(DeployChannel& channel) {
        channel.print = [this](std::wstring_view text) {
            std::lock_guard guard(lock_);
            text_.append(text);
        };
    }
    std::wstring Text() const {
        std::lock_guard guard(lock_);
        return text_;
    }
    void Clear() {
        std::lock_guard guard(lock_);
        text_.clear();
    }

  private:
    mutable std::mutex lock_;
    std::wstring text_;
};

inline bool WaitFor(const std::function<bool()>& condition, int seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

inline void SetTimeouts(const TcpSocket& socket, int seconds = 10) {
    platform::SetReceiveTimeout(socket.Handle(), std::chrono::seconds(seconds));
    platform::SetSendTimeout(socket.Handle(), std::chrono::seconds(seconds));
}

// Raw header bytes, built here field by field so the tests do not lean on the
// codec they check.
inline std::array<std::uint8_t, kDeployHeaderSize> RawHeader(std::uint32_t type, std::uint64_t size,
                                                             std::uint64_t plainSize = 0,
                                                             std::uint64_t fileTime = 0,
                                                             std::uint32_t result = 0) {
    std::array<std::uint8_t, kDeployHeaderSize> raw{};
    auto put = [&](std::size_t offset, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            raw[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(0, type, 4);
    put(8, size, 8);
    put(16, plainSize, 8);
    put(24, fileTime, 8);
    put(32, result, 4);
    return raw;
}

struct RawMessage {
    std::uint32_t type = 0;
    std::uint64_t size = 0;
    std::uint64_t plainSize = 0;
    std::uint32_t result = 0;
    std::vector<std::uint8_t> payload;
};

// One end of a RemoteSync connection driven by hand.
class RawPeer {
  public:
    explicit RawPeer(TcpSocket socket) : socket_(std::move(socket)) { SetTimeouts(socket_); }

    bool Send(std::uint32_t type, const std::vector<std::uint8_t>& payload,
              std::uint64_t plainSize = 0, std::uint64_t fileTime = 0, std::uint32_t result = 0) {
        const auto raw = RawHeader(type, payload.size(), plainSize, fileTime, result);
        if (socket_.Send(raw.data(), raw.size()) != static_cast<int>(raw.size()))
            return false;
        return payload.empty() ||
               socket_.Send(payload.data(), payload.size()) == static_cast<int>(payload.size());
    }
    bool SendRaw(std::span<const std::uint8_t> bytes) {
        return socket_.Send(bytes.data(), bytes.size()) == static_cast<int>(bytes.size());
    }
    bool Receive(RawMessage& message) {
        std::array<std::uint8_t, kDeployHeaderSize> raw{};
        if (socket_.Receive(raw.data(), raw.size(), true) != static_cast<int>(raw.size()))
            return false;
        auto get = [&](std::size_t offset, int bytes) {
            std::uint64_t value = 0;
            for (int i = 0; i < bytes; ++i)
                value |= std::uint64_t{raw[offset + static_cast<std::size_t>(i)]} << (8 * i);
            return value;
        };
        message.type = static_cast<std::uint32_t>(get(0, 4));
        message.size = get(8, 8);
        message.plainSize = get(16, 8);
        message.result = static_cast<std::uint32_t>(get(32, 4));
        message.payload.assign(static_cast<std::size_t>(message.size), 0);
        return message.payload.empty() ||
               socket_.Receive(message.payload.data(), message.payload.size(), true) ==
                   static_cast<int>(message.payload.size());
    }
    // True when the other side closed or shut the connection down.
    bool PeerClosed() {
        std::uint8_t byte = 0;
        return socket_.Receive(&byte, 1, false) <= 0;
    }
    TcpSocket& Socket() { return socket_; }

  private:
    TcpSocket socket_;
};

// A streamed upload as it arrives: its start, the blocks put together, its end.
struct RawUpload {
    std::uint32_t type = 0;
    std::uint64_t announced = 0;  // the start's plainSize
    std::vector<std::uint8_t> plain;
    std::uint64_t stored = 0;  // payload bytes of all blocks
    int rawBlocks = 0;
    int lzmsBlocks = 0;
    bool complete = false;           // the end says so and counts what came
    std::vector<std::uint8_t> hash;  // what the end states
};

inline bool ReceiveUpload(RawPeer& peer, RawUpload& upload) {
    RawMessage start;
    if (!peer.Receive(start) ||
        (start.type != DEPLOY_STREAM_FULL && start.type != DEPLOY_STREAM_PATCH))
        return false;
    upload.type = start.type;
    upload.announced = start.plainSize;
    DIFFLIB::LzmsBlockDecompressor decompressor;
    for (;;) {
        RawMessage message;
        if (!peer.Receive(message))
            return false;
        if (message.type == DEPLOY_END) {
            upload.complete = message.result == 1 && message.plainSize == upload.plain.size();
            upload.hash = message.payload;
            return true;
        }
        if (message.type != DEPLOY_BLOCK)
            return false;
        std::vector<std::uint8_t> plain(static_cast<std::size_t>(message.plainSize));
        if (decompressor.Decompress(message.payload, plain) != DIFFLIB::Result::Ok)
            return false;
        ++(message.size == message.plainSize ? upload.rawBlocks : upload.lzmsBlocks);
        upload.stored += message.size;
        upload.plain.insert(upload.plain.end(), plain.begin(), plain.end());
    }
}

}  // namespace deploytest
