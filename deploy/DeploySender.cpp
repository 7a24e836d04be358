#include "deploy/DeploySender.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include "codec/DiffLib.h"
#include "codec/Signature.h"
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
    return UniqueFd(::open(platform::NativePath(path).c_str(), O_RDONLY | O_CLOEXEC));
}

// Size of an open regular file below the limit; false otherwise.
bool DeployableSize(int fd, std::uint64_t& size) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return size < kMaxFileSize;
}

bool ReadWhole(int fd, std::uint64_t size, std::vector<std::uint8_t>& content) {
    try {
        content.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return platform::ReadAllAt(fd, content, 0);
}

// The client's file may differ from ours in size; this much more signature
// than our file could have covers one about 200 MiB larger.
constexpr std::uint64_t kSignatureSlack = std::uint64_t{4} << 20;

// The largest signature reply taken for an entry, so that a peer cannot make
// us hold more than its file could explain.
std::uint64_t SignatureReplyCap(const std::wstring& local) {
    struct stat info {};
    const bool known =
        ::stat(platform::NativePath(local).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    const std::uint64_t size = known ? static_cast<std::uint64_t>(info.st_size) : kMaxFileSize;
    return DIFFLIB::SignatureSizeBound(size) + kSignatureSlack;
}

std::wstring Decimal(std::uint64_t value) {
    return std::to_wstring(value);
}

// Compresses `bytes`, announces the upload and sends it, printing the
// compressed size between header and payload; then reads the acknowledgement.
DeployError SendUpload(DeployChannel& channel, bool quic, DeployHeader header,
                       std::vector<std::uint8_t> bytes) {
    if (DIFFLIB::DiffLibrary::CompressBuffer(bytes) != DIFFLIB::Result::Ok)
        return DeployError::Engine;
    if (bytes.size() > kDeployMaxPayload)
        return DeployError::Oversize;
    header.size = bytes.size();
    if (const DeployError error = WriteHeader(channel, quic, header); !Ok(error))
        return error;
    channel.Print(Decimal(bytes.size()) + L" bytes... ");
    if (const DeployError error = WritePayload(channel, quic, bytes); !Ok(error))
        return error;
    bytes = {};
    DeployHeader ack;
    std::vector<std::uint8_t> ackPayload;
    if (const DeployError error = ReadMessage(channel, quic, ack, ackPayload, kDeploySmallPayload);
        !Ok(error))
        return error;
    return ack.result == 1 ? DeployError::None : DeployError::Refused;
}

DeployError UploadWhole(DeployChannel& channel, bool quic, const DeployEntry& entry) {
    std::vector<std::uint8_t> content;
    std::uint64_t size = 0;
    {
        const UniqueFd file = OpenForReading(entry.local);
        if (!file || !DeployableSize(file.get(), size) || !ReadWhole(file.get(), size, content))
            return DeployError::Source;
    }
    channel.Print(L"Uploading " + Decimal(size) + L" -> ");
    DeployHeader header;
    header.type = DEPLOY_FULL;
    header.plainSize = size;
    return SendUpload(channel, quic, header, std::move(content));
}

DeployError UploadPatch(DeployChannel& channel, bool quic, const DeployEntry& entry,
                        std::span<const std::uint8_t> clientSignature) {
    UniqueFd file = OpenForReading(entry.local);
    std::uint64_t size = 0;
    if (!file || !DeployableSize(file.get(), size))
        return DeployError::Source;
    DIFFLIB::DiffLibrary library;
    const DIFFLIB::FileReader fileReader(file.get());
    DIFFLIB::MemoryDiffWriter localSignature;
    if (library.GenerateSignature(fileReader, localSignature) != DIFFLIB::Result::Ok)
        return DeployError::Engine;
    const DIFFLIB::MemoryReader seed(clientSignature);
    const DIFFLIB::MemoryReader source(localSignature.Data());
    DIFFLIB::MemoryDiffWriter patch;
    if (library.CompareSignatures(seed, source, &fileReader, patch) != DIFFLIB::Result::Ok)
        return DeployError::Engine;
    file.reset();
    localSignature.Take();
    channel.Print(L"Patch " + Decimal(patch.Size()) + L" -> ");
    DeployHeader header;
    header.type = DEPLOY_PATCH;
    header.fileTime = 0;
    return SendUpload(channel, quic, header, patch.Take());
}

DeployError SendEntry(DeployChannel& channel, bool quic, const DeployEntry& entry) {
    channel.Print(L"Local: " + entry.local + L" to " + entry.remote + L"... ");
    const std::vector<std::uint8_t> path = platform::ToUtf16Le(entry.remote);
    DeployHeader request;
    request.type = DEPLOY_SIGNATURE;
    request.size = path.size();
    if (const DeployError error = WriteMessage(channel, quic, request, path); !Ok(error))
        return error;
    DeployHeader reply;
    std::vector<std::uint8_t> signature;
    if (const DeployError error =
            ReadMessage(channel, quic, reply, signature, SignatureReplyCap(entry.local));
        !Ok(error))
        return error;
    // The reply's type is not checked; its size picks the way.
    if (reply.size == 0)
        return UploadWhole(channel, quic, entry);
    return UploadPatch(channel, quic, entry, signature);
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
    net::TcpSocket accepted = listener.Accept();
    if (accepted.IsValid())
        server.AdoptConnection(std::move(accepted));
}

void RunSender(DeployChannel& server, bool quic) {
    for (const DeployEntry& entry : server.Table()) {
        DeployError error = DeployError::Source;
        try {
            error = SendEntry(server, quic, entry);
        } catch (const std::bad_alloc&) {
            error = DeployError::Source;
        }
        // Every outcome is one of two console words.
        server.Print(Ok(error) ? L"Done\r\n" : L"Failed\r\n");
    }
}

}  // namespace deploy
