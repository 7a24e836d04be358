#include "quic/HttpGet.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <span>

namespace quic {

namespace {

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct Reply {
    std::vector<std::uint8_t> body;
    std::size_t limit = 0;
    bool tooLong = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* context) {
    auto* reply = static_cast<Reply*>(context);
    const std::size_t length = size * count;
    if (length > reply->limit - reply->body.size()) {
        reply->tooLong = true;
        return 0;  // aborts the transfer
    }
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(data), length);
    reply->body.insert(reply->body.end(), bytes.begin(), bytes.end());
    return length;
}

// libcurl's global set-up is not safe to race with first uses on other threads.
void InitialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::vector<std::uint8_t> HttpGet(std::string_view url) {
    return HttpGet(url, HttpGetOptions{});
}

std::vector<std::uint8_t> HttpGet(std::string_view url, const HttpGetOptions& options) {
    InitialiseCurlOnce();
    CurlHandle curl(curl_easy_init());
    if (!curl)
        return {};
    const std::string urlText(url);
    Reply reply;
    reply.limit = options.maxBodyBytes;

    CURL* handle = curl.get();
    bool ok =
        curl_easy_setopt(handle, CURLOPT_URL, urlText.c_str()) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "Marvolent") == CURLE_OK &&
        // An empty proxy text also overrides the proxy environment variables.
        curl_easy_setopt(handle, CURLOPT_PROXY, "") == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        // An error page is no reply: its text must not pass for an address.
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, options.timeoutMs) == CURLE_OK &&
        // Timeouts through signals do not mix with threads.
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Collect) == CURLE_OK &&
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply) == CURLE_OK;
    if (ok && !options.caFile.empty())
        ok = curl_easy_setopt(handle, CURLOPT_CAINFO, options.caFile.c_str()) == CURLE_OK;
    if (!ok || curl_easy_perform(handle) != CURLE_OK || reply.tooLong)
        return {};
    return std::move(reply.body);
}

}  // namespace quic
