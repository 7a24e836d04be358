#include "http/Get.h"

#include <span>

#include "http/Curl.h"

namespace http {

namespace {

struct Collector {
    std::vector<std::uint8_t> body;
    std::size_t limit = 0;
    bool tooLarge = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* context) {
    auto* collector = static_cast<Collector*>(context);
    const std::size_t length = size * count;
    if (length > collector->limit - collector->body.size()) {
        collector->tooLarge = true;
        return 0;  // aborts the transfer
    }
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(data), length);
    collector->body.insert(collector->body.end(), bytes.begin(), bytes.end());
    return length;
}

}  // namespace

GetReply Get(std::string_view url, const GetOptions& options) {
    GetReply reply;
    detail::EasyPtr curl = detail::NewEasy();
    if (!curl)
        return reply;
    const std::string urlText(url);
    Collector collector;
    collector.limit = options.maxBodyBytes;

    CURL* easy = curl.get();
    const bool ok = detail::ApplyBaseOptions(easy, {urlText, options.userAgent, options.caFile,
                                                    options.connectTimeoutMs}) &&
                    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
                    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
                    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L) == CURLE_OK &&
                    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
                    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L) == CURLE_OK &&
                    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, options.timeoutMs) == CURLE_OK &&
                    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect) == CURLE_OK &&
                    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &collector) == CURLE_OK;
    if (!ok)
        return reply;
    const CURLcode result = curl_easy_perform(easy);
    if (collector.tooLarge) {
        reply.status = Status::TooLarge;
    } else if (result == CURLE_OK) {
        reply.status = Status::Ok;
        reply.body = std::move(collector.body);
    }
    return reply;
}

}  // namespace http
