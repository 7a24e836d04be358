// Winsock's headers first, as mswsock.h needs them.
#include "quic/api/UdpSocket.h"

#include <mswsock.h>

#include <algorithm>

#include "platform/SocketPoll.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace quicapi {

namespace {

constexpr size_t kBatch = 32;
// The largest UDP payload; a datagram is never longer.
constexpr size_t kSlot = 65536;

bool SetOption(platform::SocketHandle socket, int level, int option, DWORD value) {
    return setsockopt(socket, level, option, reinterpret_cast<const char*>(&value), sizeof value) ==
           0;
}

}  // namespace

QUIC_STATUS UdpSocket::Open(const SocketAddress& localAddress, std::unique_ptr<UdpSocket>& out) {
    const int family = localAddress.storage.ss_family;
    if (family != AF_INET && family != AF_INET6)
        return QUIC_STATUS_INVALID_PARAMETER;
    const platform::SocketHandle fd = platform::OpenSocket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (fd == platform::kInvalidSocket)
        return QUIC_STATUS_INTERNAL_ERROR;
    std::unique_ptr<UdpSocket> sock(new UdpSocket(fd));
    if (!platform::SetNonBlocking(fd, true))
        return QUIC_STATUS_INTERNAL_ERROR;
    if (family == AF_INET6)
        platform::SetDualStack(fd, true);
    platform::SetReceiveBuffer(fd, 8 << 20);
    platform::SetSendBuffer(fd, 8 << 20);
    // A port-unreachable answer to an earlier send would otherwise fail the
    // next receive with WSAECONNRESET; a peer that went away is packet loss.
    BOOL off = FALSE;
    DWORD returned = 0;
    WSAIoctl(fd, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr, nullptr);
    if (bind(fd, localAddress.Get(), localAddress.length) != 0)
        return platform::LastSocketError() == platform::SocketError::AddressInUse
                   ? QUIC_STATUS_ADDRESS_IN_USE
                   : QUIC_STATUS_INVALID_ADDRESS;
    int length = sizeof sock->local.storage;
    if (getsockname(fd, sock->local.Get(), &length) != 0)
        return QUIC_STATUS_INTERNAL_ERROR;
    sock->local.length = length;
    // Datagrams leave with Don't Fragment set, so a path MTU probe the path
    // cannot carry is lost rather than split. ECN stays off here.
    SetOption(fd, IPPROTO_IP, IP_DONTFRAGMENT, TRUE);
    if (family == AF_INET6)
        SetOption(fd, IPPROTO_IPV6, IPV6_DONTFRAG, TRUE);
    sock->gsoAvailable = false;
    sock->receiveArea.resize(kBatch * kSlot);
    sock->receiveFrom.resize(kBatch);
    out = std::move(sock);
    return QUIC_STATUS_SUCCESS;
}

UdpSocket::~UdpSocket() {
    platform::CloseSocket(fd);
}

const std::vector<UdpSocket::Datagram>& UdpSocket::Receive() {
    received.clear();
    size_t count = 0;
    while (count < kBatch) {
        SocketAddress& from = receiveFrom[count];
        int fromLength = sizeof from.storage;
        uint8_t* slot = receiveArea.data() + count * kSlot;
        const int got = recvfrom(fd, reinterpret_cast<char*>(slot), static_cast<int>(kSlot), 0,
                                 from.Get(), &fromLength);
        if (got == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            // A truncated datagram or an ICMP report: drop it, read on.
            if (error == WSAEMSGSIZE || error == WSAECONNRESET || error == WSAENETRESET)
                continue;
            break;
        }
        from.length = fromLength;
        received.push_back({slot, static_cast<size_t>(got), &from});
        ++count;
    }
    lastBatchFull = count == kBatch;
    return received;
}

size_t UdpSocket::SegmentsPerSend(size_t) {
    return 1;
}

void UdpSocket::Send(const SocketAddress& remote, const uint8_t* data, size_t length,
                     size_t segment) {
    if (segment == 0 || length == 0)
        return;
    for (size_t offset = 0; offset < length; offset += segment)
        SendOne(remote, data + offset, std::min(segment, length - offset), 0);
}

void UdpSocket::SendOne(const SocketAddress& remote, const uint8_t* data, size_t length, size_t) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (sendto(fd, reinterpret_cast<const char*>(data), static_cast<int>(length), 0,
                   remote.Get(), remote.length) != SOCKET_ERROR)
            return;
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK || error == WSAENOBUFS) {
            platform::PollEntry room = platform::MakePollEntry(fd, platform::kPollOut);
            platform::PollSockets(std::span(&room, 1), 5);
            continue;
        }
        // Anything else is packet loss.
        return;
    }
}

}  // namespace quicapi
