#pragma once
// The deploy module: the server's deployment table and sender
// (DeploySender.h) with its upload pipeline (UploadPipeline.h) and console
// line (ProgressLine.h), the client's receiver (DeployReceiver.h), the
// file it replaces (FileReplacement.h) and the slabs that carry that file's
// bytes to the disk (SlabWriter.h), the signatures it keeps of the files it
// wrote (SignatureCache.h) or signed as they arrived (StreamSigner.h), and
// the channel between them (this file).
// Threads: the sender runs on the console thread (the `deploy` command), and
// during an upload the pipeline's compressor threads (below normal
// priority) and its writer thread,
// which it joins before the upload ends (and, while it signs a file for a
// patch, a signing thread with the segment helpers it joins, and one thread
// that hashes the file); the server's RemoteSync thread accepts the TCP
// channel; the client's receiver thread answers over TCP or QUIC, with one
// slab writer thread per file it writes and one signing thread (below normal
// priority) per file that arrives whole, joined before the file is renamed
// or dropped; in QUIC mode the stream's receive events fill the inbox. Failures are reported as
// DeployError. Nothing a peer announces is taken on trust: payloads grow as
// their bytes arrive, under a cap per message, and a peer silent for the
// idle deadline loses the channel.
//
// RemoteSync: the deployment channel and its message format. Every message is
// a 40-byte little-endian header followed by `size` payload bytes:
//   0 type u32 | 4 zero | 8 size u64 | 16 plainSize u64 | 24 fileTime u64
//   | 32 result u32 | 36 zero
// Over TCP the channel is one connection (Port 1), which with a secret first
// passes the shared-secret exchange (net/AuthGate.h); over QUIC it is the
// control stream, whose received bytes land in the inbox and whose sends go through
// quicSend.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/DeployError.h"
#include "deploy/DeployInbox.h"
#include "net/TcpSocket.h"

namespace deploy {

enum DeployMessageType : std::uint32_t {
    DEPLOY_SIGNATURE = 1,
    DEPLOY_FULL = 2,
    DEPLOY_PATCH = 3,
    // Streamed uploads. A sender that reads, compresses and sends a file
    // block by block cannot know the length of the whole, yet every header's
    // `size` must be its payload's length. So a streamed upload is a run of
    // messages, each with an exact size: a start, the blocks, an end, and
    // then the one acknowledgement of the upload (type 2 for a whole file, 3
    // for a patch), as for the uploads of a single message. Every block is
    // bounded on its own (kDeployMaxBlock), so no message makes a receiver
    // hold more than one block; a receiver that does not know these types
    // reads them whole and ignores them, and this receiver still takes the
    // single-message uploads above.
    //   start of a whole file: size 0, plainSize = file length
    DEPLOY_STREAM_FULL = 4,
    //   start of a patch: size 0, fileTime as in DEPLOY_PATCH; the blocks
    //   carry the patch (need records with inline source bytes)
    DEPLOY_STREAM_PATCH = 5,
    //   one block: size = stored length (1..plainSize), plainSize = its
    //   length uncompressed (1..kDeployMaxBlock); stored == plain is raw,
    //   anything shorter one LZMS block
    DEPLOY_BLOCK = 6,
    //   end: plainSize = the plain bytes of all blocks, result = 1 when the
    //   upload is complete, 0 when the sender gave it up (the receiver then
    //   discards it and acknowledges 0). The payload of a complete end is
    //   the XXH3-128 (kDeployHashSize bytes, canonical order) of the file
    //   the target is to hold; the receiver hashes what it writes and puts
    //   the file in place only when the two agree. An end without one
    //   (size 0) is taken unchecked.
    DEPLOY_END = 7,
    // The acknowledgement (result 0) of a streamed upload whose bytes did
    // not make the file its end stated: the hash disagreed, the patch did
    // not fit the old file, or a block did not decompress. The old file is
    // untouched; a sender may then send the file whole.
    DEPLOY_UNVERIFIED = 8,
};

inline constexpr std::size_t kDeployHashSize = 16;

// Largest streamed upload, whole file or patch.
inline constexpr std::uint64_t kDeployMaxStream = std::uint64_t{64} << 30;
// Largest block of a streamed upload.
inline constexpr std::uint64_t kDeployMaxBlock = std::uint64_t{4} << 20;

inline constexpr std::size_t kDeployHeaderSize = 40;
// Largest payload either side accepts; a header announcing more ends the
// channel. Leaves room for the compression framing of a file just under the
// sender's 4 GiB limit.
inline constexpr std::uint64_t kDeployMaxPayload = (std::uint64_t{4} << 30) + (1u << 20);

// How long a reader waits for the next bytes of a message, or a sender for
// the peer to take more of its bytes, before the channel is given up; every
// byte that moves starts the wait again.
inline constexpr std::chrono::milliseconds kDeployIdleDeadline{30000};
// Bound of the payloads that carry a remote path or nothing at all.
inline constexpr std::uint64_t kDeploySmallPayload = 64 * 1024;

struct DeployHeader {
    std::uint32_t type = 0;
    std::uint64_t size = 0;
    std::uint64_t plainSize = 0;
    std::uint64_t fileTime = 0;
    std::uint32_t result = 0;
};

void EncodeDeployHeader(const DeployHeader& header, std::span<std::uint8_t, kDeployHeaderSize> out);
// Reserved bytes are ignored.
DeployHeader DecodeDeployHeader(std::span<const std::uint8_t, kDeployHeaderSize> in);

// One row of the server's deployment table.
struct DeployEntry {
    std::wstring local;
    std::wstring remote;
};

// One per side. The RemoteSync thread (server) or the receiver thread
// (client) sets up `connection` while the shell may close the channel from
// the console thread, so the sockets are touched only under `lock`; readers
// and writers work on copies, which share the descriptor.
struct DeployChannel {
    std::vector<DeployEntry> table;
    net::TcpSocket connection{net::kInvalidSocket};
    net::TcpSocket listener{net::kInvalidSocket};
    DeployInbox inbox;
    // QUIC mode: sends bytes on the control stream; true when they were
    // queued. Set by the QUIC side before the channel is used (SetQuicSend
    // when the channel may already be in use).
    std::function<bool(std::span<const std::uint8_t>)> quicSend;
    // QUIC mode: the bytes sent on the control stream that the peer has not
    // acknowledged yet; none when unknown. Set beside quicSend.
    std::function<std::optional<std::uint64_t>()> quicHeld;
    // Where the sender's and receiver's console lines go; empty means the
    // console (platform::ConsoleWrite).
    std::function<void(std::wstring_view)> print;
    // Server: rewrite a progress line while a file travels (set when the
    // console is a terminal; other consoles get the plain lines only).
    bool showProgress = false;
    mutable std::mutex lock;  // guards table, connection, listener, quicSend, quicHeld, closed
    // Set by CloseSockets; a channel that was closed is not set up again.
    bool closed = false;
    // See kDeployIdleDeadline; set before the channel is used (tests make it
    // short).
    std::chrono::milliseconds idleDeadline = kDeployIdleDeadline;
    // TCP: the shared secret each connection proves before its first message
    // (net/AuthGate.h); empty for none. Set before the channel is used.
    std::string secret;

