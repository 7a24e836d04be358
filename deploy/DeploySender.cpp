#include "deploy/DeploySender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "codec/Comparator.h"
#include "codec/DiffLib.h"
#include "codec/FileHash.h"
#include "codec/Signature.h"
#include "deploy/LocalSigning.h"
#include "deploy/ProgressLine.h"
#include "deploy/UploadPipeline.h"
#include "net/AuthGate.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace deploy {

namespace {

// Files of this size or more are not deployed: the engine and the LZMS
// framing count in 32 bits.
constexpr std::uint64_t kMaxFileSize = std::uint64_t{4} << 30;

using platform::UniqueFd;

UniqueFd OpenForReading(const std::wstring& path) {
    return UniqueFd(platform::OpenPath(platform::NativePath(path), O_RDONLY));
}

// Size of an open regular file below the limit; false otherwise.
bool DeployableSize(int fd, std::uint64_t& size) {
    const auto info = platform::InfoOf(fd);
    if (!info || !info->regular)
        return false;
    size = info->size;
    return size < kMaxFileSize;
}

// The client's file may differ from ours in size; this much more signature
// than our file could have covers one about 200 MiB larger.
constexpr std::uint64_t kSignatureSlack = std::uint64_t{4} << 20;

// The largest signature reply taken for an entry, so that a peer cannot make
// us hold more than its file could explain.
std::uint64_t SignatureReplyCap(const std::wstring& local) {
    const auto info = platform::InfoOf(platform::NativePath(local));
    const std::uint64_t size = info && info->regular ? info->size : kMaxFileSize;
    return DIFFLIB::SignatureSizeBound(size) + kSignatureSlack;
}

std::wstring Decimal(std::uint64_t value) {
    return std::to_wstring(value);
}

// Plain bytes per block of a streamed upload: small enough that a few per
// core stay a few MiB, large enough for LZMS to find its matches.
constexpr std::size_t kStreamBlock = std::size_t{1} << 20;
// A file of more than one block starts with short ones, doubling up to
// kStreamBlock: whether the first goes raw (the link's speed is not known
// yet) or waits for LZMS, it costs the link a few milliseconds, not the
// tens that a whole block would.
constexpr std::size_t kFirstBlock = std::size_t{64} << 10;

// Patch bytes as the comparator writes them, cut into blocks for the
// pipeline; it also follows the records to tell how much of the new file
// they have covered.
class PipelineWriter final : public DIFFLIB::DiffWriter {
  public:
    PipelineWriter(UploadPipeline& pipeline, ProgressLine& line, std::uint64_t total)
        : pipeline_(pipeline), line_(line), total_(total) {}

    DIFFLIB::Result Write(std::span<const std::uint8_t> data) override {
        written_ += data.size();
        Follow(data);
        while (!data.empty()) {
            if (pending_.capacity() < kStreamBlock)
                pending_.reserve(kStreamBlock);
            const std::size_t take = std::min(kStreamBlock - pending_.size(), data.size());
            pending_.insert(pending_.end(), data.begin(), data.begin() + static_cast<long>(take));
            data = data.subspan(take);
            if (pending_.size() == kStreamBlock && !Ok(PushPending()))
                return DIFFLIB::Result::Failed;
        }
        line_.Update(covered_, total_);
        return DIFFLIB::Result::Ok;
    }

    DeployError Flush() { return pending_.empty() ? error_ : PushPending(); }
    DeployError Error() const { return error_; }
    std::uint64_t Written() const { return written_; }

  private:
    DeployError PushPending() {
        if (Ok(error_))
            error_ = pipeline_.Push(std::exchange(pending_, {}));
        return error_;
    }

