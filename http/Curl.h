#pragma once
// Internal to the HTTP module: owners of libcurl handles and the options
// every transfer gets.
#include <curl/curl.h>

#include <memory>
#include <string>

namespace http::detail {

// Releases a handle with the libcurl function made for it.
template <auto Free>
struct Releaser {
    template <typename Handle>
    void operator()(Handle* handle) const {
        Free(handle);
    }
};
using EasyPtr = std::unique_ptr<CURL, Releaser<curl_easy_cleanup>>;
using MultiPtr = std::unique_ptr<CURLM, Releaser<curl_multi_cleanup>>;
using SlistPtr = std::unique_ptr<curl_slist, Releaser<curl_slist_free_all>>;

// libcurl's global set-up is not safe to race with first uses on other
// threads: every handle is made through these.
EasyPtr NewEasy();
MultiPtr NewMulti();

struct BaseOptions {
    const std::string& url;
    const std::string& userAgent;
    const std::string& caFile;  // empty: the system's trust store
    long connectTimeoutMs;
};

// Direct connection (proxy settings of the environment are not used), HTTP
// and HTTPS only, no signals. False when libcurl refused an option.
bool ApplyBaseOptions(CURL* easy, const BaseOptions& options);

}  // namespace http::detail
