#include "update/rest/ReadResponse.h"

#include <array>

#include "update/rest/InternetObjects.h"

namespace Zelt::RESTAPI {

namespace {

constexpr std::size_t kReadPiece = 10000;
// The 32-bit total of the classic HTTP stack: no length, or one too large
// for it, is reported as all bits set.
constexpr std::uint32_t kUnknownLength = 0xFFFFFFFFu;

}  // namespace

HRESULT read_response(const internet_handle& request, data_writer& writer,
                      const download_progress& progress, void* context, bool allow_decoding) {
    auto* object = request.as<detail::RequestObject>();
    if (object == nullptr)
        return kFail;
    http::Transfer& transfer = object->transfer;
    // Content decoding is settled when the response headers arrive; the flag
    // only decides whether a failed read gets its one more try.
    bool decoding = allow_decoding;
    const auto length = transfer.ContentLength();
    const std::uint64_t total =
        length && *length <= kUnknownLength ? *length : std::uint64_t{kUnknownLength};
    std::uint64_t received = 0;
    std::array<std::uint8_t, kReadPiece> buffer{};
    for (;;) {
        // Every status of the HTTP client other than success is this read's kFail.
        std::size_t got = 0;
        http::Status status = transfer.ReadBody(buffer, got);
        if (status != http::Status::Ok && decoding) {
            decoding = false;
            status = transfer.ReadBody(buffer, got);
        }
        if (status != http::Status::Ok)
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
