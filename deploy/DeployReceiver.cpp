#include "deploy/DeployReceiver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

#include "codec/DiffLib.h"
#include "codec/FileHash.h"
#include "codec/Lzms.h"
#include "codec/LzmsBlock.h"
#include "codec/PatchApplier.h"
#include "codec/RebuiltSignature.h"
#include "codec/SegmentedSigning.h"
#include "codec/Signature.h"
#include "deploy/FileReplacement.h"
#include "deploy/SignatureCache.h"
#include "deploy/StreamSigner.h"
#include "net/AuthGate.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace deploy {

namespace {

using platform::UniqueFd;

// Opens `path` for reading only when it is a regular file. The open does not
// wait, so a path naming a FIFO or a device cannot hold the receiver.
UniqueFd OpenRegular(const std::filesystem::path& path) {
    UniqueFd file(platform::OpenPath(path, O_RDONLY | platform::kOpenNoBlock));
    const auto info = file ? platform::InfoOf(file.get()) : std::nullopt;
    if (!info || !info->regular)
        return UniqueFd();
    return file;
}

std::wstring PathFromPayload(std::span<const std::uint8_t> payload) {
    std::wstring path = platform::FromUtf16Le(payload);
    // The text ends at its first zero, as a terminated string would.
    const std::size_t zero = path.find(L'\0');
    if (zero != std::wstring::npos)
        path.resize(zero);
    return path;
}

// The signature of the regular file at `path`: the one kept from when the
// receiver wrote or last signed that very file, or a fresh one (then kept).
// Empty when there is no file or it cannot be signed completely, so the
// sender then uploads the file whole.
SharedSignature SignFile(SignatureCache& cache, const std::wstring& path) {
    static const SharedSignature kNone = std::make_shared<const std::vector<std::uint8_t>>();
    if (path.empty())
        return kNone;
    const std::filesystem::path target = platform::NativePath(path);
    const UniqueFd file = OpenRegular(target);
    if (!file)
        return kNone;
    const std::optional<FileIdentity> before = IdentityOf(file.get());
    if (before) {
        if (SharedSignature kept = cache.Find(target, *before))
            return kept;
    }
    const DIFFLIB::FileReader reader(file.get());
    DIFFLIB::MemoryDiffWriter signature;
    if (DIFFLIB::SignInSegments(reader, signature) != DIFFLIB::Result::Ok)
        return kNone;
    auto signed_ = std::make_shared<const std::vector<std::uint8_t>>(signature.Take());
    // Kept only when the file did not change while it was read.
    if (before && IdentityOf(file.get()) == before)
        cache.Store(target, *before, signed_);
    return signed_;
}

DeployError WriteWhole(const std::wstring& path, std::vector<std::uint8_t>& payload,
                       std::uint64_t plainSize) {
    if (path.empty())
        return DeployError::Target;
    // Before anything is decompressed, the frame must declare exactly the
    // size the header announced (an empty payload declares none); an intact
    // frame then decompresses to exactly what it declares.
    if (DIFFLIB::LzmsOriginalSize(payload).value_or(0) != plainSize ||
        DIFFLIB::DiffLibrary::DecompressBuffer(payload) != DIFFLIB::Result::Ok)
        return DeployError::Engine;
    return ReplaceFileContents(platform::NativePath(path), payload);
}

DeployError WritePatched(DIFFLIB::DiffLibrary& library, const std::wstring& path,
                         std::vector<std::uint8_t>& payload, std::uint64_t fileTime) {
    if (path.empty())
        return DeployError::Target;
    if (DIFFLIB::DiffLibrary::DecompressBuffer(payload) != DIFFLIB::Result::Ok)
        return DeployError::Engine;
    const std::filesystem::path target = platform::NativePath(path);
    DIFFLIB::MemoryDiffWriter rebuilt;
    {
        const UniqueFd old = OpenRegular(target);
        if (!old)
            return DeployError::Target;
        const DIFFLIB::FileReader oldReader(old.get());
        const DIFFLIB::MemoryReader patchReader(payload);
        if (library.ApplyPatch(oldReader, patchReader, rebuilt) != DIFFLIB::Result::Ok)
            return DeployError::Engine;
    }
    payload = {};
    return ReplaceFileContents(target, rebuilt.Data(), fileTime);
}

// The most payload a message of this header can need: a path, a whole file
// of the announced plain size in its compressed frame, or a patch; unknown
// messages are taken and dropped.
std::uint64_t PayloadCap(const DeployHeader& header) {
    switch (header.type) {
        case DEPLOY_SIGNATURE:
            return kDeploySmallPayload;
        case DEPLOY_FULL:
            // With room for a frame that disagrees with the header, so that
            // it is refused in step rather than by ending the channel.
            return DIFFLIB::LzmsFrameBound(header.plainSize) + kDeploySmallPayload;
        case DEPLOY_STREAM_FULL:
        case DEPLOY_STREAM_PATCH:
            return 0;
        default:
            return kDeployMaxPayload;
    }
}

static_assert(kDeployHashSize == DIFFLIB::kFileHashSize);

#ifdef VTR_TEST_HOOKS
// Test builds only (vtr232_hooked, which the process tests run): with
// VTR_TEST_CORRUPT=patch the first byte of every file rebuilt from a patch
// is written wrong, with =all that of every file, so that the tests can
// watch the hash check catch a wrong rebuild.
bool CorruptForTest(bool whole) {
    const char* mode = std::getenv("VTR_TEST_CORRUPT");
    return mode &&
           (std::string_view(mode) == "all" || (!whole && std::string_view(mode) == "patch"));
}
#endif

// The new file's bytes as a patch applier or the blocks write them, hashed
// on their way to the file.
class ReplacementWriter final : public DIFFLIB::DiffWriter {
  public:
    // `whole`: the bytes are the whole file as it comes, which is then also
    // signed as it goes (a patched file's signature comes from its patch).
    ReplacementWriter(FileReplacement& file, bool whole) : file_(file) {
#ifdef VTR_TEST_HOOKS
        corrupt_ = CorruptForTest(whole);
#endif
        if (whole)
            signer_.emplace(SignatureCache::kDefaultBudget);
    }
    DIFFLIB::Result Write(std::span<const std::uint8_t> data) override {
#ifdef VTR_TEST_HOOKS
        std::vector<std::uint8_t> wrong;
        if (corrupt_ && !data.empty()) {
            corrupt_ = false;
            wrong.assign(data.begin(), data.end());
            wrong[0] ^= 0x5a;
            data = wrong;
        }
#endif
        hash_.Update(data);
        if (signer_)
            signer_->Add(data);
        error_ = file_.Write(data);
        return Ok(error_) ? DIFFLIB::Result::Ok : DIFFLIB::Result::Failed;
    }
    // The signature of everything written, once it is all there; none when
    // the file was not signed as it went.
    SharedSignature Signature() {
        return signer_ ? signer_->Finish() : nullptr;
    }
    // The last write's failure, if it failed.
    DeployError Error() const {
        return error_;
    }
    DIFFLIB::FileDigest Digest() const {
        return hash_.Digest();
    }