    // Counts the new file's bytes that the records written so far cover.
    void Follow(std::span<const std::uint8_t> data) {
        while (!data.empty()) {
            if (sourceLeft_ != 0) {
                const auto take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(sourceLeft_, data.size()));
                sourceLeft_ -= take;
                data = data.subspan(take);
                continue;
            }
            const std::size_t take = std::min(DIFFLIB::kNeedRecordSize - have_, data.size());
            std::copy_n(data.begin(), take, record_ + have_);
            have_ += take;
            data = data.subspan(take);
            if (have_ < DIFFLIB::kNeedRecordSize)
                return;
            have_ = 0;
            const DIFFLIB::Need need = DIFFLIB::DecodeNeedRecord(record_);
            covered_ += need.length;
            if (need.type == DIFFLIB::NeedType::Source)
                sourceLeft_ = need.length;
        }
    }

    UploadPipeline& pipeline_;
    ProgressLine& line_;
    std::uint64_t total_;
    std::vector<std::uint8_t> pending_;
    DeployError error_ = DeployError::None;
    std::uint64_t written_ = 0;
    std::uint8_t record_[DIFFLIB::kNeedRecordSize]{};
    std::size_t have_ = 0;
    std::uint64_t sourceLeft_ = 0;
    std::uint64_t covered_ = 0;
};

// The hash of the first `size` bytes of an open file, read through
// `buffer`; none when a read comes up short (the file shrank under us).
// Header and block go out in one write: a lone 40-byte header would wait
// for the peer's delayed acknowledgement (Nagle) before every block.
DeployError SendBlock(DeployChannel& channel, bool quic, const UploadBlock& block,
                      std::vector<std::uint8_t>& buffer) {
    DeployHeader header;
    header.type = DEPLOY_BLOCK;
    header.size = block.stored.size();
    header.plainSize = block.plainSize;
    buffer.resize(kDeployHeaderSize + block.stored.size());
    EncodeDeployHeader(header, std::span(buffer).first<kDeployHeaderSize>());
    std::copy(block.stored.begin(), block.stored.end(), buffer.begin() + kDeployHeaderSize);
    return WritePayload(channel, quic, buffer);
}

DeployError ReadAcknowledgement(DeployChannel& channel, bool quic) {
    DeployHeader ack;
    std::vector<std::uint8_t> ackPayload;
    if (const DeployError error = ReadMessage(channel, quic, ack, ackPayload, kDeploySmallPayload);
        !Ok(error))
        return error;
    if (ack.result == 1)
        return DeployError::None;
    return ack.type == DEPLOY_UNVERIFIED ? DeployError::Unverified : DeployError::Refused;
}

// Ends a streamed upload: complete, with the hash of the file the target is
// to hold (and then acknowledged), or given up (no hash). Header and hash in
// one write, for the same reason as a block's.
DeployError SendEnd(DeployChannel& channel, bool quic, std::uint64_t plainBytes,
                    const DIFFLIB::FileDigest* digest) {
    DeployHeader end;
    end.type = DEPLOY_END;
    end.plainSize = plainBytes;
    end.result = digest ? 1 : 0;
    end.size = digest ? digest->size() : 0;
    std::array<std::uint8_t, kDeployHeaderSize + kDeployHashSize> message{};
    EncodeDeployHeader(end, std::span(message).first<kDeployHeaderSize>());
    if (digest)
        std::copy(digest->begin(), digest->end(), message.begin() + kDeployHeaderSize);
    return WritePayload(channel, quic, std::span(message).first(kDeployHeaderSize + end.size));
}

// Runs one streamed upload: the start message, the blocks that `produce`
// pushes through a pipeline, the end with `digest` (which `produce` may fill
// in as it goes) and the acknowledgement. `announce` prints what the console
// line says before "<stored> bytes... ".
// VTR_DEPLOY_RAW_BLOCKS=1 sends every block raw, for a receiver that has no
// LZMS decoder (the Windows program under Wine); unset, uploads compress.
UploadPipeline::Options PipelineOptions(const DeployHeader& start) {
    UploadPipeline::Options options;
    if (start.type == DEPLOY_STREAM_FULL)
        options.total = start.plainSize;
    const char* raw = std::getenv("VTR_DEPLOY_RAW_BLOCKS");
    if (raw != nullptr && std::string_view(raw) == "1")
        options.mode = UploadPipeline::Mode::Raw;
    return options;
}

