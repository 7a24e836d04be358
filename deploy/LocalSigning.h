#pragma once
// The server's own side of a patch: the signature and whole-file hash of the
// local file, made on two threads of their own (the signer spreads its
// segments over helpers it joins) while the client signs its copy, so that
// neither side waits for the other's reading. Started by the
// sender thread when it asks for the client's signature; abandoned (at the
// next block read) when the client has no file and the upload goes whole.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec/FileHash.h"
#include "codec/MemoryDiffWriter.h"
#include "codec/Reader.h"
#include "deploy/DeployError.h"
#include "platform/UniqueFd.h"

namespace deploy {

class LocalSigning {
  public:
    // Opens `local` (a regular file below `maxSize` bytes) and starts.
    LocalSigning(const std::wstring& local, std::uint64_t maxSize);
    // Abandons the work and joins.
    ~LocalSigning();
    LocalSigning(const LocalSigning&) = delete;
    LocalSigning& operator=(const LocalSigning&) = delete;

    // Waits for both threads: None, Source (the file cannot be opened or
    // read, or is too large) or Engine (signing failed).
    DeployError Wait();
    // Stops the threads at their next read and joins them; Wait then fails.
    void Abandon();

    // After Wait returned None: the open file (for the patch's source
    // bytes), its size, signature and hash.
    const DIFFLIB::Reader& File() const { return reader_; }
    std::uint64_t Size() const { return size_; }
    const DIFFLIB::MemoryDiffWriter& Signature() const { return signature_; }
    const DIFFLIB::FileDigest& Digest() const { return *digest_; }

  private:
    // A reader that fails once the work is abandoned.
    class StoppableReader final : public DIFFLIB::Reader {
      public:
        StoppableReader(const DIFFLIB::Reader& inner, const std::atomic<bool>& stop)
            : inner_(inner), stop_(stop) {}
        std::optional<std::uint64_t> Size() const override { return inner_.Size(); }
        std::optional<std::size_t> Read(std::uint64_t offset,
                                        std::span<std::uint8_t> out) const override;

      private:
        const DIFFLIB::Reader& inner_;
        const std::atomic<bool>& stop_;
    };

    void Sign();
    void Hash();
    void Join();

    platform::UniqueFd file_;
    DIFFLIB::FileReader reader_;
    std::uint64_t size_ = 0;
    std::atomic<bool> stop_{false};
    // Written by their threads, read after Join.
    DeployError opened_ = DeployError::None;
    DIFFLIB::Result signing_ = DIFFLIB::Result::Failed;
    DIFFLIB::MemoryDiffWriter signature_;
    std::optional<DIFFLIB::FileDigest> digest_;
    std::thread signer_;
    std::thread hasher_;
};

}  // namespace deploy
