#include "quic/api/PacketBatch.h"

#include <string.h>

namespace quicapi {

PacketBatch::PacketBatch(UdpSocket& socket, const SocketAddress& remote,
                         std::vector<uint8_t>& buffer, size_t maxPackets, size_t packetRoom,
                         size_t pathPayload)
    : socket_(socket),
      remote_(remote),
      maxPackets_(maxPackets),
      packetRoom_(packetRoom),
      pathPayload_(pathPayload) {
    // A full batch, and room for one more packet written before it is sent.
    if (buffer.size() < (maxPackets + 1) * packetRoom)
        buffer.resize((maxPackets + 1) * packetRoom);
    base_ = buffer.data();
}

bool PacketBatch::Add(size_t size) {
    uint8_t* packet = base_ + used_;
    if (size > pathPayload_) {
        // A path MTU probe: alone, and a refused segment size never turns
        // segmentation offload off.
        socket_.Send(remote_, packet, size, size);
        return false;
    }
    if (packets_ > 0 && size > segment_) {
        // Segments of one send must not grow: send what is batched first.
        socket_.Send(remote_, base_, used_, segment_);
        memmove(base_, packet, size);
        used_ = 0;
        packets_ = 0;
    }
    if (packets_ == 0)
        segment_ = size;
    used_ += size;
    ++packets_;
    if (packets_ == maxPackets_) {
        Send();
        return true;
    }
    // A shorter packet ends a run.
    if (size < segment_)
        Send();
    return false;
}

void PacketBatch::Send() {
    if (used_ > 0)
        socket_.Send(remote_, base_, used_, segment_);
    used_ = 0;
    packets_ = 0;
}

}  // namespace quicapi