template <typename Produce, typename Announce>
DeployError StreamUpload(DeployChannel& channel, bool quic, const DeployHeader& start,
                         Produce produce, Announce announce, ProgressLine& line,
                         const std::optional<DIFFLIB::FileDigest>& digest) {
    if (const DeployError error = WriteHeader(channel, quic, start); !Ok(error))
        return error;
    UploadPipeline::Totals totals;
    DeployError error = DeployError::None;
    {
        std::vector<std::uint8_t> buffer;  // the writer thread's
        UploadPipeline pipeline(
            [&](const UploadBlock& block) { return SendBlock(channel, quic, block, buffer); },
            PipelineOptions(start),
            [&](const UploadPipeline::Totals& sent) {
                if (start.type == DEPLOY_STREAM_FULL)
                    line.Update(sent.plainBytes, start.plainSize);
            },
            [&] { return HeldByTransport(channel, quic); });
        error = produce(pipeline);
        const DeployError finished = pipeline.Finish();
        if (Ok(error))
            error = finished;
        totals = pipeline.Done();
        if (Ok(error) && !digest)
            error = DeployError::Source;
        // A failed send broke the channel; anything else is told to the peer.
        if (!Ok(error)) {
            if (!Ok(finished))
                return error;
            SendEnd(channel, quic, totals.plainBytes, nullptr);
            ReadAcknowledgement(channel, quic);
            return error;
        }
    }
    announce();
    line.Print(Decimal(totals.storedBytes) + L" bytes... ");
    if (const DeployError sent = SendEnd(channel, quic, totals.plainBytes, &*digest); !Ok(sent))
        return sent;
    return ReadAcknowledgement(channel, quic);
}

DeployError UploadWhole(DeployChannel& channel, bool quic, const DeployEntry& entry,
                        ProgressLine& line) {
    std::uint64_t size = 0;
    const UniqueFd file = OpenForReading(entry.local);
    if (!file || !DeployableSize(file.get(), size))
        return DeployError::Source;
    line.Print(L"Uploading " + Decimal(size) + L" -> ");
    DeployHeader start;
    start.type = DEPLOY_STREAM_FULL;
    start.plainSize = size;
    std::optional<DIFFLIB::FileDigest> digest;
    const auto produce = [&](UploadPipeline& pipeline) {
        DIFFLIB::FileHash hash;
        std::size_t next = size > kStreamBlock ? kFirstBlock : kStreamBlock;
        for (std::uint64_t at = 0; at < size; next = std::min(2 * next, kStreamBlock)) {
            std::vector<std::uint8_t> block(
                static_cast<std::size_t>(std::min<std::uint64_t>(next, size - at)));
            // A file that shrank under us is not sent half.
            if (!platform::ReadAllAt(file.get(), block, at))
                return DeployError::Source;
            at += block.size();
            hash.Update(block);
            if (const DeployError error = pipeline.Push(std::move(block)); !Ok(error))
                return error;
        }
        digest = hash.Digest();
        return DeployError::None;
    };
    return StreamUpload(
        channel, quic, start, produce, [] {}, line, digest);
}

