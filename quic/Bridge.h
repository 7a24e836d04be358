#pragma once
// The bridge between local TCP connections and QUIC tunnel streams: the
// 44-byte preamble that opens every tunnel stream, the server's Visual Studio
// port with its accept thread, the cap on bridged connections and the
// bounds of what a bridged connection holds. The bytes themselves move on
// the QUIC worker thread (QuicStream.h): a socket is read only while its
// stream has fewer than kBridgeUnacknowledgedLimit bytes unacknowledged,
// and a local peer that does not read holds up its own stream only. The
// accept and preamble watchdog threads belong to the endpoint's ThreadSet;
// a thread drops what it holds before it ends, so a finished thread holds
// nothing when it is joined.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/TcpListener.h"
#include "net/TcpSocket.h"
#include "platform/Thread.h"
#include "quic/api/msquic_api.h"

namespace quic {

class QuicSession;
class QuicStream;

inline constexpr std::string_view kPreambleMarker = "{68D391E7-4D5E-4989-887A-BA5083149BC9}";
inline constexpr std::size_t kPreambleSize = 44;
// Relayed bytes are read from a socket in pieces of up to this size, one
// send each: large enough that a send's fixed cost does not bound the rate.
inline constexpr std::size_t kRelayChunkSize = std::size_t{64} << 10;
// A bridge reads its socket only while its stream holds fewer unacknowledged
// bytes than this: of the order of a bandwidth-delay product, so a fast
// path stays full, while a slow one never piles up more than this per
// connection.
inline constexpr std::size_t kBridgeUnacknowledgedLimit = std::size_t{4} << 20;
// The receive buffer of a bridged socket (the kernel books twice this):
// enough for a local connection to keep a fast path full between two reads.
inline constexpr std::size_t kBridgeSocketReceiveBuffer = std::size_t{2} << 20;
// How long a client tunnel stream may wait for its preamble.
inline constexpr int kPreambleTimeoutMs = 30000;

// Local connections a session bridges at once, on either side: a debugger
// opens a handful, and each one costs a socket and its buffers.
inline constexpr std::size_t kBridgeMaxConnections = 64;

class BridgeSlots;

// One bridged connection's place under the cap, shared by what serves the
// connection (its threads, its stream); the place is free again when the last
// share goes.
class BridgeSlot {
  public:
    explicit BridgeSlot(std::shared_ptr<BridgeSlots> owner) : owner_(std::move(owner)) {}
    ~BridgeSlot();
    BridgeSlot(const BridgeSlot&) = delete;
    BridgeSlot& operator=(const BridgeSlot&) = delete;

  private:
    const std::shared_ptr<BridgeSlots> owner_;
};

// The places of one session. Any thread.
class BridgeSlots : public std::enable_shared_from_this<BridgeSlots> {
  public:
    explicit BridgeSlots(std::size_t limit) : limit_(limit) {}
    // A new place; null when all are taken.
    std::shared_ptr<BridgeSlot> Take();
    std::size_t InUse() const;

  private:
    friend class BridgeSlot;
    void Release();

    const std::size_t limit_;
    mutable std::mutex lock_;  // guards inUse_
    std::size_t inUse_ = 0;
};

// The marker and the port as six decimal digits: always kPreambleSize bytes
// (a port of more than six digits is cut off).
std::string BuildPreamble(int port);

// The port named by a preamble at the start of `head`; none when the head is
// shorter than a preamble, does not start with the marker, or the digits do
// not name a TCP port.
std::optional<int> ParsePreamble(std::span<const std::uint8_t> head);

// Collects the first bytes a client tunnel stream receives until a whole
// preamble has arrived, however the transport splits them.
class PreambleCollector {
  public:
    enum class State { Collecting, Found, Missing };
    struct Outcome {
        State state = State::Collecting;
        int port = 0;
        // Found: the bytes that followed the preamble in the collected head.
        std::vector<std::uint8_t> rest;
    };

    // Adds a received block. Once the outcome is Found or Missing the check is
    // over, and later blocks are payload the caller handles itself.
    Outcome Add(std::span<const std::uint8_t> block);
    bool Checked() const { return checked_; }

  private:
    std::vector<std::uint8_t> head_;
    bool checked_ = false;
};

// Server: opens the TCP port `port1` for Visual Studio on `address`, adds it
// to the session's listeners and starts its accept thread, whose tunnel
// streams announce `localPort`. An empty address is loopback (127.0.0.1 and
// ::1, whichever the machine has): the debugger runs on this machine, and the
// monitor behind the port asks for no authentication. "::" is every interface
// of both families. A connection beyond the session's cap is closed at once.
// QUIC_STATUS_INVALID_PARAMETER for an address that is no IP address text,
// QUIC_STATUS_ADDRESS_IN_USE when the port could not be bound,
// QUIC_STATUS_INVALID_STATE when the session has ended, and
// QUIC_STATUS_OUT_OF_MEMORY when a thread could not be started.
QUIC_STATUS OpenVisualStudioPort(const std::shared_ptr<QuicSession>& session,
                                 std::string_view address, int port1, int localPort);

// Threads of `threads`; each holds shared references to what it uses until
// it ends. False when the thread could not be started.
bool StartAcceptThread(platform::ThreadSet& threads, std::shared_ptr<net::TcpListener> listener,
                       std::shared_ptr<QuicSession> session, int localPort);
// Sockets the bridge owns carry small debugger messages: each leaves at once
// (TCP_NODELAY); their receive buffer is kBridgeSocketReceiveBuffer.
void PrepareBridgedSocket(const net::TcpSocket& socket);
// Aborts `stream` unless its preamble has been checked, it got a handler, or
// it ended within `timeoutMs`.
bool StartPreambleWatchdog(platform::ThreadSet& threads, std::shared_ptr<QuicStream> stream,
                           int timeoutMs);

}  // namespace quic
