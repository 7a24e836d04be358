#include "update/rest/RestClient.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "platform/Text.h"
#include "update/rest/CurlTransfer.h"

namespace Zelt::RESTAPI {

using detail::ConnectionObject;
using detail::RequestObject;
using detail::SessionObject;

namespace {

constexpr std::size_t kUploadChunk = 4096;

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

bool StartsWithIgnoreCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& request = *static_cast<RequestObject*>(user);
    const std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new response begins (after an interim 1xx one, for example).
        request.contentLength = 0xFFFFFFFFu;
    } else if (Trim(line).empty()) {
        long status = 0;
        curl_easy_getinfo(request.easy.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200)
            request.headersDone = true;
    } else {
        const auto colon = line.find(':');
        if (colon != std::string_view::npos) {
            std::string name(Trim(line.substr(0, colon)));
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return std::tolower(c); });
            if (name == "content-length") {
                const auto value = Trim(line.substr(colon + 1));
                std::uint32_t parsed = 0;
                const auto [end, ec] =
                    std::from_chars(value.data(), value.data() + value.size(), parsed);
                request.contentLength = (ec == std::errc() && end == value.data() + value.size())
                                            ? parsed
                                            : 0xFFFFFFFFu;
            }
        }
    }
    return size * count;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& request = *static_cast<RequestObject*>(user);
    request.headersDone = true;
    request.pending.insert(request.pending.end(), data, data + size * count);
    return size * count;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& request = *static_cast<RequestObject*>(user);
    return (request.cancel != nullptr && request.cancel->load()) ? 1 : 0;
}

// Streamed upload: prefix, then the provider's 4096-byte pieces, then suffix.
struct UploadSource {
    data_provider* body;
    std::span<const std::uint8_t> prefix;
    std::span<const std::uint8_t> suffix;
    const upload_progress* progress;
    void* context;
};

std::size_t OnUpload(char* out, std::size_t size, std::size_t count, void* user) {
    auto& request = *static_cast<RequestObject*>(user);
    if (request.uploadSource == nullptr)
        return 0;
    auto& source = *static_cast<UploadSource*>(request.uploadSource);
    const std::size_t capacity = size * count;
    while (request.stagePos >= request.stage.size()) {
        request.stage.clear();
        request.stagePos = 0;
        if (request.uploadPhase == 0) {
            request.stage.assign(source.prefix.begin(), source.prefix.end());
            request.uploadPhase = 1;
        } else if (request.uploadPhase == 1) {
            std::vector<std::uint8_t> piece(kUploadChunk, 0);
            const std::uint32_t got = source.body->read(piece);
            if (got == 0) {
                request.uploadPhase = 2;
                continue;
            }
            piece.resize(std::min<std::size_t>(got, kUploadChunk));
            request.stage = std::move(piece);
            request.sent += static_cast<std::uint32_t>(request.stage.size());
            if (*source.progress &&
                Failed((*source.progress)(request.sent, request.total, source.context))) {
                request.uploadAborted = true;
                return CURL_READFUNC_ABORT;
            }
        } else if (request.uploadPhase == 2) {
            request.stage.assign(source.suffix.begin(), source.suffix.end());
            request.uploadPhase = 3;
        } else {
            return 0;
        }
    }
    const std::size_t n = std::min(capacity, request.stage.size() - request.stagePos);
    std::memcpy(out, request.stage.data() + request.stagePos, n);
    request.stagePos += n;
    return n;
}

// Options every request gets, whatever its kind.
void ApplyCommonOptions(RequestObject& request, const std::string& url, const std::string& agent,
                        const std::string& caFile, long connectTimeoutMs,
                        std::uint32_t securityFlags) {
    CURL* easy = request.easy.get();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(easy, CURLOPT_PROXY, "");  // direct, as the service expects
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
    // A server that stops sending for this long ends the transfer.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 30L);
#if LIBCURL_VERSION_NUM >= 0x075700
    // Do not wait for a name lookup thread when a cancelled request is torn down.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
#endif
    if (!caFile.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    if (securityFlags & (kIgnoreUnknownCa | kIgnoreCertDateInvalid))
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    if (securityFlags & kIgnoreCertCnInvalid)
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &request);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &request);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
}

// Sends the request and waits for the response headers. False when the
// request could not be sent or no response came.
bool SendAndAwaitHeaders(RequestObject& request) {
    if (curl_multi_add_handle(request.multi->multi.get(), request.easy.get()) != CURLM_OK)
        return false;
    request.added = true;
    if (!request.Pump([&request] { return request.headersDone; }))
        return false;
    if (request.uploadAborted)
        return false;
    return request.headersDone || (request.finished && request.result == CURLE_OK);
}

void ResetForRetry(RequestObject& request) {
    curl_multi_remove_handle(request.multi->multi.get(), request.easy.get());
    request.added = false;
    request.headersDone = false;
    request.finished = false;
    request.result = CURLE_OK;
    request.contentLength = 0xFFFFFFFFu;
    request.pending.clear();
    request.pendingStart = 0;
}

}  // namespace

rest_client::~rest_client() {
    connection_.reset();
    session_.reset();
}

bool rest_client::open_session() {
    detail::EnsureCurlGlobal();
    session_ = internet_handle(std::make_unique<SessionObject>(platform::ToUtf8(agent)));
    return static_cast<bool>(session_);
}

