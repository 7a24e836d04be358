#pragma once
// One bidirectional QUIC stream of a session: the control stream, or a tunnel
// stream bridged to a local TCP connection. A tunnel stream's socket is
// attached to the connection's worker, and the stream's events (on that
// thread) move the bytes: what the socket has goes onto the stream while
// fewer than kBridgeUnacknowledgedLimit bytes wait for acknowledgement, and
// what the stream receives goes to the socket as far as it takes it without
// blocking, the rest (at most kSocketQueueCapacity) when it is writable
// again. No thread of its own sits between the socket and the stream.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "net/TcpSocket.h"
#include "quic/Bridge.h"
#include "quic/QuicHandleGuard.h"
#include "quic/api/msquic_api.h"

namespace quic {

class QuicSession;

// Installed on control streams; called first for every event of the stream.
using StreamHandler = QUIC_STATUS (*)(HQUIC stream, QUIC_STREAM_EVENT* event, void* context);

// The bytes of one Send, owned until the layer reports the send complete.
struct SendRequest {
    explicit SendRequest(std::span<const std::uint8_t> data)
        : bytes(std::make_unique_for_overwrite<std::uint8_t[]>(data.size())),
          buffer{static_cast<std::uint32_t>(data.size()), bytes.get()} {
        std::copy(data.begin(), data.end(), bytes.get());
    }
    // Room for `capacity` bytes to be filled in place (then Resize).
    explicit SendRequest(std::size_t capacity)
        : bytes(std::make_unique_for_overwrite<std::uint8_t[]>(capacity)),
          buffer{static_cast<std::uint32_t>(capacity), bytes.get()} {}
    SendRequest(const SendRequest&) = delete;
    SendRequest& operator=(const SendRequest&) = delete;

    // Shortens the request to the `size` bytes filled in.
    void Resize(std::size_t size) { buffer.Length = static_cast<std::uint32_t>(size); }
    std::size_t Size() const { return buffer.Length; }

    std::unique_ptr<std::uint8_t[]> bytes;
    QUIC_BUFFER buffer;
};

// Gives the peer back the flow-control credit of bytes a reader has finished
// with; safe to call after the stream has gone.
using ReceiveCredit = std::function<void(std::size_t)>;

// What a paced sender (the deployment on the control stream) keeps queued
// at most, and how long it waits for the layer to complete some of it.
inline constexpr std::size_t kPacedSendLimit = std::size_t{4} << 20;
inline constexpr std::chrono::milliseconds kPacedSendIdle{30000};

// Received bytes a bridged stream holds for its local connection while the
// socket takes no more; beyond this the stream's credit is withheld, so a
// local peer that does not read stops only its own stream.
inline constexpr std::size_t kSocketQueueCapacity = std::size_t{256} << 10;

// A RECEIVE event's buffers as one block: a single buffer as it is, several
// joined into `joined`.
std::span<const std::uint8_t> ReceivedBlock(const QUIC_STREAM_EVENT& event,
                                            std::vector<std::uint8_t>& joined);

struct QuicStreamInit {
    // Announced in the preamble (server tunnel streams); 0 sends none.
    int port = 0;
    StreamHandler handler = nullptr;
    void* context = nullptr;
    // Kept alive with the stream, for what `context` points into.
    std::shared_ptr<void> handlerState;
    // Client tunnel streams: the first bytes received must be a preamble.
    bool expectsPreamble = false;
    // The local connection bridged to the stream, if any.
    net::TcpSocket socket{net::kInvalidSocket};
    // Its place under the session's cap, held until the stream has ended.
    std::shared_ptr<BridgeSlot> slot;
};

class QuicStream : public std::enable_shared_from_this<QuicStream> {
  public:
    QuicStream(std::weak_ptr<QuicSession> owner, const QUIC_API_TABLE* api, QuicStreamInit init);
    // Closes the stream, and its handle when the layer has not completed it.
    ~QuicStream();
    QuicStream(const QuicStream&) = delete;
    QuicStream& operator=(const QuicStream&) = delete;

