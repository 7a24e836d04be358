#pragma once
// The bridge between local TCP connections and QUIC tunnel streams: the
// 44-byte preamble that opens every tunnel stream, the server's Visual Studio
// port with its accept thread, and the pump threads that move bytes from a
// socket onto a stream. Every thread belongs to the endpoint's ThreadSet; a
// thread drops what it holds before it ends, so a finished thread holds
// nothing when it is joined.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/TcpSocket.h"
#include "platform/Thread.h"
#include "quic/api/msquic_api.h"

namespace quic {

class QuicSession;
class QuicStream;

inline constexpr std::string_view kPreambleMarker = "{68D391E7-4D5E-4989-887A-BA5083149BC9}";
inline constexpr std::size_t kPreambleSize = 44;
// Relayed bytes are read from a socket in pieces of this size, one send each.
inline constexpr std::size_t kRelayChunkSize = 2000;
// How long a client tunnel stream may wait for its preamble.
inline constexpr int kPreambleTimeoutMs = 30000;

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

// Server: opens the TCP port for Visual Studio (IPv6 dual stack, wildcard,
// `port1`), adds it to the session's listening sockets and starts its accept
// thread, whose tunnel streams announce `localPort`.
// QUIC_STATUS_ADDRESS_IN_USE when the port could not be bound,
// QUIC_STATUS_INVALID_STATE when the session has ended, and
// QUIC_STATUS_OUT_OF_MEMORY when the thread could not be started.
QUIC_STATUS OpenVisualStudioPort(const std::shared_ptr<QuicSession>& session, int port1,
                                 int localPort);

// Threads of `threads`; each holds shared references to what it uses until
// it ends. False when the thread could not be started.
bool StartAcceptThread(platform::ThreadSet& threads, net::TcpSocket listener,
                       std::shared_ptr<QuicSession> session, int localPort);
bool StartServerPump(platform::ThreadSet& threads, net::TcpSocket socket,
                     std::shared_ptr<QuicSession> session, std::shared_ptr<QuicStream> stream);
bool StartClientPump(platform::ThreadSet& threads, net::TcpSocket socket,
                     std::shared_ptr<QuicStream> stream);
// Aborts `stream` unless its preamble has been checked, it got a handler, or
// it ended within `timeoutMs`.
bool StartPreambleWatchdog(platform::ThreadSet& threads, std::shared_ptr<QuicStream> stream,
                           int timeoutMs);

}  // namespace quic
