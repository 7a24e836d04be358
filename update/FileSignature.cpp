#include "update/FileSignature.h"

#include <fcntl.h>
#include <unistd.h>

#include "codec/DiffLib.h"
#include "codec/Signature.h"
#include "platform/Files.h"

namespace Zelt {

HRESULT FileSignature(const std::filesystem::path& path, std::vector<std::uint8_t>& out) {
    out.clear();
    const int fd = platform::OpenPath(path, O_RDONLY | platform::kOpenNoBlock);
    if (fd < 0)
        return kFail;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    DIFFLIB::DiffLibrary library;
    const DIFFLIB::FileReader reader(fd);
    DIFFLIB::MemoryDiffWriter writer;
    library.GenerateSignature(reader, writer);
    out = writer.Take();
    return out.empty() ? kFail : kOk;
}

std::optional<std::uint64_t> SignedLength(std::span<const std::uint8_t> signature) {
    using namespace DIFFLIB;
    if (signature.size() < kSignatureHeaderSize ||
        (signature.size() - kSignatureHeaderSize) % kSignatureRecordSize != 0)
        return std::nullopt;
    ChunkParameters parameters;
    if (DecodeSignatureHeader(signature.first<kSignatureHeaderSize>(), parameters) !=
        HeaderCheck::Ok)
        return std::nullopt;
    std::uint64_t length = 0;
    for (std::size_t at = kSignatureHeaderSize; at < signature.size(); at += kSignatureRecordSize) {
        ChunkRecord record;
        if (!DecodeChunkRecord(signature.subspan(at).first<kSignatureRecordSize>(), parameters,
                               record))
            return std::nullopt;
        length += record.length;
    }
    return length;
}

}  // namespace Zelt
