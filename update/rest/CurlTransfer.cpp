#include "update/rest/CurlTransfer.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace Zelt::RESTAPI::detail {

void EnsureCurlGlobal() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

ConnectionObject::ConnectionObject(std::string server, bool secure)
    : server(std::move(server)), secure(secure), multi(std::make_shared<MultiHolder>()) {
    multi->multi.reset(curl_multi_init());
}

RequestObject::RequestObject(std::shared_ptr<MultiHolder> multi) : multi(std::move(multi)) {}

RequestObject::~RequestObject() {
    if (added && multi && multi->multi)
        curl_multi_remove_handle(multi->multi.get(), easy.get());
}

bool RequestObject::Pump(const std::function<bool()>& enough) {
    CURLM* m = multi->multi.get();
    while (!enough() && !finished) {
        if (cancel != nullptr && cancel->load()) {
            finished = true;
            result = CURLE_ABORTED_BY_CALLBACK;
            return false;
        }
        int running = 0;
        if (curl_multi_perform(m, &running) != CURLM_OK) {
            finished = true;
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(m, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get()) {
                finished = true;
                result = message->data.result;
            }
        }
        if (finished || enough())
            break;
        // Short waits keep a cancel request from another thread prompt.
        curl_multi_poll(m, nullptr, 0, 100, nullptr);
    }
    return true;
}

std::size_t RequestObject::ReadBody(std::uint8_t* out, std::size_t capacity, bool& ok) {
    ok = true;
    Pump([this] { return pending.size() > pendingStart; });
    const std::size_t available = pending.size() - pendingStart;
    if (available == 0) {
        ok = finished && result == CURLE_OK;
        return 0;
    }
    const std::size_t count = std::min(available, capacity);
    std::memcpy(out, pending.data() + pendingStart, count);
    pendingStart += count;
    if (pendingStart == pending.size()) {
        pending.clear();
        pendingStart = 0;
    }
    return count;
}

}  // namespace Zelt::RESTAPI::detail
