#include "http/Curl.h"

#include <mutex>

namespace http::detail {

namespace {

void InitialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

EasyPtr NewEasy() {
    InitialiseOnce();
    return EasyPtr(curl_easy_init());
}

MultiPtr NewMulti() {
    InitialiseOnce();
    return MultiPtr(curl_multi_init());
}

bool ApplyBaseOptions(CURL* easy, const BaseOptions& options) {
    bool ok =
        curl_easy_setopt(easy, CURLOPT_URL, options.url.c_str()) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_USERAGENT, options.userAgent.c_str()) == CURLE_OK &&
        // An empty proxy text also overrides the proxy environment variables.
        curl_easy_setopt(easy, CURLOPT_PROXY, "") == CURLE_OK &&
        // Timeouts through signals do not mix with threads.
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        // A start without network must not stall on connecting.
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, options.connectTimeoutMs) == CURLE_OK;
    if (ok && !options.caFile.empty())
        ok = curl_easy_setopt(easy, CURLOPT_CAINFO, options.caFile.c_str()) == CURLE_OK;
    return ok;
}

}  // namespace http::detail
