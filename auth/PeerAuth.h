#pragma once
// The auth module: the shared-secret challenge-response both transports run
// before their first message (this file), and its driver on a blocking or a
// non-blocking socket descriptor (SocketExchange.h). It owns no thread: the
// exchange is a state machine that whoever holds the connection feeds (the
// TCP relay's and deployment channel's accept and dial threads, a QUIC
// connection's worker thread). Failures are reported as AuthError.
//
// The secret never crosses the wire. Three messages, fixed sizes:
//   client hello      "VTRAUTH1" | client nonce (32)                 40 bytes
//   server challenge  "VTRAUTH1" | server nonce (32) | server proof  72 bytes
//   client proof      client proof (32)                              32 bytes
// proof = HMAC-SHA-256(secret, label | 0 | u32 length of binding | binding
//                      | client nonce | server nonce)
// with a different label for each side, so neither proof can be reflected
// back as the other. The binding names the channel and, over QUIC, carries
// the TLS session's exporter value, so a proof is worth nothing on any other
// channel or TLS session. Both nonces are fresh random bytes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace auth {

enum class AuthError {
    None,      // success (or, while running, no failure yet)
    Refused,   // the peer's proof does not match: it has another secret or none
    Protocol,  // the peer sent something that is not this exchange
    Closed,    // the connection ended before the exchange did
    Timeout,   // the exchange did not finish within its deadline
    Crypto,    // random bytes or the keyed hash could not be made
};

inline bool Ok(AuthError error) {
    return error == AuthError::None;
}

// The console line that reports a refused peer (`peer` is its address).
std::wstring FailureLine(std::wstring_view peer, AuthError error);

inline constexpr std::size_t kNonceSize = 32;
inline constexpr std::size_t kProofSize = 32;
inline constexpr std::size_t kHelloSize = 8 + kNonceSize;
inline constexpr std::size_t kChallengeSize = 8 + kNonceSize + kProofSize;

// How long either side gives the whole exchange from the connection's start.
inline constexpr std::chrono::milliseconds kAuthDeadline{6000};

// A secret held in memory only as long as needed, and wiped when it goes.
class Secret {
  public:
    Secret() = default;
    explicit Secret(std::string_view text);
    ~Secret();
    Secret(const Secret& other);
    Secret& operator=(const Secret& other);
    Secret(Secret&& other) noexcept;
    Secret& operator=(Secret&& other) noexcept;

    bool Empty() const { return bytes_.empty(); }
    std::span<const std::uint8_t> Bytes() const { return bytes_; }

  private:
    void Wipe();
    std::vector<std::uint8_t> bytes_;
};

// One side of one exchange. Not thread-safe: one thread (or one QUIC
// connection's callbacks) drives it.
class Exchange {
  public:
    enum class Role { Client, Server };
    // `binding`: the channel's name, plus the TLS exporter value over QUIC.
    // A client has its hello ready at once.
    Exchange(Role role, const Secret& secret, std::span<const std::uint8_t> binding);

    // Bytes to send now; empty when nothing is due. Each call hands them out once.
    std::vector<std::uint8_t> TakeOutgoing();
    // How many bytes the exchange still expects before it can go on; 0 once
    // it is over. A reader that takes no more than this never takes a byte
    // that follows the exchange.
    std::size_t Wanted() const;
    // Takes up to Wanted() bytes of `bytes` and returns how many it took.
    std::size_t Feed(std::span<const std::uint8_t> bytes);

    // Over, either way. A client is done once it has checked the server's
    // proof; its own goes out after that whatever the outcome (so a server
    // learns that the secrets differ), and it has passed once that is taken.
    bool Done() const { return passed_ || !Ok(error_); }
    bool Passed() const { return passed_ && outgoing_.empty(); }
    AuthError Error() const { return error_; }
    // Ends a running exchange with `error` (a deadline, a closed connection).
    void Fail(AuthError error);

  private:
    void OnMessage();

    Role role_;
    Secret secret_;
    std::vector<std::uint8_t> binding_;
    std::vector<std::uint8_t> clientNonce_;
    std::vector<std::uint8_t> serverNonce_;
    std::vector<std::uint8_t> incoming_;  // the message being read
    std::size_t expected_ = 0;            // its full size
    std::vector<std::uint8_t> outgoing_;
    bool passed_ = false;
    AuthError error_ = AuthError::None;
};

// The binding of a channel without a TLS session: its name's bytes.
std::vector<std::uint8_t> ChannelBinding(std::string_view channel);

// Names of the channels, part of every proof made on them.
inline constexpr std::string_view kTcpRelayChannel = "vtr232 tcp relay";
inline constexpr std::string_view kTcpDeployChannel = "vtr232 tcp deploy";
inline constexpr std::string_view kQuicChannel = "vtr232 quic";
// The TLS exporter label the QUIC binding is made with, and its length.
inline constexpr std::string_view kQuicExporterLabel = "EXPORTER-vtr232-peer-auth";
inline constexpr std::size_t kQuicExporterSize = 32;

}  // namespace auth
