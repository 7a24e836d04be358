#pragma once
// A QUIC connection over ngtcp2: handshake, packet I/O on its worker, timers,
// shutdown, and the streams it carries. Packet writing (Flush) lives in
// ConnectionFlush.cpp.
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "quic/api/Handle.h"
#include "quic/api/Stream.h"
#include "quic/api/TlsSession.h"
#include "quic/api/UdpSocket.h"
#include "quic/api/Worker.h"

namespace quicapi {

class Registration;
class Configuration;
class Listener;

// A connection's life. It only moves forward, except that a Start that fails
// before its worker exists goes back to Idle:
//   Idle      -> Started    Start (client), Accept (server)
//   Started   -> Connected  the handshake completed (worker)
//   Started,
//   Connected -> Ended      End (worker): closed, refused, failed, timed out
//                           or aborted
enum class ConnectionState : uint8_t { Idle, Started, Connected, Ended };

class Connection : public QUIC_HANDLE, public std::enable_shared_from_this<Connection> {
  public:
    Connection(std::shared_ptr<Registration> owner, bool isServer);
    ~Connection() override;

    // API, any thread.
    QUIC_STATUS Start(std::shared_ptr<Configuration> config, QUIC_ADDRESS_FAMILY family,
                      const char* serverName, uint16_t serverPort);
    QUIC_STATUS SetConfiguration(std::shared_ptr<Configuration> config);
    void Shutdown(QUIC_CONNECTION_SHUTDOWN_FLAGS flags, QUIC_UINT62 errorCode);
    void Close();
    std::shared_ptr<Worker> GetWorker() const;
    bool HasEnded() const { return Ended(); }

    const std::shared_ptr<Registration> registration;
    const bool server;
    // The application's reference, dropped by ConnectionClose.
    std::shared_ptr<Connection> appRef;

    // Worker thread only.
    static std::shared_ptr<Connection> Accept(std::shared_ptr<Listener> listener, Worker& worker,
                                              const ngtcp2_pkt_hd& header,
                                              const SocketAddress& remote);
    void OnDatagram(const SocketAddress& from, const uint8_t* data, size_t length);
    Timestamp Expiry() const;
    void HandleExpiry(Timestamp now);
    // Writes what may go now: a few batches while each next one is due.
    void Flush();
    bool Ended() const { return state.load() == ConnectionState::Ended; }
    void Abort(QUIC_STATUS status);
    bool ProvideCertificate(gnutls_pcert_st** chain, unsigned int* chainLength,
                            gnutls_privkey_t* key);
    const SocketAddress& RemoteAddress() const { return remote; }
    ngtcp2_conn* Native() const { return conn; }
    bool Connected() const { return state.load() == ConnectionState::Connected; }
    // The TLS exporter's value (MsQuicConnectionExport); false before the
    // handshake has completed.
    bool Export(std::string_view label, std::span<std::uint8_t> out) const {
        return Connected() && tls.Export(label, out);
    }

    // Stream bookkeeping, worker thread only.
    void AddStream(int64_t id, std::shared_ptr<Stream> stream);
    void RemoveStream(int64_t id);
    void QueueStart(std::shared_ptr<Stream> stream);
    void UnqueueStart(Stream* stream);
    void ScheduleSend(Stream* stream);
    void UnscheduleSend(Stream* stream);
    void ExtendReceiveWindow(int64_t id, uint64_t length);
    // Opens streams that waited for the peer's stream limit.
    void StartPendingStreams();
    // Streams are waiting to open and something changed since the last try.
    bool StartsWaiting() const { return retryPendingStarts && !pendingStarts.empty(); }

  private:
    friend struct ConnectionCallbacks;

    void StartClientOnWorker(Worker& on, std::string host);
    // One batch; true when more is waiting and may go at once.
    bool FlushBatch();
    // `stream`, at the front of the send queue, goes to its back.
    void EndTurn(Stream* stream);
    bool CreateNative(const ngtcp2_cid& dcid, const ngtcp2_cid& scid, const ngtcp2_path& path,
                      uint32_t version, const ngtcp2_pkt_hd* header);
    void FillTransportParams(ngtcp2_transport_params& params) const;
    void Indicate(QUIC_CONNECTION_EVENT& event);
    void OnHandshakeCompleted();
    void OnPeerStream(int64_t id);
    void HandleError(int liberr);
    void CloseLocally(const ngtcp2_connection_close_error& error, QUIC_STATUS status, bool byApp);
    void End(const ConnectionEnd& end);
    std::vector<ngtcp2_cid> IssuedCids() const;
    void UnmapAll();

    // Read from any thread; moved on by Start, Accept and the worker.
    std::atomic<ConnectionState> state{ConnectionState::Idle};
    // Flags, set from any thread, each only ever set once:
    // closeCalled     ConnectionClose has run (a second one does nothing);
    // appClosed       the application has let go: no more events;
    // closeInProgress ConnectionClose is waiting for the shutdown, which the
    //                 SHUTDOWN_COMPLETE event reports as AppCloseInProgress.
    std::atomic<bool> closeCalled{false};
    std::atomic<bool> appClosed{false};
    std::atomic<bool> closeInProgress{false};
    mutable std::mutex stateLock;  // guards worker, configuration, appRef
    std::shared_ptr<Worker> worker;
    std::shared_ptr<Configuration> configuration;

    // Worker thread.
    Worker* home = nullptr;
    std::weak_ptr<Listener> listener;
    // Flags of the worker:
    // appOwned           the application holds the connection and gets its
    //                    events (a client from the start, a server
    //                    connection once its listener accepted it);
    // retryPendingStarts something changed (stream limit, handshake) that may
    //                    let streams waiting to open do so.
    bool appOwned = false;
    bool retryPendingStarts = false;
    // Packets arrived since the last flush. ngtcp2 0.12 tells of a peer's
    // STOP_SENDING only by refusing the next write, so the flush then tries
    // the streams that wait for flow control once more.
    bool probeBlocked = false;
    ngtcp2_conn* conn = nullptr;
    TlsSession tls;
    ngtcp2_crypto_conn_ref connRef{};
    SocketAddress local;
    SocketAddress remote;
    std::string alpn;
    std::unordered_map<std::string, ngtcp2_cid> cids;  // ids routed to us
    std::unordered_map<int64_t, std::shared_ptr<Stream>> streams;
    std::deque<std::shared_ptr<Stream>> pendingStarts;
    // Streams with bytes to send, in turn order. The front one writes until
    // it has used turnLeft bytes or has no more; turnOwner is the stream the
    // current turn belongs to (compared, never followed: once it is no longer
    // at the front, the front stream's turn starts afresh).
    std::deque<Stream*> sendQueue;
    const Stream* turnOwner = nullptr;
    uint64_t turnLeft = 0;
    std::vector<uint8_t> txBuffer;
};

}  // namespace quicapi
