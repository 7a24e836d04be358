#include "update/rest/RestClient.h"

#include <algorithm>
#include <cwctype>

#include "platform/Text.h"
#include "update/rest/InternetObjects.h"

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

// The body pieces of a streamed request: the prefix, the body in chunks of
// 4096 bytes (each reported to the upload callback), the suffix.
class StreamedBody {
  public:
    StreamedBody(data_provider& body, std::span<const std::uint8_t> prefix,
                 std::span<const std::uint8_t> suffix, const upload_progress& progress,
                 void* context)
        : body_(body),
          prefix_(prefix),
          suffix_(suffix),
          progress_(progress),
          context_(context),
          total_(body.size()) {}

    std::uint64_t Length() const { return prefix_.size() + std::uint64_t{total_} + suffix_.size(); }

    bool Next(std::vector<std::uint8_t>& piece) {
        for (;;) {
            if (phase_ == Phase::Done) {
                piece.clear();
                return true;
            }
            if (phase_ == Phase::Body) {
                piece.assign(kUploadChunk, 0);
                const std::uint32_t got = body_.read(piece);
                if (got == 0) {
                    phase_ = Phase::Suffix;
                    continue;
                }
                piece.resize(std::min<std::size_t>(got, kUploadChunk));
                sent_ += static_cast<std::uint32_t>(piece.size());
                // A negative answer stops the upload, and with it the request.
                return !(progress_ && Failed(progress_(sent_, total_, context_)));
            }
            // The prefix and the suffix go whole, each once, unless empty.
            const std::span<const std::uint8_t> part = phase_ == Phase::Prefix ? prefix_ : suffix_;
            phase_ = phase_ == Phase::Prefix ? Phase::Body : Phase::Done;
            if (!part.empty()) {
                piece.assign(part.begin(), part.end());
                return true;
            }
        }
    }

  private:
    enum class Phase { Prefix, Body, Suffix, Done };

    data_provider& body_;
    std::span<const std::uint8_t> prefix_;
    std::span<const std::uint8_t> suffix_;
    const upload_progress& progress_;
    void* context_;
    std::uint32_t total_;
    std::uint32_t sent_ = 0;
    Phase phase_ = Phase::Prefix;
};

}  // namespace

rest_client::~rest_client() {
    connection_.reset();
    session_.reset();
}

bool rest_client::open_session() {
    session_ = internet_handle(std::make_unique<SessionObject>(platform::ToUtf8(agent)));
    return static_cast<bool>(session_);
}

http::RequestOptions rest_client::transfer_options(std::string url, std::string user_agent,
                                                   std::uint32_t security_flags) const {
    http::RequestOptions options;
    options.url = std::move(url);
    options.userAgent = std::move(user_agent);
    options.caFile = ca_file;
    options.connectTimeoutMs = connect_timeout_ms;
    options.verifyPeer = (security_flags & (kIgnoreUnknownCa | kIgnoreCertDateInvalid)) == 0;
    options.verifyHost = (security_flags & kIgnoreCertCnInvalid) == 0;
    options.cancel = cancel;
    options.maxBodyBytes = max_response_bytes;
    return options;
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
        if (object->cache->Valid())
            connection_ = internet_handle(std::move(object));
    }
    return connection_ ? kOk : kUnexpected;
}

// Whatever went wrong in the HTTP client, a request that was not sent is an
// empty handle: that is where its statuses end.
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
        auto cache = std::make_shared<http::ConnectionCache>();
        if (!cache->Valid())
            return {};
        auto object = std::make_unique<RequestObject>(
            std::move(cache),
            transfer_options(platform::ToUtf8(*path), platform::ToUtf8(agent), 0));
        if (object->transfer.SendOnePiece({}) != http::Status::Ok)
            return {};
        return internet_handle(std::move(object));
    }

    auto* connection = connection_.as<ConnectionObject>();
    auto* session = session_.as<SessionObject>();
    if (connection == nullptr || session == nullptr)
        return {};

    http::RequestOptions options =
        transfer_options(std::string(connection->secure ? "https://" : "http://") +
                             connection->server + platform::ToUtf8(*path),
                         session->agent, security_flags);
    // Header lines in order; libcurl's own defaults for a body are removed so
    // that only what the caller asked for travels.
    bool callerContentType = false;
    for (const auto& line : headers) {
        if (line.empty())
            continue;
        if (StartsWithIgnoreCase(line, L"content-type:"))
            callerContentType = true;
        options.headers.push_back(platform::ToUtf8(line));
    }
    options.headers.emplace_back("Expect:");
    if (!callerContentType)
        options.headers.emplace_back("Content-Type:");
    options.headers.emplace_back("Accept: */*");
    auto object = std::make_unique<RequestObject>(connection->cache, std::move(options));
    http::Transfer& transfer = object->transfer;

    const bool prefixGiven = prefix.data() != nullptr;
    const bool suffixGiven = suffix.data() != nullptr;
    const bool onePiece = !prefixGiven && !suffixGiven &&
                          ((prefer_contiguous && body.is_contiguous()) || body.size() == 0);

    if (onePiece) {
        const auto [bodySize, data] = body.contiguous();
        const std::span<const std::uint8_t> bytes =
            data != nullptr ? std::span(data, bodySize) : std::span<const std::uint8_t>();
        http::Status status = transfer.SendOnePiece(bytes);
        // The one retry: a server that asks for a client certificate gets the
        // same request once more.
        if (status == http::Status::ClientCertificateNeeded)
            status = transfer.SendOnePiece(bytes);
        if (status != http::Status::Ok)
            return {};
        if (progress)
            progress(bodySize, bodySize, context);
        return internet_handle(std::move(object));
    }

    StreamedBody pieces(body, prefix, suffix, progress, context);
    if (transfer.SendStreamed(pieces.Length(), [&pieces](std::vector<std::uint8_t>& piece) {
            return pieces.Next(piece);
        }) != http::Status::Ok)
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
