// The 32-byte header of a relay control message: decoding and encoding again
// gives the same bytes.
#include "FixedInput.h"
#include "net/RelayHeader.h"

using namespace net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto raw = FixedInput<kRelayHeaderSize>(data, size);
    if (raw && EncodeRelayHeader(DecodeRelayHeader(*raw)) != *raw)
        __builtin_trap();
    return 0;
}
