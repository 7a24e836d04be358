#pragma once
// One request whose reply is pulled afterwards in pieces: sending returns
// once the response headers are in, and the body is read as the caller asks
// for it. Requests made on one ConnectionCache share its connections, so a
// second request to the same server reuses the first one's socket.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "http/Http.h"

namespace http {

class ConnectionCache {
  public:
    ConnectionCache();
    ~ConnectionCache();

    // False when libcurl could not make its handle.
    bool Valid() const;

  private:
    friend class Transfer;
    struct State;
    std::unique_ptr<State> state_;
};

struct RequestOptions {
    std::string url;
    std::string userAgent;
    std::string caFile;  // PEM; empty = the system's trust store
    long connectTimeoutMs = 4000;
    bool verifyPeer = true;
    bool verifyHost = true;
    // Header lines in order; "Name:" with no value removes a header that
    // libcurl would add by itself.
    std::vector<std::string> headers;
    // Set from another thread to abort the transfer; polled every 100 ms.
    const std::atomic<bool>* cancel = nullptr;
    // A longer response body (announced or received) ends the transfer with
    // TooLarge, so a peer cannot make us hold more than the caller can use.
    std::uint64_t maxBodyBytes = std::uint64_t{1} << 30;
};

// Fills `piece` with the next bytes of a streamed request body, leaving it
// empty at the end; false aborts the request.
using PieceSource = std::function<bool(std::vector<std::uint8_t>& piece)>;

class Transfer {
  public:
    Transfer(std::shared_ptr<ConnectionCache> cache, RequestOptions options);
    ~Transfer();

    // False when libcurl could not make its handle or refused an option.
    bool Valid() const;

    // Sends the request (verb GET; with a body when one is given, which is
    // copied) and waits for the response headers; TooLarge when they announce
    // a body longer than maxBodyBytes. May be called again after
    // a failure: the request then starts afresh.
    Status SendOnePiece(std::span<const std::uint8_t> body);
    // Sends a GET whose body of `length` bytes is pulled from `source` and
    // waits until the headers are in and the whole body has gone out.
    Status SendStreamed(std::uint64_t length, PieceSource source);

    // The response's Content-Length; nullopt without a readable one.
    std::optional<std::uint64_t> ContentLength() const;
    // Up to out.size() body bytes, waiting for more as needed; `got` = 0
    // with Ok means the body is complete. TooLarge once the body has gone
    // past maxBodyBytes (and from then on).
    Status ReadBody(std::span<std::uint8_t> out, std::size_t& got);

  private:
    friend struct TransferCallbacks;
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace http