DeployError UploadPatch(DeployChannel& channel, bool quic, LocalSigning& local,
                        std::span<const std::uint8_t> clientSignature, ProgressLine& line) {
    if (const DeployError error = local.Wait(); !Ok(error))
        return error;
    DIFFLIB::DiffLibrary library;
    const std::uint64_t size = local.Size();
    const std::optional<DIFFLIB::FileDigest> digest = local.Digest();
    // A signature the engine cannot use fails before anything is sent.
    if (!DIFFLIB::Comparator::Accepts(clientSignature))
        return DeployError::Engine;
    DeployHeader start;
    start.type = DEPLOY_STREAM_PATCH;
    start.fileTime = 0;
    std::uint64_t patchLength = 0;
    const auto produce = [&](UploadPipeline& pipeline) {
        PipelineWriter writer(pipeline, line, size);
        const DIFFLIB::MemoryReader seed(clientSignature);
        const DIFFLIB::MemoryReader source(local.Signature().Data());
        if (library.CompareSignatures(seed, source, &local.File(), writer) != DIFFLIB::Result::Ok)
            return Ok(writer.Error()) ? DeployError::Engine : writer.Error();
        patchLength = writer.Written();
        return writer.Flush();
    };
    return StreamUpload(
        channel, quic, start, produce,
        [&] { line.Print(L"Patch " + Decimal(patchLength) + L" -> "); }, line, digest);
}

DeployError SendEntry(DeployChannel& channel, bool quic, const DeployEntry& entry,
                      ProgressLine& line) {
    const std::vector<std::uint8_t> path = platform::ToUtf16Le(entry.remote);
    DeployHeader request;
    request.type = DEPLOY_SIGNATURE;
    request.size = path.size();
    if (const DeployError error = WriteMessage(channel, quic, request, path); !Ok(error))
        return error;
    // Our signature is made while the client makes its own.
    LocalSigning local(entry.local, kMaxFileSize);
    DeployHeader reply;
    std::vector<std::uint8_t> signature;
    if (const DeployError error =
            ReadMessage(channel, quic, reply, signature, SignatureReplyCap(entry.local));
        !Ok(error))
        return error;
    // The reply's type is not checked; its size picks the way.
    if (reply.size == 0) {
        local.Abandon();
        return UploadWhole(channel, quic, entry, line);
    }
    if (const DeployError error = UploadPatch(channel, quic, local, signature, line);
        error != DeployError::Unverified)
        return error;
    // The client kept its old file; the whole file does not depend on it.
    local.Abandon();
    line.Print(L"Patch did not verify, uploading whole... ");
    return UploadWhole(channel, quic, entry, line);
}

}  // namespace

std::vector<DeployEntry> BuildTable(const std::vector<std::wstring>& files) {
    std::vector<DeployEntry> table;
    for (const std::wstring& text : files) {
        const std::size_t comma = text.find(L',');
        if (comma == std::wstring::npos)
            continue;
        table.push_back({text.substr(0, comma), text.substr(comma + 1)});
    }
    return table;
}

void RunRemoteSyncServer(DeployChannel& server, std::vector<std::wstring> filesCopy, bool quic,
                         int port1) {
    server.SetTable(BuildTable(filesCopy));
    if (!quic)
        ServeRemoteSyncChannel(server, port1);
}

void ServeRemoteSyncChannel(DeployChannel& server, int port1) {
    net::TcpSocket listener(net::kInvalidSocket);
    if (!net::Ok(listener.Create(AF_INET6)))
        return;
    // A failed bind leaves a socket that does not listen; accept then fails
    // at once and every deploy run reports its files as failed.
    listener.BindAndListen(port1);
    if (!Ok(server.AdoptListener(listener)))
        return;
    net::TcpSocket accepted =
        server.secret.empty()
            ? listener.Accept()
            : net::AcceptAuthenticated(listener, server.secret, net::TcpChannel::Deployment);
    if (accepted.IsValid())
        server.AdoptConnection(std::move(accepted));
}

void RunSender(DeployChannel& server, bool quic) {
    for (const DeployEntry& entry : server.Table()) {
        ProgressLine line(server, L"Local: " + entry.local + L" to " + entry.remote + L"... ");
        DeployError error = DeployError::Source;
        try {
            error = SendEntry(server, quic, entry, line);
        } catch (const std::bad_alloc&) {
            error = DeployError::Source;
        }
        // Every outcome is one of two console words.
        line.Print(Ok(error) ? L"Done\r\n" : L"Failed\r\n");
    }
}

}  // namespace deploy