  private:
    FileReplacement& file_;
    DIFFLIB::FileHash hash_;
    std::optional<StreamSigner> signer_;
    DeployError error_ = DeployError::None;
#ifdef VTR_TEST_HOOKS
    bool corrupt_ = false;
#endif
};

// Why the rebuild failed: the file could not be written, or the patch's
// bytes do not make the file.
DeployError RebuildFailure(const ReplacementWriter& writer) {
    return Ok(writer.Error()) ? DeployError::Unverified : writer.Error();
}

SharedSignature RebuiltOrNone(std::optional<DIFFLIB::RebuiltSignature>& rebuilt) {
    if (!rebuilt)
        return nullptr;
    std::optional<std::vector<std::uint8_t>> signature = rebuilt->Finish();
    return signature ? std::make_shared<const std::vector<std::uint8_t>>(std::move(*signature))
                     : nullptr;
}

// Keeps the signature of the file just renamed into place, as long as the
// target is still that file (`written`: its identity before the commit set
// its times and renamed it).
void KeepSignature(SignatureCache& cache, const std::filesystem::path& target,
                   const std::optional<FileIdentity>& written, SharedSignature signature) {
    const std::optional<FileIdentity> now = IdentityOf(target);
    if (signature && written && now && now->device == written->device &&
        now->inode == written->inode)
        cache.Store(target, *now, std::move(signature));
    else
        cache.Forget(target);
}

struct StreamOutcome {
    bool channelOk = false;                 // false: the channel was given up, no acknowledgement
    DeployError error = DeployError::None;  // what the acknowledgement tells
};

// Takes the blocks of a streamed upload up to its end, writing them as they
// come to a fresh file beside the target, and hashing them as they go. A
// local failure (the file, a block that does not decompress, a patch that
// does not apply, a hash that disagrees with the end's) keeps taking and
// dropping blocks to the end, so the channel stays in step and the upload is
// acknowledged with 0; a message that breaks the rules ends the channel.
StreamOutcome ReceiveStream(DeployChannel& client, bool quic, const DeployHeader& start,
                            const std::wstring& path, SignatureCache& cache) {
    const bool whole = start.type == DEPLOY_STREAM_FULL;
    FileReplacement file;
    ReplacementWriter writer(file, whole);
    UniqueFd old;
    std::optional<DIFFLIB::FileReader> oldReader;
    std::optional<DIFFLIB::PatchApplier> applier;
    // The new file's signature from the old one and the patch, when the old
    // file is still the one whose signature is kept.
    std::optional<DIFFLIB::RebuiltSignature> rebuilt;
    DeployError error = DeployError::None;
    const std::filesystem::path target = platform::NativePath(path);
    if (path.empty() || (whole && start.plainSize > kDeployMaxStream)) {
        error = DeployError::Target;
    } else if (whole) {
        error = file.Begin(target);
    } else {
        old = OpenRegular(target);
        error = old ? file.Begin(target) : DeployError::Target;
        if (Ok(error)) {
            oldReader.emplace(old.get());
            applier.emplace(*oldReader, writer);
            const std::optional<FileIdentity> identity = IdentityOf(old.get());
            if (identity)
                rebuilt = DIFFLIB::RebuiltSignature::Create(cache.Find(target, *identity),
                                                            SignatureCache::kDefaultBudget);
        }
    }
    DIFFLIB::LzmsBlockDecompressor decompressor;
    std::vector<std::uint8_t> stored;
    std::vector<std::uint8_t> plain;
    std::uint64_t total = 0;
    for (;;) {
        DeployHeader header;
        if (!Ok(ReadHeader(client, quic, header, false)))
            return {};
        if (header.type == DEPLOY_END) {
            if (header.size != 0 && header.size != kDeployHashSize)
                break;
            std::vector<std::uint8_t> stated;
            if (!Ok(ReadPayload(client, quic, header.size, kDeployHashSize, &stated)))
                return {};
            const bool complete = header.result == 1 && header.plainSize == total &&
                                  (!whole || total == start.plainSize);
            if (Ok(error) && !complete)
                error = DeployError::Refused;
            if (Ok(error) && applier && applier->Finish() != DIFFLIB::Result::Ok)
                error = DeployError::Unverified;
            if (Ok(error) && !stated.empty()) {
                const DIFFLIB::FileDigest written = writer.Digest();
                if (!std::equal(written.begin(), written.end(), stated.begin()))
                    error = DeployError::Unverified;
            }
            if (Ok(error)) {
                // The old file is closed first: Windows replaces no open file.
                applier.reset();
                oldReader.reset();
                old.reset();
                const std::optional<FileIdentity> written = IdentityOf(file.Descriptor());
                error = file.Commit(whole ? 0 : start.fileTime);
                if (Ok(error))
                    KeepSignature(cache, target, written,
                                  whole ? writer.Signature() : RebuiltOrNone(rebuilt));
            }
            // A rebuild that failed may have started from a kept signature
            // that no longer tells the truth: the next request signs afresh.
            if (!Ok(error))
                cache.Forget(target);
            return {true, error};
        }
        const std::uint64_t limit = whole ? start.plainSize : kDeployMaxStream;
        if (header.type != DEPLOY_BLOCK || header.plainSize == 0 ||
            header.plainSize > kDeployMaxBlock || header.size == 0 ||
            header.size > header.plainSize || header.plainSize > limit - std::min(limit, total))
            break;
        total += header.plainSize;
        if (!Ok(ReadPayload(client, quic, header.size, header.plainSize,
                            Ok(error) ? &stored : nullptr)))
            return {};
        if (!Ok(error))
            continue;
        plain.resize(static_cast<std::size_t>(header.plainSize));
        if (decompressor.Decompress(stored, plain) != DIFFLIB::Result::Ok)
            error = DeployError::Unverified;
        else if (whole ? writer.Write(plain) != DIFFLIB::Result::Ok
                       : applier->Feed(plain) != DIFFLIB::Result::Ok)
            error = RebuildFailure(writer);
        else if (rebuilt)
            rebuilt->Feed(plain);
    }
    AbandonChannel(client, quic);
    return {};
}

// Writes one arriving file with `write` and acknowledges it; the result field
// says 1 when the file was written, 0 otherwise.
template <typename Write>
void StoreAndAcknowledge(DeployChannel& client, bool quic, std::uint32_t type,
                         std::wstring_view line, Write write) {
    client.Print(line);
    DeployError error = DeployError::Target;
    try {
        error = write();
    } catch (const std::bad_alloc&) {
        error = DeployError::Target;
    }
    DeployHeader ack;
    ack.type = type;
    ack.result = Ok(error) ? 1 : 0;
    // A broken channel shows at the next read.
    WriteMessage(client, quic, ack, {});
}

}  // namespace

