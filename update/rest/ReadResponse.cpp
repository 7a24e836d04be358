#include "update/rest/ReadResponse.h"

#include <array>

#include "update/rest/CurlTransfer.h"

namespace Zelt::RESTAPI {

namespace {
constexpr std::size_t kReadPiece = 10000;
}

HRESULT read_response(const internet_handle& request, data_writer& writer,
                      const download_progress& progress, void* context, bool allow_decoding) {
    auto* transfer = request.as<detail::RequestObject>();
    if (transfer == nullptr)
        return kFail;
    // Content decoding is settled when the response headers arrive; the flag
    // only decides whether a failed read gets its one more try.
    bool decoding = allow_decoding;
    const std::uint64_t total = transfer->contentLength;
    std::uint64_t received = 0;
    std::array<std::uint8_t, kReadPiece> buffer{};
    for (;;) {
        bool ok = true;
        std::size_t got = transfer->ReadBody(buffer.data(), buffer.size(), ok);
        if (!ok && decoding) {
            decoding = false;
            got = transfer->ReadBody(buffer.data(), buffer.size(), ok);
        }
        if (!ok)
            return kFail;
        if (got == 0)
            return kOk;
        received += got;
        if (writer.write(std::span<const std::uint8_t>(buffer.data(), got)) != got)
            return kFail;
        if (progress && Failed(progress(received, total, context)))
            return kAbort;
    }
}

HRESULT read_response_bytes(const internet_handle& request, std::vector<std::uint8_t>& bytes,
                            const download_progress& progress, void* context, bool allow_decoding) {
    memory_data_writer writer;
    const HRESULT result = read_response(request, writer, progress, context, allow_decoding);
    bytes = std::move(writer.bytes);
    return result;
}

}  // namespace Zelt::RESTAPI
