#pragma once
// Internal to the HTTP module: owners of libcurl handles and the options
// every transfer gets.
#include <curl/curl.h>

#include <memory>
#include <string>

namespace http::detail {

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using MultiPtr = std::unique_ptr<CURLM, MultiDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

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
