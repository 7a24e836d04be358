#include "http/Transfer.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>
#include <string_view>

#include "http/Curl.h"

namespace http {

struct ConnectionCache::State {
    detail::MultiPtr multi = detail::NewMulti();
};

ConnectionCache::ConnectionCache() : state_(std::make_unique<State>()) {}
ConnectionCache::~ConnectionCache() = default;

bool ConnectionCache::Valid() const {
    return state_->multi != nullptr;
}

struct Transfer::State {
    // Declared first so that it outlives the easy handle it holds.
    std::shared_ptr<ConnectionCache> cache;
    detail::EasyPtr easy;
    detail::SlistPtr headers;
    RequestOptions options;
    bool valid = false;
    bool added = false;

    // Response state, filled by libcurl's callbacks.
    bool headersDone = false;
    bool finished = false;
    bool tooLarge = false;
    std::uint64_t bodyBytes = 0;  // received so far, handed out or pending
    CURLcode result = CURLE_OK;
    std::optional<std::uint64_t> contentLength;
    std::vector<std::uint8_t> pending;
    std::size_t pendingStart = 0;

    // Streamed upload state; the source lives only while SendStreamed runs.
    PieceSource source;
    std::vector<std::uint8_t> stage;
    std::size_t stagePos = 0;
    std::uint64_t length = 0;
    std::uint64_t handedOut = 0;
    bool sourceEnded = false;
    bool uploadAborted = false;

    ~State() {
        if (added)
            curl_multi_remove_handle(Multi(), easy.get());
    }

    CURLM* Multi() const { return cache->state_->multi.get(); }
    bool Cancelled() const { return options.cancel != nullptr && options.cancel->load(); }
    bool UploadDone() const {
        return sourceEnded || (handedOut >= length && stagePos >= stage.size());
    }

    // Runs the transfer until `enough` holds or the transfer has ended.
    // False when it was cancelled.
    bool Pump(const std::function<bool()>& enough);
    Status SendAndAwaitHeaders();
    void Detach();
};

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

}  // namespace

struct TransferCallbacks {
    using State = Transfer::State;

    static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
        auto& state = *static_cast<State*>(user);
        const std::string_view line(data, size * count);
        if (line.rfind("HTTP/", 0) == 0) {
            // A new response begins (after an interim 1xx one, for example).
            state.contentLength.reset();
        } else if (Trim(line).empty()) {
            long status = 0;
            curl_easy_getinfo(state.easy.get(), CURLINFO_RESPONSE_CODE, &status);
            if (status >= 200) {
                if (state.contentLength && *state.contentLength > state.options.maxBodyBytes) {
                    state.tooLarge = true;
                    return 0;  // aborts the transfer before any of the body
                }
                state.headersDone = true;
            }
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            std::string name(Trim(line.substr(0, colon)));
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            if (name == "content-length") {
                const auto value = Trim(line.substr(colon + 1));
                std::uint64_t parsed = 0;
                const auto [end, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), parsed);
                if (ec == std::errc() && end == value.data() + value.size())
                    state.contentLength = parsed;
                else
                    state.contentLength.reset();
            }
        }
        return size * count;
    }

    static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
        auto& state = *static_cast<State*>(user);
        const std::size_t length = size * count;
        if (length > state.options.maxBodyBytes - state.bodyBytes) {
            state.tooLarge = true;
            return 0;  // aborts the transfer
        }
        state.headersDone = true;
        state.bodyBytes += length;
        state.pending.insert(state.pending.end(), data, data + length);
        return length;
    }

    static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<State*>(user)->Cancelled() ? 1 : 0;
    }

    static std::size_t OnUpload(char* out, std::size_t size, std::size_t count, void* user) {
        auto& state = *static_cast<State*>(user);
        if (!state.source)
            return 0;
        while (state.stagePos >= state.stage.size()) {
            if (state.sourceEnded)
                return 0;
            state.stage.clear();
            state.stagePos = 0;
            if (!state.source(state.stage)) {
                state.uploadAborted = true;
                return CURL_READFUNC_ABORT;
            }
            if (state.stage.empty()) {
                state.sourceEnded = true;
                return 0;
            }
        }
        const std::size_t n = std::min(size * count, state.stage.size() - state.stagePos);
        std::memcpy(out, state.stage.data() + state.stagePos, n);
        state.stagePos += n;
        state.handedOut += n;
        return n;
    }
};

