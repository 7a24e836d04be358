// Packet writing: what a connection's streams have queued goes into packets,
// the streams taking turns of about a millisecond of the sending rate each,
// and out in batches of one send quantum.
#include <algorithm>

#include "quic/api/Connection.h"
#include "quic/api/PacketBatch.h"

namespace quicapi {

namespace {

// ngtcp2 lets a paced packet leave up to this much early.
constexpr Timestamp kTimerGranularity = NGTCP2_MILLISECONDS;
// Batches one flush sends at most while the next is already due: a busy
// connection then waits for the loop once per few batches, not after each
// (on a shared machine each such wait may cost a time slice).
constexpr int kBatchesPerFlush = 4;
// The longest turn a stream gets while others wait.
constexpr uint64_t kMaxTurn = 256 * 1024;

// Bytes of one stream's turn: a millisecond at the pacing rate, so another
// stream waits about that long at most, whatever the path's speed; at least
// one send quantum.
uint64_t TurnBytes(ngtcp2_conn* conn) {
    ngtcp2_conn_stat stat;
    ngtcp2_conn_get_conn_stat(conn, &stat);
    const auto perMillisecond = static_cast<uint64_t>(stat.pacing_rate * NGTCP2_MILLISECONDS);
    const uint64_t quantum = ngtcp2_conn_get_send_quantum(conn);
    return std::max(quantum, std::min(perMillisecond, kMaxTurn));
}

}  // namespace

void Connection::EndTurn(Stream* stream) {
    turnOwner = nullptr;
    // To the back of the queue, if it has more.
    UnscheduleSend(stream);
    if (stream->HasUnsent())
        ScheduleSend(stream);
}

void Connection::Flush() {
    for (int batch = 0; batch < kBatchesPerFlush; ++batch)
        if (!FlushBatch())
            break;
}

bool Connection::FlushBatch() {
    if (Ended() || conn == nullptr)
        return false;
    if (probeBlocked) {
        // A stream still blocked is refused again (DATA_BLOCKED), one the
        // peer stopped with SHUT_WR; neither adds a frame of its own.
        probeBlocked = false;
        for (const auto& [id, stream] : streams) {
            if (stream->flowBlocked) {
                stream->flowBlocked = false;
                ScheduleSend(stream.get());
            }
        }
    }
    Timestamp now = Now();
    // Room for the largest packet ngtcp2 may write (a path MTU probe); the
    // path's current size is what a full packet has.
    const size_t packetRoom = ngtcp2_conn_get_max_tx_udp_payload_size(conn);
    const size_t pathPayload = ngtcp2_conn_get_path_max_tx_udp_payload_size(conn);
    // One batch is one send quantum, and no more than one GSO send carries.
    const size_t maxPackets = std::clamp<size_t>(ngtcp2_conn_get_send_quantum(conn) / pathPayload,
                                                 1, UdpSocket::SegmentsPerSend(pathPayload));
    bool moreToSend = false;
    {
        PacketBatch batch(home->Socket(), remote, txBuffer, maxPackets, packetRoom, pathPayload);
        ngtcp2_path_storage ps;
        ngtcp2_path_storage_zero(&ps);
        ngtcp2_pkt_info info{};
        for (;;) {
            Stream* stream = nullptr;
            ngtcp2_vec vectors[16];
            size_t count = 0;
            bool fin = false;
            int64_t streamId = -1;
            uint64_t total = 0;
            if (!sendQueue.empty()) {
                stream = sendQueue.front();
                if (stream != turnOwner) {
                    // A new turn. Runs of one stream's packets, rather than
                    // one packet each, let the peer hand each stream's bytes
                    // to its reader in a few large writes.
                    turnOwner = stream;
                    turnLeft = TurnBytes(conn);
                }
                count = stream->Gather(vectors, 16, packetRoom, fin);
                for (size_t i = 0; i < count; ++i)
                    total += vectors[i].len;
                streamId = stream->Id();
            }
            uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_MORE;
            if (fin)
                flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
            ngtcp2_ssize accepted = -1;
            ngtcp2_ssize written = ngtcp2_conn_writev_stream(
                conn, &ps.path, &info, batch.Next(), batch.Room(), &accepted, flags, streamId,
                count > 0 ? vectors : nullptr, count, now);
            if (written < 0) {
                if (written == NGTCP2_ERR_STREAM_DATA_BLOCKED) {
                    stream->flowBlocked = true;
                    UnscheduleSend(stream);
                    continue;
                }
                if (written == NGTCP2_ERR_STREAM_SHUT_WR ||
                    written == NGTCP2_ERR_STREAM_NOT_FOUND) {
                    // Not shut by us: the peer asked us to stop sending.
                    UnscheduleSend(stream);
                    stream->OnPeerStopSending(0);
                    continue;
                }
                if (written == NGTCP2_ERR_WRITE_MORE) {
                    // The stream has no more to give now and the packet has
                    // room left: its turn ends, the next stream fills it.
                    stream->AdvanceSent(static_cast<size_t>(accepted),
                                        fin && static_cast<uint64_t>(accepted) == total);
                    EndTurn(stream);
                    continue;
                }
                batch.Send();
                HandleError(static_cast<int>(written));
                return false;
            }
            if (stream != nullptr && accepted >= 0) {
                stream->AdvanceSent(static_cast<size_t>(accepted),
                                    fin && static_cast<uint64_t>(accepted) == total);
                const uint64_t used = static_cast<uint64_t>(accepted);
                turnLeft = turnLeft > used ? turnLeft - used : 0;
                // A packet without its bytes (flow control) ends the turn too.
                if (turnLeft == 0 || used == 0 || !stream->HasUnsent())
                    EndTurn(stream);
            }
            if (written == 0)
                break;
            const size_t size = static_cast<size_t>(written);
            if (batch.Add(size)) {
                // A short packet means ngtcp2 had nothing more to put in it.
                moreToSend = !sendQueue.empty() || size >= pathPayload;
                break;
            }
        }
    }
    ngtcp2_conn_update_pkt_tx_time(conn, now);
    // The pacing deadline is when the rest may go; within the timer's
    // granularity it is already due.
    if (moreToSend)
        return ngtcp2_conn_get_expiry(conn) <= now + kTimerGranularity;
    // Everything that could go has gone. A pacing deadline within the
    // timer's granularity is already due: settling it now spares the loop a
    // wake-up after every small send.
    if (ngtcp2_conn_get_expiry(conn) <= now + kTimerGranularity)
        HandleExpiry(now);
    return false;
}

}  // namespace quicapi
