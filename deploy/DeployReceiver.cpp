#include "deploy/DeployReceiver.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <limits>
#include <new>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

#include "codec/DiffLib.h"
#include "codec/Lzms.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace deploy {

namespace {

using platform::UniqueFd;

// A file that exists only until it is kept.
class TempFile {
  public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }

    // Creates ".<name>.vtrXXXXXX" beside `target`, exclusively, with the
    // usual permissions of a new file (0666 less the umask).
    bool Create(const std::filesystem::path& target) {
        static constexpr std::string_view kLetters =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::string name = target.filename().string();
        // Leaves room for the dot and the suffix within a 255-byte name.
        if (name.size() > 200)
            name.resize(200);
        std::random_device random;
        std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string candidate = "." + name + ".vtr";
            for (int i = 0; i < 6; ++i)
                candidate.push_back(kLetters[pick(random)]);
            const std::filesystem::path path = target.parent_path() / candidate;
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                fd_ = UniqueFd(fd);
                path_ = path;
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    int fd() const { return fd_.get(); }
    bool CloseFile() { return fd_ && fd_.close(); }

    // Renames the file over `target`; afterwards it is no longer removed.
    bool KeepAs(const std::filesystem::path& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0)
            return false;
        path_.clear();
        return true;
    }

  private:
    UniqueFd fd_;
    std::filesystem::path path_;
};

// The permission bits a replaced file keeps: setuid, setgid and sticky
// would otherwise lend the old file's privileges to bytes from the peer.
constexpr mode_t kKeptModeBits = 0777;

// FILETIME counts 100 ns from 1601-01-01; Unix time seconds from 1970-01-01.
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;

bool SetLastWriteTime(int fd, std::uint64_t fileTime) {
    if (fileTime > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return false;
    const std::int64_t ticks = static_cast<std::int64_t>(fileTime) - kFileTimeUnixEpoch;
    std::int64_t seconds = ticks / kFileTimeTicksPerSecond;
    std::int64_t rest = ticks % kFileTimeTicksPerSecond;
    if (rest < 0) {
        rest += kFileTimeTicksPerSecond;
        --seconds;
    }
    timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;  // the access time stays
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(rest * 100);
    return ::futimens(fd, times) == 0;
}

// Opens `path` for reading only when it is a regular file. The open does not
// wait, so a path naming a FIFO or a device cannot hold the receiver.
UniqueFd OpenRegular(const std::filesystem::path& path) {
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
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

// The signature of the regular file at `path`; empty when there is none or
// it cannot be signed completely, so the sender then uploads the file whole.
std::vector<std::uint8_t> SignFile(DIFFLIB::DiffLibrary& library, const std::wstring& path) {
    if (path.empty())
        return {};
    const UniqueFd file = OpenRegular(platform::NativePath(path));
    if (!file)
        return {};
    const DIFFLIB::FileReader reader(file.get());
    DIFFLIB::MemoryDiffWriter signature;
    if (library.GenerateSignature(reader, signature) != DIFFLIB::Result::Ok)
        return {};
    return signature.Take();
}

DeployError WriteWhole(const std::wstring& path, std::vector<std::uint8_t>& payload,
                       std::uint64_t plainSize) {
    if (path.empty())
        return DeployError::Target;
    // The frame must declare the size the header announced before anything
    // of that size is made; the decompressed bytes must then be exactly it.
    if (!payload.empty() && DIFFLIB::LzmsOriginalSize(payload) != plainSize)
        return DeployError::Engine;
    if (DIFFLIB::DiffLibrary::DecompressBuffer(payload, plainSize) != DIFFLIB::Result::Ok ||
        payload.size() != plainSize)
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
        default:
            return kDeployMaxPayload;
    }
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
    if (target.empty() || !target.has_filename())
        return DeployError::Target;
    if (target.has_parent_path()) {
        std::error_code ignored;
        std::filesystem::create_directories(target.parent_path(), ignored);
    }
    struct stat old {};
    const bool hadOld = ::stat(target.c_str(), &old) == 0;
    if (hadOld && !S_ISREG(old.st_mode))
        return DeployError::Target;
    TempFile temp;
    const bool kept = temp.Create(target) && platform::WriteAll(temp.fd(), content) &&
                      (!hadOld || ::fchmod(temp.fd(), old.st_mode & kKeptModeBits) == 0) &&
                      (fileTime == 0 || SetLastWriteTime(temp.fd(), fileTime)) &&
                      ::fsync(temp.fd()) == 0 && temp.CloseFile() && temp.KeepAs(target);
    return kept ? DeployError::None : DeployError::Target;
}

void RunReceiver(DeployChannel& client, bool quic) {
    DIFFLIB::DiffLibrary library;
    std::wstring currentPath;
    for (;;) {
        DeployHeader header;
        std::vector<std::uint8_t> payload;
        if (!Ok(ReadHeader(client, quic, header, true)))
            return;
        const bool known = header.type == DEPLOY_SIGNATURE || header.type == DEPLOY_FULL ||
                           header.type == DEPLOY_PATCH;
        if (!Ok(ReadPayload(client, quic, header.size, PayloadCap(header),
                            known ? &payload : nullptr)))
            return;
        switch (header.type) {
            case DEPLOY_SIGNATURE: {
                currentPath = PathFromPayload(payload);
                client.Print(L"Requested signature for " + currentPath + L"... ");
                std::vector<std::uint8_t> signature;
                try {
                    signature = SignFile(library, currentPath);
                } catch (const std::bad_alloc&) {
                    signature.clear();
                }
                DeployHeader reply;
                reply.type = DEPLOY_SIGNATURE;
                reply.size = signature.size();
                WriteMessage(client, quic, reply, signature);
                break;
            }
            case DEPLOY_FULL:
                StoreAndAcknowledge(client, quic, DEPLOY_FULL, L" Writing ... \r\n", [&] {
                    return WriteWhole(currentPath, payload, header.plainSize);
                });
                break;
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

void RunTcpReceiverThread(DeployChannel& client, const std::string& host, int port) {
    net::TcpSocket socket(net::kInvalidSocket);
    if (!net::Ok(socket.Create(AF_INET6)) || !net::Ok(socket.Connect(host, port))) {
        platform::ShowMessage(L"ZADAZ Client: Could not connect to Remote Sync Server");
        return;
    }
    if (!Ok(client.AdoptConnection(std::move(socket))))
        return;
    RunReceiver(client, false);
}

}  // namespace deploy
