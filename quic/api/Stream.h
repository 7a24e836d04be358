#pragma once
// A QUIC stream: the application's sends waiting for acknowledgement, the
// receive gate, the local socket the application attached (watched by the
// worker while the stream lives), and the mapping of ngtcp2's stream
// callbacks onto events.
#include <ngtcp2/ngtcp2.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Socket.h"
#include "quic/api/Handle.h"

namespace quicapi {

class Connection;

// One StreamSend: the caller's buffer descriptors (not the bytes) and where
// its data ends in the stream.
struct QueuedSend {
    std::vector<QUIC_BUFFER> buffers;
    uint64_t length = 0;
    uint64_t endOffset = 0;
    void* context = nullptr;
    bool fin = false;
    bool internal = false;  // a graceful shutdown's FIN: completes without an event
};

// Why a connection ended, as its streams report it.
struct ConnectionEnd {
    QUIC_STATUS status = QUIC_STATUS_SUCCESS;
    uint64_t errorCode = 0;
    bool byApp = false;
    bool remotely = false;
};

// A stream's life; it only moves forward:
//   Idle    -> Started  StreamStart, or the peer opened it
//   Started -> Ended    its shutdown completed: both directions finished or
//                       aborted, or its connection ended
// A started stream has no id while it waits for the peer's stream limit
// (pendingStart).
enum class StreamState : uint8_t { Idle, Started, Ended };

class Stream : public QUIC_HANDLE, public std::enable_shared_from_this<Stream> {
  public:
    Stream(std::shared_ptr<Connection> owner, QUIC_STREAM_OPEN_FLAGS openFlags);

    // API, any thread.
    QUIC_STATUS Start(QUIC_STREAM_START_FLAGS flags);
    QUIC_STATUS Send(const QUIC_BUFFER* buffers, uint32_t count, QUIC_SEND_FLAGS flags,
                     void* context);
    QUIC_STATUS Shutdown(QUIC_STREAM_SHUTDOWN_FLAGS flags, QUIC_UINT62 errorCode);
    QUIC_STATUS SetReceiveEnabled(bool enabled);
    // Gives back the credit of `length` bytes taken with QUIC_STATUS_PENDING
    // and resumes a receive the application took only part of.
    void ReceiveComplete(uint64_t length);
    // Has the worker watch a duplicate of `fd` until the stream ends, with
    // SOCKET_READY events on the worker thread. One socket per stream.
    QUIC_STATUS AttachSocket(QUIC_SOCKET fd);
    void Close();

    const std::shared_ptr<Connection> connection;
    const QUIC_STREAM_OPEN_FLAGS openFlags;
    // The application's reference, dropped by StreamClose.
    std::shared_ptr<Stream> appRef;

    // Worker thread only.
    int64_t Id() const { return id; }
    void StartOnWorker(QUIC_STREAM_START_FLAGS flags);
    void EnableReceive(bool enabled);
    // Opens the stream in ngtcp2; false while the peer's stream limit blocks it.
    bool TryOpen();
    void AdoptPeerStream(int64_t streamId);
    void OnReceive(uint64_t offset, const uint8_t* data, size_t length, bool fin);
    void OnAcked(uint64_t offset, uint64_t length);
    void OnPeerReset(uint64_t errorCode);
    void OnPeerStopSending(uint64_t errorCode);
    void OnClosed(uint64_t errorCode);
    void OnConnectionEnded(const ConnectionEnd& end);
    void TakeIncoming();
    bool HasUnsent() const;
    // Fills `vectors` with data not yet handed to ngtcp2; `fin` tells whether
    // they run to the end of the stream. No vectors and no fin while the
    // stream is unannounced asks for an empty frame that opens it at the peer.
    // Gathering stops once `enough` bytes (what one packet carries) are in.
    size_t Gather(ngtcp2_vec* vectors, size_t max, size_t enough, bool& fin) const;
    // `accepted` bytes went into a frame (an empty frame counts as announced).
    void AdvanceSent(size_t accepted, bool finWritten);
    // Flags of the connection's send scheduling: the stream is in the
    // connection's send queue; the peer's flow control blocks it until it
    // extends the stream's limit.
    bool queuedForSend = false;
    bool flowBlocked = false;

