#include "deploy/DeploySender.h"
#include "platform/UniqueFd.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <memory>
#include <new>
#include <utility>

#include "codec/DiffLib.h"
#include "platform/Paths.h"
#include "platform/Text.h"

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
    std::size_t total = 0;
    while (total < content.size()) {
        const ssize_t got =
            ::pread(fd, content.data() + total, content.size() - total, static_cast<off_t>(total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        total += static_cast<std::size_t>(got);
    }
    return true;
}

std::wstring Decimal(std::uint64_t value) {
    return std::to_wstring(value);
}

// Compresses `bytes`, announces the upload and sends it, printing the
// compressed size between header and payload; then reads the acknowledgement.
bool SendUpload(DeployChannel& channel, bool quic, DeployHeader header,
                std::vector<std::uint8_t> bytes) {
    if (DIFFLIB::DiffLibrary::CompressBuffer(bytes) != DIFFLIB::Result::Ok ||
        bytes.size() > kDeployMaxPayload)
        return false;
    header.size = bytes.size();
    if (!WriteHeader(channel, quic, header))
        return false;
    channel.Print(Decimal(bytes.size()) + L" bytes... ");
    if (!WritePayload(channel, quic, bytes))
        return false;
    bytes = {};
    DeployHeader ack;
    std::vector<std::uint8_t> ackPayload;
    return ReadMessage(channel, quic, ack, ackPayload) && ack.result == 1;
}

bool UploadWhole(DeployChannel& channel, bool quic, const DeployEntry& entry) {
    std::vector<std::uint8_t> content;
    std::uint64_t size = 0;
    {
        const UniqueFd file = OpenForReading(entry.local);
        if (!file || !DeployableSize(file.get(), size) || !ReadWhole(file.get(), size, content))
            return false;
    }
    channel.Print(L"Uploading " + Decimal(size) + L" -> ");
    DeployHeader header;
    header.type = DEPLOY_FULL;
    header.plainSize = size;
    return SendUpload(channel, quic, header, std::move(content));
}

bool UploadPatch(DeployChannel& channel, bool quic, const DeployEntry& entry,
                 std::span<const std::uint8_t> clientSignature) {
    UniqueFd file = OpenForReading(entry.local);
    std::uint64_t size = 0;
    if (!file || !DeployableSize(file.get(), size))
        return false;
    DIFFLIB::DiffLibrary library;
    const DIFFLIB::FileReader fileReader(file.get());
    DIFFLIB::MemoryDiffWriter localSignature;
    if (library.GenerateSignature(fileReader, localSignature) != DIFFLIB::Result::Ok)
        return false;
    const DIFFLIB::MemoryReader seed(clientSignature);
    const DIFFLIB::MemoryReader source(localSignature.Data());
    DIFFLIB::MemoryDiffWriter patch;
    if (library.CompareSignatures(seed, source, &fileReader, patch) != DIFFLIB::Result::Ok)
        return false;
    file.reset();
    localSignature.Take();
    channel.Print(L"Patch " + Decimal(patch.Size()) + L" -> ");
    DeployHeader header;
    header.type = DEPLOY_PATCH;
    header.fileTime = 0;
    return SendUpload(channel, quic, header, patch.Take());
}

bool SendEntry(DeployChannel& channel, bool quic, const DeployEntry& entry) {
    channel.Print(L"Local: " + entry.local + L" to " + entry.remote + L"... ");
    const std::vector<std::uint8_t> path = platform::ToUtf16Le(entry.remote);
    DeployHeader request;
    request.type = DEPLOY_SIGNATURE;
    request.size = path.size();
    if (!WriteMessage(channel, quic, request, path))
        return false;
    DeployHeader reply;
    std::vector<std::uint8_t> signature;
    if (!ReadMessage(channel, quic, reply, signature))
        return false;
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
    if (listener.Create(AF_INET6) != 0)
        return;
    // A failed bind leaves a socket that does not listen; accept then fails
    // at once and every deploy run reports its files as failed.
    listener.BindAndListen(port1);
    if (!server.AdoptListener(listener))
        return;
    net::TcpSocket accepted = listener.Accept();
    if (accepted.IsValid())
        server.AdoptConnection(std::move(accepted));
}

void RunSender(DeployChannel& server, bool quic) {
    for (const DeployEntry& entry : server.Table()) {
        bool done = false;
        try {
            done = SendEntry(server, quic, entry);
        } catch (const std::bad_alloc&) {
            done = false;
        }
        server.Print(done ? L"Done\r\n" : L"Failed\r\n");
    }
}

}  // namespace deploy