bool Transfer::State::Pump(const std::function<bool()>& enough) {
    CURLM* m = Multi();
    while (!enough() && !finished) {
        if (Cancelled()) {
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
    // A cancel that the progress callback saw first ends the transfer the
    // same way as one seen here.
    return !(finished && result == CURLE_ABORTED_BY_CALLBACK && Cancelled());
}

Status Transfer::State::SendAndAwaitHeaders() {
    if (curl_multi_add_handle(Multi(), easy.get()) != CURLM_OK)
        return Status::Failed;
    added = true;
    if (!Pump([this] { return headersDone; }) || uploadAborted)
        return Status::Aborted;
    if (tooLarge)
        return Status::TooLarge;
    if (headersDone || (finished && result == CURLE_OK))
        return Status::Ok;
    if (finished && result == CURLE_SSL_CLIENTCERT)
        return Status::ClientCertificateNeeded;
    return Status::Failed;
}

// Takes the request off the connection cache and forgets everything received.
void Transfer::State::Detach() {
    if (added)
        curl_multi_remove_handle(Multi(), easy.get());
    added = false;
    headersDone = false;
    finished = false;
    tooLarge = false;
    bodyBytes = 0;
    result = CURLE_OK;
    contentLength.reset();
    pending.clear();
    pendingStart = 0;
}

Transfer::Transfer(std::shared_ptr<ConnectionCache> cache, RequestOptions options)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.cache = std::move(cache);
    s.options = std::move(options);
    if (!s.cache || !s.cache->Valid())
        return;
    s.easy = detail::NewEasy();
    if (!s.easy)
        return;
    CURL* easy = s.easy.get();
    const RequestOptions& o = s.options;
    if (!detail::ApplyBaseOptions(easy, {o.url, o.userAgent, o.caFile, o.connectTimeoutMs}))
        return;
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // A server that stops sending for this long ends the transfer.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 30L);
#if LIBCURL_VERSION_NUM >= 0x075700
    // Do not wait for a name lookup thread when a cancelled request is torn down.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
#endif
    if (!o.verifyPeer)
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    if (!o.verifyHost)
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &TransferCallbacks::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &TransferCallbacks::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &s);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &TransferCallbacks::OnProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &s);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    if (!o.headers.empty()) {
        curl_slist* list = nullptr;
        for (const auto& line : o.headers)
            list = curl_slist_append(list, line.c_str());
        s.headers.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    }
    s.valid = true;
}

Transfer::~Transfer() = default;

bool Transfer::Valid() const {
    return state_->valid;
}

Status Transfer::SendOnePiece(std::span<const std::uint8_t> body) {
    State& s = *state_;
    if (!s.valid)
        return Status::Failed;
    s.Detach();
    CURL* easy = s.easy.get();
    if (body.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "GET");
    }
    return s.SendAndAwaitHeaders();
}

Status Transfer::SendStreamed(std::uint64_t length, PieceSource source) {
    State& s = *state_;
    if (!s.valid)
        return Status::Failed;
    s.Detach();
    CURL* easy = s.easy.get();
    s.source = std::move(source);
    s.stage.clear();
    s.stagePos = 0;
    s.length = length;
    s.handedOut = 0;
    s.sourceEnded = false;
    s.uploadAborted = false;
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &TransferCallbacks::OnUpload);
    curl_easy_setopt(easy, CURLOPT_READDATA, &s);
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "GET");
    Status status = s.SendAndAwaitHeaders();
    if (status == Status::Ok) {
        s.Pump([&s] { return s.UploadDone(); });
        if (s.uploadAborted)
            status = Status::Aborted;
        else if (!s.UploadDone() && !s.finished)
            status = Status::Failed;
    }
    // The source may refer to its caller's frame: nothing may read it later.
    s.source = nullptr;
    return status;
}

std::optional<std::uint64_t> Transfer::ContentLength() const {
    return state_->contentLength;
}

Status Transfer::ReadBody(std::span<std::uint8_t> out, std::size_t& got) {
    State& s = *state_;
    got = 0;
    if (!s.added)
        return Status::Failed;
    s.Pump([&s] { return s.pending.size() > s.pendingStart; });
    const std::size_t available = s.pending.size() - s.pendingStart;
    if (s.tooLarge)
        return Status::TooLarge;
    if (available == 0)
        return s.finished && s.result == CURLE_OK ? Status::Ok : Status::Failed;
    got = std::min(available, out.size());
    std::memcpy(out.data(), s.pending.data() + s.pendingStart, got);
    s.pendingStart += got;
    if (s.pendingStart == s.pending.size()) {
        s.pending.clear();
        s.pendingStart = 0;
    }
    return Status::Ok;
}

}  // namespace http
