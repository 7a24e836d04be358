#pragma once
// The packets one flush of a connection writes, sent in as few system calls
// as the kernel allows: a run of equal-sized packets (a shorter one may end
// it) goes as one segmented send, and a path MTU probe goes alone, so that a
// path too small for it loses only the probe.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "quic/api/UdpSocket.h"

namespace quicapi {

class PacketBatch {
  public:
    // `maxPackets` packets of at most `pathPayload` bytes make a full batch;
    // a probe may be up to `packetRoom` bytes. `buffer` is the connection's,
    // grown here to fit.
    PacketBatch(UdpSocket& socket, const SocketAddress& remote, std::vector<uint8_t>& buffer,
                size_t maxPackets, size_t packetRoom, size_t pathPayload);
    ~PacketBatch() { Send(); }
    PacketBatch(const PacketBatch&) = delete;
    PacketBatch& operator=(const PacketBatch&) = delete;

    // Where the next packet is written, with room for packetRoom bytes.
    uint8_t* Next() { return base_ + used_; }
    size_t Room() const { return packetRoom_; }
    // Takes the packet of `size` bytes written at Next(); true when it filled
    // the batch, which has then been sent.
    bool Add(size_t size);
    // Sends what is batched.
    void Send();

  private:
    UdpSocket& socket_;
    const SocketAddress& remote_;
    const size_t maxPackets_;
    const size_t packetRoom_;
    const size_t pathPayload_;
    uint8_t* base_;
    size_t used_ = 0;
    size_t packets_ = 0;
    size_t segment_ = 0;
};

}  // namespace quicapi