HRESULT rest_client::connect(std::wstring_view server, bool secure) {
    if (!EqualsIgnoreCase(server_, server)) {
        connection_.reset();
        session_.reset();
    }
    server_ = std::wstring(server);
    secure_ = secure;
    if (!session_ && !open_session())
        return kUnexpected;
    if (!connection_) {
        auto object = std::make_unique<ConnectionObject>(platform::ToUtf8(server_), secure_);
        if (object->multi->multi)
            connection_ = internet_handle(std::move(object));
    }
    return connection_ ? kOk : kUnexpected;
}

internet_handle rest_client::request(std::optional<std::wstring_view> path, data_provider& body,
                                     bool prefer_contiguous, std::span<const std::wstring> headers,
                                     const upload_progress& progress, void* context,
                                     std::span<const std::uint8_t> prefix,
                                     std::span<const std::uint8_t> suffix,
                                     std::uint32_t security_flags) {
    if (!path)
        return {};

    // An absolute URL is opened on a fresh session of its own; headers and
    // body do not apply to it.
    if (StartsWithIgnoreCase(*path, L"http://") || StartsWithIgnoreCase(*path, L"https://")) {
        connection_.reset();
        session_.reset();
        if (!open_session())
            return {};
        auto holder = std::make_shared<detail::MultiHolder>();
        holder->multi.reset(curl_multi_init());
        if (!holder->multi)
            return {};
        auto object = std::make_unique<RequestObject>(std::move(holder));
        object->easy.reset(curl_easy_init());
        if (!object->easy)
            return {};
        object->cancel = cancel;
        ApplyCommonOptions(*object, platform::ToUtf8(*path), platform::ToUtf8(agent), ca_file,
                           connect_timeout_ms, 0);
        curl_easy_setopt(object->easy.get(), CURLOPT_HTTPGET, 1L);
        if (!SendAndAwaitHeaders(*object))
            return {};
        return internet_handle(std::move(object));
    }

    auto* connection = connection_.as<ConnectionObject>();
    auto* session = session_.as<SessionObject>();
    if (connection == nullptr || session == nullptr)
        return {};

    auto object = std::make_unique<RequestObject>(connection->multi);
    object->easy.reset(curl_easy_init());
    if (!object->easy)
        return {};
    object->cancel = cancel;
    const std::string url = std::string(connection->secure ? "https://" : "http://") +
                            connection->server + platform::ToUtf8(*path);
    ApplyCommonOptions(*object, url, session->agent, ca_file, connect_timeout_ms, security_flags);
    CURL* easy = object->easy.get();

    // Header lines in order; libcurl's own defaults for a body are removed so
    // that only what the caller asked for travels.
    bool callerContentType = false;
    curl_slist* list = nullptr;
    for (const auto& line : headers) {
        if (line.empty())
            continue;
        if (StartsWithIgnoreCase(line, L"content-type:"))
            callerContentType = true;
        list = curl_slist_append(list, platform::ToUtf8(line).c_str());
    }
    list = curl_slist_append(list, "Expect:");
    if (!callerContentType)
        list = curl_slist_append(list, "Content-Type:");
    list = curl_slist_append(list, "Accept: */*");
    object->headers.reset(list);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

    const bool prefixGiven = prefix.data() != nullptr;
    const bool suffixGiven = suffix.data() != nullptr;
    const std::uint32_t size = body.size();
    const bool onePiece =
        !prefixGiven && !suffixGiven && ((prefer_contiguous && body.is_contiguous()) || size == 0);

    if (onePiece) {
        const auto [bodySize, data] = body.contiguous();
        if (bodySize == 0) {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data);
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "GET");
        }
        bool sentOk = SendAndAwaitHeaders(*object);
        // The one retry: a server that asks for a client certificate gets the
        // same request once more.
        if (!sentOk && object->finished && object->result == CURLE_SSL_CLIENTCERT) {
            ResetForRetry(*object);
            sentOk = SendAndAwaitHeaders(*object);
        }
        if (!sentOk)
            return {};
        if (progress)
            progress(bodySize, bodySize, context);
        return internet_handle(std::move(object));
    }

    // Streamed body.
    UploadSource source{&body, prefix, suffix, &progress, context};
    object->total = size;
    const curl_off_t length =
        static_cast<curl_off_t>(prefix.size()) + size + static_cast<curl_off_t>(suffix.size());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, length);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, OnUpload);
    curl_easy_setopt(easy, CURLOPT_READDATA, object.get());
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "GET");
    object->uploadSource = &source;
    bool sentOk = SendAndAwaitHeaders(*object);
    if (sentOk) {
        RequestObject& r = *object;
        r.Pump([&r] { return r.uploadPhase == 3 && r.stagePos >= r.stage.size(); });
        sentOk = !r.uploadAborted && (r.uploadPhase == 3 || r.finished);
    }
    // The upload source lives on this stack frame: no read may follow.
    object->uploadSource = nullptr;
    if (!sentOk)
        return {};
    return internet_handle(std::move(object));
}

internet_handle rest_client::request_buffer(std::optional<std::wstring_view> path,
                                            const std::uint8_t* body, std::uint32_t size,
                                            std::span<const std::wstring> headers,
                                            const upload_progress& progress, void* context,
                                            bool prefer_contiguous) {
    memory_data_provider provider(body, body == nullptr ? 0 : size);
    return request(path, provider, prefer_contiguous, headers, progress, context);
}

}  // namespace Zelt::RESTAPI