    // Shuts the listener and the connection down (waking threads blocked in
    // accept or recv) and lets go of them; later set-up attempts are refused.
    void CloseSockets();

    // Stores a freshly connected or accepted socket unless the channel was
    // closed meanwhile (then the socket is closed and Closed returned). Its
    // sends then give up after idleDeadline without progress.
    DeployError AdoptConnection(net::TcpSocket socket);
    DeployError AdoptListener(net::TcpSocket socket);
    net::TcpSocket Connection() const;
    // The port the listener is bound to (0 when there is none).
    int ListeningPort() const;

    void SetQuicSend(std::function<bool(std::span<const std::uint8_t>)> send,
                     std::function<std::optional<std::uint64_t>()> held = {});
    std::vector<DeployEntry> Table() const;
    void SetTable(std::vector<DeployEntry> entries);

    void Print(std::wstring_view text) const;
};

// Reading fails with Channel on a short read, a closed inbox, or a peer
// silent for the channel's idle deadline; with Oversize for a payload above
// `cap` or kDeployMaxPayload, or beyond memory. Payloads grow as their bytes
// arrive. Every failure shuts the channel down, since the stream can no
// longer be followed.

// Reads a header. waitForStart: the first byte may take any time (a
// receiver between messages); otherwise the idle deadline bounds it too.
DeployError ReadHeader(DeployChannel& channel, bool quic, DeployHeader& header, bool waitForStart);
// Reads the `size` bytes that follow a header into `payload`; a null payload
// takes them and drops them.
DeployError ReadPayload(DeployChannel& channel, bool quic, std::uint64_t size, std::uint64_t cap,
                        std::vector<std::uint8_t>* payload);
// Ends the channel for both directions, for a message that breaks the rules:
// the stream can no longer be followed.
void AbandonChannel(DeployChannel& channel, bool quic);
// A reply: header and payload, each under the idle deadline.
DeployError ReadMessage(DeployChannel& channel, bool quic, DeployHeader& header,
                        std::vector<std::uint8_t>& payload, std::uint64_t cap = kDeployMaxPayload);

// Writes the header, then the payload when header.size is not 0, as two
// writes. header.size must equal payload.size() (BadMessage otherwise).
DeployError WriteMessage(DeployChannel& channel, bool quic, const DeployHeader& header,
                         std::span<const std::uint8_t> payload);

// The two writes of WriteMessage on their own, for a sender that reports
// progress between them.
DeployError WriteHeader(DeployChannel& channel, bool quic, const DeployHeader& header);
DeployError WritePayload(DeployChannel& channel, bool quic, std::span<const std::uint8_t> payload);

// The bytes written that the transport still holds, not yet taken by the
// peer (TCP: the socket's send queue); none when it cannot tell.
std::optional<std::uint64_t> HeldByTransport(const DeployChannel& channel, bool quic);

}  // namespace deploy
