#pragma once
// A small HTTP client for the update service: one server at a time, GET
// requests that may carry a body, responses read into a sink afterwards.
// Used by the update thread only; a client and its handles belong to one
// thread at a time.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "http/Transfer.h"
#include "update/Result.h"
#include "update/rest/DataProvider.h"
#include "update/rest/DataWriter.h"
#include "update/rest/InternetHandle.h"

namespace Zelt::RESTAPI {

// (sent, total, context); a negative result asks the upload to stop.
using upload_progress = std::function<HRESULT(std::uint32_t, std::uint32_t, void*)>;
// (received, total, context); a negative result asks the download to stop.
using download_progress = std::function<HRESULT(std::uint64_t, std::uint64_t, void*)>;

// Extra certificate checks to relax (the values of the classic HTTP stack).
inline constexpr std::uint32_t kIgnoreUnknownCa = 0x00000100;
inline constexpr std::uint32_t kIgnoreCertCnInvalid = 0x00001000;
inline constexpr std::uint32_t kIgnoreCertDateInvalid = 0x00002000;

class rest_client {
  public:
    rest_client() = default;
    rest_client(const rest_client&) = delete;
    rest_client& operator=(const rest_client&) = delete;
    ~rest_client();

    // server is a host name, optionally followed by ":port" (self-hosted
    // services); without a port 443 or 80 is used.
    HRESULT connect(std::wstring_view server, bool secure);

    internet_handle request(std::optional<std::wstring_view> path, data_provider& body,
                            bool prefer_contiguous, std::span<const std::wstring> headers,
                            const upload_progress& progress, void* context,
                            std::span<const std::uint8_t> prefix = {},
                            std::span<const std::uint8_t> suffix = {},
                            std::uint32_t security_flags = 0);

    internet_handle request_buffer(std::optional<std::wstring_view> path, const std::uint8_t* body,
                                   std::uint32_t size, std::span<const std::wstring> headers,
                                   const upload_progress& progress, void* context,
                                   bool prefer_contiguous);

    const internet_handle& session() const { return session_; }
    const internet_handle& connection() const { return connection_; }
    const std::wstring& server() const { return server_; }
    bool secure() const { return secure_; }

    std::wstring agent = L"REST";
    // Trust anchors in PEM; empty means the system's store.
    std::string ca_file;
    // Every transfer gives up connecting after this long, so that a start
    // without network costs no visible time.
    long connect_timeout_ms = 4000;
    // Set from another thread to abort a transfer in flight.
    const std::atomic<bool>* cancel = nullptr;
    // A response body longer than this (announced or received) fails the
    // request or the read: replies are held in memory.
    std::uint64_t max_response_bytes = std::uint64_t{1} << 30;

  private:
    bool open_session();
    http::RequestOptions transfer_options(std::string url, std::string user_agent,
                                          std::uint32_t security_flags) const;

    internet_handle session_;
    internet_handle connection_;
    std::wstring server_;
    bool secure_ = false;
};

}  // namespace Zelt::RESTAPI