DeployError ReplaceFileContents(const std::filesystem::path& target,
                                std::span<const std::uint8_t> content, std::uint64_t fileTime) {
    FileReplacement file;
    DeployError error = file.Begin(target);
    if (Ok(error))
        error = file.Write(content);
    if (Ok(error))
        error = file.Commit(fileTime);
    return error;
}

void RunReceiver(DeployChannel& client, bool quic) {
    DIFFLIB::DiffLibrary library;
    SignatureCache cache;
    std::wstring currentPath;
    for (;;) {
        DeployHeader header;
        std::vector<std::uint8_t> payload;
        if (!Ok(ReadHeader(client, quic, header, true)))
            return;
        const bool known = header.type == DEPLOY_SIGNATURE || header.type == DEPLOY_FULL ||
                           header.type == DEPLOY_PATCH || header.type == DEPLOY_STREAM_FULL ||
                           header.type == DEPLOY_STREAM_PATCH;
        if (!Ok(ReadPayload(client, quic, header.size, PayloadCap(header),
                            known ? &payload : nullptr)))
            return;
        switch (header.type) {
            case DEPLOY_SIGNATURE: {
                currentPath = PathFromPayload(payload);
                client.Print(L"Requested signature for " + currentPath + L"... ");
                SharedSignature signature;
                try {
                    signature = SignFile(cache, currentPath);
                } catch (const std::bad_alloc&) {
                    signature.reset();
                }
                const std::span<const std::uint8_t> bytes =
                    signature ? std::span<const std::uint8_t>(*signature)
                              : std::span<const std::uint8_t>();
                DeployHeader reply;
                reply.type = DEPLOY_SIGNATURE;
                reply.size = bytes.size();
                WriteMessage(client, quic, reply, bytes);
                break;
            }
            case DEPLOY_FULL:
                StoreAndAcknowledge(client, quic, DEPLOY_FULL, L" Writing ... \r\n", [&] {
                    return WriteWhole(currentPath, payload, header.plainSize);
                });
                break;
            case DEPLOY_STREAM_FULL:
            case DEPLOY_STREAM_PATCH: {
                const bool whole = header.type == DEPLOY_STREAM_FULL;
                client.Print(whole ? L" Writing ... \r\n" : L" Patching ... \r\n");
                StreamOutcome outcome;
                try {
                    outcome = ReceiveStream(client, quic, header, currentPath, cache);
                } catch (const std::bad_alloc&) {
                    AbandonChannel(client, quic);
                }
                if (!outcome.channelOk)
                    return;
                DeployHeader ack;
                ack.type = outcome.error == DeployError::Unverified ? DEPLOY_UNVERIFIED
                           : whole                                  ? DEPLOY_FULL
                                                                    : DEPLOY_PATCH;
                ack.result = Ok(outcome.error) ? 1 : 0;
                WriteMessage(client, quic, ack, {});
                break;
            }
            case DEPLOY_PATCH:
                StoreAndAcknowledge(client, quic, DEPLOY_PATCH, L" Patching ... \r\n", [&] {
                    return WritePatched(library, currentPath, payload, header.fileTime);
                });
                break;
            default:
                // Unknown messages were read whole; they get no reply.
                break;
        }
    }
}

DeployError RunTcpReceiverThread(DeployChannel& client, const std::string& host, int port) {
    net::TcpSocket socket(net::kInvalidSocket);
    if (!net::Ok(socket.Create(AF_INET6)) || !net::Ok(socket.Connect(host, port))) {
        platform::ShowMessage(L"ZADAZ Client: Could not connect to Remote Sync Server");
        return DeployError::Channel;
    }
    if (!client.secret.empty() &&
        !net::AuthenticateToServer(socket, client.secret, net::TcpChannel::Deployment)) {
        socket.Close();
        return DeployError::Unauthenticated;
    }
    if (const DeployError error = client.AdoptConnection(std::move(socket)); !Ok(error))
        return error;
    RunReceiver(client, false);
    return DeployError::None;
}

}  // namespace deploy