  private:
    QUIC_STATUS Indicate(QUIC_STREAM_EVENT& event);
    // One RECEIVE event over one buffer; returns how many bytes the
    // application took, and credits them unless it answered PENDING.
    size_t IndicateReceive(uint64_t offset, const uint8_t* data, size_t length, bool fin);
    void Credit(uint64_t length);
    // Keeps bytes that are not indicated yet (and not credited).
    void Hold(uint64_t offset, const uint8_t* data, size_t length, bool fin);
    bool HasHeld() const { return heldHead < held.size() || heldFin; }
    void CompleteOnWorker(uint64_t length);
    // PEER_SEND_SHUTDOWN, once.
    void ReportPeerFin();
    void IndicateSendComplete(void* context, bool canceled);
    // The stream's id goes with a success, 0 with a failure.
    void IndicateStartComplete(QUIC_STATUS status);
    void CompleteAcked();
    // Once our sending side is aborted: completes, canceled, every send that
    // ngtcp2 can no longer touch (never taken, or all acknowledged). ngtcp2
    // 0.12 may retransmit unacknowledged bytes even after a reset, so the
    // others wait for their acknowledgement or the stream's end.
    void ReleaseAbortedSends();
    void CancelSends();
    void DeliverHeld();
    void AbortOnWorker(QUIC_STREAM_SHUTDOWN_FLAGS flags, uint64_t errorCode);
    void FinishWithoutTransport(QUIC_STATUS startStatus);
    void ShutdownComplete(const ConnectionEnd* end);
    void RunOnWorker(std::function<void()> op, bool wait);
    void AttachOnWorker(platform::SocketHandle fd);
    void DetachSocket();

    bool Ended() const { return state.load() == StreamState::Ended; }

    // Read from any thread; moved on by Start and the worker.
    std::atomic<StreamState> state{StreamState::Idle};
    // StreamClose has run: no more events. Set from any thread, once.
    std::atomic<bool> appClosed{false};
    std::mutex sendLock;  // guards incoming, sendsOpen
    std::vector<QueuedSend> incoming;
    bool sendsOpen = true;

    // Worker thread.
    int64_t id = -1;
    QUIC_STREAM_START_FLAGS startFlags = QUIC_STREAM_START_FLAG_NONE;
    bool pendingStart = false;
    std::deque<QueuedSend> sends;
    uint64_t queuedOffset = 0;
    uint64_t sentOffset = 0;
    uint64_t ackedOffset = 0;
    size_t cursorRequest = 0;
    size_t cursorBuffer = 0;
    size_t cursorByte = 0;
    bool finQueued = false;
    bool finSent = false;
    // Started with the immediate flag and no frame written for it yet.
    bool announcePending = false;
    bool sendAborted = false;
    bool sendShutdownReported = false;
    bool receiveEnabled = true;
    // The application took only part of a receive: nothing more is
    // indicated until it completes or re-enables receiving.
    bool receivePaused = false;
    // A DeliverHeld is queued on the worker for what arrived this round.
    bool deliveryPosted = false;
    // Bytes taken with PENDING whose credit has not been given back.
    uint64_t uncredited = 0;
    std::vector<uint8_t> held;
    size_t heldHead = 0;      // bytes at the front of `held` already taken
    uint64_t heldOffset = 0;  // stream offset of held[heldHead]
    bool heldFin = false;
    bool peerFinReported = false;
    uint64_t receivedOffset = 0;
    // The worker's watch of the attached socket; 0 while there is none.
    uint64_t socketWatch = 0;
};

}  // namespace quicapi