    // Copies the bytes into a SendRequest and queues them. Any thread; the
    // calls of one thread keep their order on the stream.
    QUIC_STATUS Send(std::span<const std::uint8_t> bytes);
    QUIC_STATUS Send(std::unique_ptr<SendRequest> request);
    // Bytes sent and not yet acknowledged by the peer (their SEND_COMPLETE
    // has not arrived).
    std::size_t Unacknowledged() const;
    // For a sender on another thread: waits until fewer than `limit` bytes
    // are unacknowledged and is true then; false once the stream has ended
    // or been closed (so a sender never waits for a stream that will not
    // acknowledge any more).
    bool WaitForSendRoom(std::size_t limit);
    // The same for a sender that must not queue without bound but must not
    // wait for ever either (a deployment streams whole files): also false
    // when nothing was acknowledged for `idle`.
    bool WaitForSendRoom(std::size_t limit, std::chrono::milliseconds idle);
    // Closes the local socket and aborts both directions with error code 0.
    void Close();
    // Returns the credit of `count` bytes taken with QUIC_STATUS_PENDING.
    void CompleteReceive(std::size_t count);
    ReceiveCredit CreditFunction();

    // True once the stream has started and its preamble is queued (its
    // socket is attached then), false when it ended first.
    bool WaitUntilReady();
    // True when the preamble check is over, a handler was installed or the
    // stream ended within `timeoutMs`.
    bool WaitForPreamble(int timeoutMs);

    void SetHandler(StreamHandler handler, void* context);
    bool HasHandler() const;
    // The stream's handle; it stays readable after the stream has ended.
    HQUIC Handle() const { return handle_.Identity(); }
    // False once the layer has completed the stream's shutdown.
    bool IsOpen() const { return handle_.Available(); }
    int Port() const;
    net::TcpSocket Socket() const;
    bool ExpectsPreamble() const { return expectsPreamble_; }
    // Client tunnel streams: the connection's place under the session's cap,
    // given up when the stream has ended.
    void SetBridgeSlot(std::shared_ptr<BridgeSlot> slot);

    // The layer's callback; the context is the QuicStream.
    static QUIC_STATUS QUIC_API Callback(HQUIC stream, void* context, QUIC_STREAM_EVENT* event);

  private:
    friend class QuicSession;
    void Attach(HQUIC handle) { handle_.Set(handle); }
    QUIC_STATUS Start();
    // Closes the local socket only.
    void CloseSocket();
    // The bridge, on the worker: hands the socket to the worker's watch.
    void AttachSocket();
    void OnSocketReady(bool readable, bool writable);
    // Reads the socket onto the stream while there is room under the bound.
    void ReadFromSocket();
    // Writes held received bytes to the socket and returns their credit.
    void WriteToSocket();
    // Takes what of `bytes` fits under kSocketQueueCapacity; returns how much.
    std::size_t HoldForSocket(std::span<const std::uint8_t> bytes);
    // The local end has stopped sending: once all it sent is acknowledged the
    // stream is closed (which aborts it, so nothing in flight may be lost).
    void CloseWhenDrained();
    // Closes the handle once no call is in flight (after a failed start or
    // when the session gives the stream up).
    void CloseHandle(bool wait);

    QUIC_STATUS OnEvent(HQUIC stream, QUIC_STREAM_EVENT* event);
    void OnStartComplete(QUIC_STATUS status);
    // Frees an acknowledged (or canceled) send and takes it off the count.
    void OnSendComplete(void* context);
    QUIC_STATUS OnReceive(QUIC_STREAM_EVENT& event);
    struct PreambleTail {
        // Bytes at the end of `block` that followed the preamble.
        std::size_t rest = 0;
        // How many of them the stream took (written or held for the socket).
        std::size_t queued = 0;
    };
    PreambleTail OnPreambleBlock(std::span<const std::uint8_t> block);
    void OnShutdownComplete();
    void MarkEnded();

    const std::weak_ptr<QuicSession> owner_;
    const QUIC_API_TABLE* const api_;
    const bool expectsPreamble_;
    QuicHandleGuard handle_;
    // Worker thread only: the bridge's state.
    struct SocketBridge {
        // Received bytes the socket has not taken yet; their credit is held.
        std::vector<std::uint8_t> held;
        std::size_t heldHead = 0;
        // The socket may have bytes to read (edge-triggered: set by an event,
        // cleared when a read would block).
        bool readable = false;
        // The local end finished sending, or reading from it failed.
        bool ended = false;
    };
    SocketBridge bridge_;

    mutable std::mutex lock_;  // guards everything below
    std::condition_variable changed_;
    int port_;
    StreamHandler handler_;
    void* context_;
    std::shared_ptr<void> handlerState_;
    net::TcpSocket socket_;
    std::shared_ptr<BridgeSlot> slot_;
    PreambleCollector preamble_;
    bool ready_ = false;
    bool ended_ = false;
    // Close was called: nothing more will be sent.
    bool closed_ = false;
    std::size_t unacknowledged_ = 0;
};

}  // namespace quic
