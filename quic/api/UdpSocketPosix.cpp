#include "quic/api/UdpSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace quicapi {

namespace {

constexpr size_t kBatch = 32;
constexpr size_t kSlot = 65536;
// The kernel refuses more segments than this in one GSO send.
constexpr size_t kMaxGsoSegments = 64;
constexpr size_t kMaxGsoBytes = 65000;

void SetBuffer(int fd, int forced, int plain, int bytes) {
    // Forcing needs privileges; the plain option is capped by the system limit.
    if (setsockopt(fd, SOL_SOCKET, forced, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, plain, &bytes, sizeof bytes);
}

}  // namespace

QUIC_STATUS UdpSocket::Open(const SocketAddress& localAddress, std::unique_ptr<UdpSocket>& out) {
    int family = localAddress.storage.ss_family;
    if (family != AF_INET && family != AF_INET6)
        return QUIC_STATUS_INVALID_PARAMETER;
    int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return QUIC_STATUS_INTERNAL_ERROR;
    std::unique_ptr<UdpSocket> sock(new UdpSocket(fd));
    if (family == AF_INET6) {
        int off = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    SetBuffer(fd, SO_RCVBUFFORCE, SO_RCVBUF, 8 << 20);
    SetBuffer(fd, SO_SNDBUFFORCE, SO_SNDBUF, 8 << 20);
    if (bind(fd, localAddress.Get(), localAddress.length) != 0)
        return errno == EADDRINUSE ? QUIC_STATUS_ADDRESS_IN_USE : QUIC_STATUS_INVALID_ADDRESS;
    sock->local.length = sizeof sock->local.storage;
    if (getsockname(fd, sock->local.Get(), &sock->local.length) != 0)
        return QUIC_STATUS_INTERNAL_ERROR;
    // Datagrams leave with Don't Fragment set and are never fragmented here,
    // whatever the kernel believes of the path: a path MTU probe must be lost
    // when the path cannot carry it, not split.
    int probe = IP_PMTUDISC_PROBE;
    setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &probe, sizeof probe);
    if (family == AF_INET6) {
        int probe6 = IPV6_PMTUDISC_PROBE;
        setsockopt(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &probe6, sizeof probe6);
    }
    int on = 1;
    sock->groEnabled = setsockopt(fd, IPPROTO_UDP, UDP_GRO, &on, sizeof on) == 0;
    sock->receiveArea.resize(kBatch * kSlot);
    sock->receiveFrom.resize(kBatch);
    out = std::move(sock);
    return QUIC_STATUS_SUCCESS;
}

UdpSocket::~UdpSocket() {
    close(fd);
}

const std::vector<UdpSocket::Datagram>& UdpSocket::Receive() {
    received.clear();
    mmsghdr messages[kBatch];
    iovec vectors[kBatch];
    alignas(cmsghdr) char control[kBatch][CMSG_SPACE(sizeof(int))];
    for (size_t i = 0; i < kBatch; ++i) {
        vectors[i] = {receiveArea.data() + i * kSlot, kSlot};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = receiveFrom[i].Get();
        messages[i].msg_hdr.msg_namelen = sizeof receiveFrom[i].storage;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = control[i];
        messages[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    int count = recvmmsg(fd, messages, kBatch, 0, nullptr);
    lastBatchFull = count == static_cast<int>(kBatch);
    if (count <= 0)
        return received;
    for (int i = 0; i < count; ++i) {
        receiveFrom[i].length = messages[i].msg_hdr.msg_namelen;
        size_t length = messages[i].msg_len;
        size_t segment = length;
        for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c != nullptr;
             c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
            if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO) {
                int gro = 0;
                memcpy(&gro, CMSG_DATA(c), sizeof gro);
                if (gro > 0)
                    segment = static_cast<size_t>(gro);
            }
        }
        const uint8_t* base = receiveArea.data() + i * kSlot;
        for (size_t offset = 0; offset < length; offset += segment)
            received.push_back(
                {base + offset, std::min(segment, length - offset), &receiveFrom[i]});
    }
    return received;
}

size_t UdpSocket::SegmentsPerSend(size_t segment) {
    if (segment == 0)
        return 1;
    return std::clamp<size_t>(kMaxGsoBytes / segment, 1, kMaxGsoSegments);
}

void UdpSocket::Send(const SocketAddress& remote, const uint8_t* data, size_t length,
                     size_t segment) {
    if (segment == 0 || length == 0)
        return;
    if (!gsoAvailable || length <= segment) {
        for (size_t offset = 0; offset < length; offset += segment)
            SendOne(remote, data + offset, std::min(segment, length - offset), 0);
        return;
    }
    // One GSO send carries at most 64 segments and one IP datagram's worth of bytes.
    size_t chunk = SegmentsPerSend(segment) * segment;
    for (size_t offset = 0; offset < length; offset += chunk)
        SendOne(remote, data + offset, std::min(chunk, length - offset), segment);
}

void UdpSocket::SendOne(const SocketAddress& remote, const uint8_t* data, size_t length,
                        size_t segment) {
    iovec vector{const_cast<uint8_t*>(data), length};
    msghdr message{};
    message.msg_name = const_cast<sockaddr*>(remote.Get());
    message.msg_namelen = remote.length;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    if (segment != 0 && length > segment) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = IPPROTO_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        uint16_t size = static_cast<uint16_t>(segment);
        memcpy(CMSG_DATA(c), &size, sizeof size);
    }
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (sendmsg(fd, &message, MSG_NOSIGNAL) >= 0)
            return;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
            pollfd waitFor{fd, POLLOUT, 0};
            poll(&waitFor, 1, 5);
            continue;
        }
        if (message.msg_control != nullptr && (errno == EIO || errno == EINVAL)) {
            // No segmentation offload on this path: send one by one from now on.
            gsoAvailable = false;
            for (size_t offset = 0; offset < length; offset += segment)
                SendOne(remote, data + offset, std::min(segment, length - offset), 0);
        }
        return;
    }
}

}  // namespace quicapi
