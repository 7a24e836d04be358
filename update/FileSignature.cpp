#include "update/FileSignature.h"

#include <fcntl.h>
#include <unistd.h>

#include "codec/DiffLib.h"

namespace Zelt {

HRESULT FileSignature(const std::filesystem::path& path, std::vector<std::uint8_t>& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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

}  // namespace Zelt
