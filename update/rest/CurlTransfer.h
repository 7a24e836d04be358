#pragma once
// The objects behind internet_handle on top of libcurl. A request runs on a
// multi handle so that sending returns once the response headers are in and
// the body is pulled afterwards in pieces, as the reader asks for it.
#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "update/rest/InternetHandle.h"
#include "update/rest/Result.h"

namespace Zelt::RESTAPI::detail {

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

// Process-wide libcurl initialisation, done once.
void EnsureCurlGlobal();

class SessionObject final : public internet_object {
  public:
    explicit SessionObject(std::string agent) : agent(std::move(agent)) {}
    std::string agent;
};

// A multi handle shared by the connection and the requests made on it; its
// connection cache is what lets a second request reuse the first's socket.
struct MultiHolder {
    MultiPtr multi;
};

class ConnectionObject final : public internet_object {
  public:
    ConnectionObject(std::string server, bool secure);
    std::string server;  // host[:port], UTF-8
    bool secure;
    std::shared_ptr<MultiHolder> multi;
};

class RequestObject final : public internet_object {
  public:
    explicit RequestObject(std::shared_ptr<MultiHolder> multi);
    ~RequestObject() override;

    // Runs the transfer until `enough` holds or the transfer has ended.
    // False when it was cancelled.
    bool Pump(const std::function<bool()>& enough);
    // Takes up to `capacity` buffered body bytes; waits for more as needed.
    // 0 with ok = true means the body is complete.
    std::size_t ReadBody(std::uint8_t* out, std::size_t capacity, bool& ok);

    std::shared_ptr<MultiHolder> multi;
    EasyPtr easy;
    SlistPtr headers;
    bool added = false;

    // Response state, filled by libcurl's callbacks.
    bool headersDone = false;
    bool finished = false;
    CURLcode result = CURLE_OK;
    std::uint32_t contentLength = 0xFFFFFFFFu;
    std::vector<std::uint8_t> pending;
    std::size_t pendingStart = 0;

    // Streamed upload state.
    std::vector<std::uint8_t> stage;
    std::size_t stagePos = 0;
    int uploadPhase = 0;  // 0 prefix, 1 body, 2 suffix, 3 done
    std::uint32_t sent = 0;
    std::uint32_t total = 0;
    bool uploadAborted = false;
    void* uploadSource = nullptr;  // valid only while the request is being sent

    const std::atomic<bool>* cancel = nullptr;
};

}  // namespace Zelt::RESTAPI::detail
