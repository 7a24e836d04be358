// Compressed frames as a peer sends them (deployment payloads and patches).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/DiffLib.h"
#include "codec/Lzms.h"

using namespace DIFFLIB;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> frame(data, size);
    const auto declared = LzmsOriginalSize(frame);
    std::vector<std::uint8_t> buffer(frame.begin(), frame.end());
    const Result result = DiffLibrary::DecompressBuffer(buffer);
    if (result == Result::Ok) {
        // A frame that decompresses tells its size truly.
        if (size != 0 && (!declared || *declared != buffer.size()))
            __builtin_trap();
    } else if (buffer.size() != size) {
        __builtin_trap();  // failure leaves the buffer as it was
    }
    return 0;
}
