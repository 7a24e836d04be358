#pragma once
// Non-blocking UDP socket with batched receive and send. On Linux a batch
// is one recvmmsg (with GRO) and a send uses generic segmentation offload
// where the kernel offers it; on Windows both are plain recvfrom and sendto
// calls, one datagram each.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Socket.h"
#include "quic/api/msquic_api.h"

namespace quicapi {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    sockaddr* Get() { return reinterpret_cast<sockaddr*>(&storage); }
};

class UdpSocket {
  public:
    // Binds to `local`; an IPv6 socket also accepts IPv4 peers.
    static QUIC_STATUS Open(const SocketAddress& local, std::unique_ptr<UdpSocket>& out);
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    platform::SocketHandle Fd() const { return fd; }
    const SocketAddress& LocalAddress() const { return local; }

    struct Datagram {
        const uint8_t* data;
        size_t length;
        const SocketAddress* remote;
    };
    // Reads what is queued (at most one batch); the datagrams stay valid until
    // the next call. Returns an empty list when nothing is pending.
    const std::vector<Datagram>& Receive();
    // False when the last Receive found fewer datagrams than it had room
    // for: the queue was empty then, and another read would find nothing.
    bool MayHaveMore() const { return lastBatchFull; }

    // How many datagrams of `segment` bytes one send can carry.
    static size_t SegmentsPerSend(size_t segment);
    // Sends `length` bytes as datagrams of `segment` bytes (the last may be
    // shorter) to `remote`. Send failures are treated as packet loss.
    void Send(const SocketAddress& remote, const uint8_t* data, size_t length, size_t segment);

  private:
    explicit UdpSocket(platform::SocketHandle socket) : fd(socket) {}
    void SendOne(const SocketAddress& remote, const uint8_t* data, size_t length, size_t segment);

    platform::SocketHandle fd;
    SocketAddress local;
    bool gsoAvailable = true;
    bool groEnabled = false;
    bool lastBatchFull = false;
    std::vector<uint8_t> receiveArea;
    std::vector<SocketAddress> receiveFrom;
    std::vector<Datagram> received;
};

}  // namespace quicapi
