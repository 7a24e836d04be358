#include "LossyRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <vector>

namespace quictest {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

int OpenSocket(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
    sockaddr_in address = Loopback(port);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

}  // namespace

LossyRelay::LossyRelay(uint16_t targetPort, Impairment settings) : impairment(settings) {
    front = OpenSocket(0);
    back = OpenSocket(0);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(front, reinterpret_cast<sockaddr*>(&bound), &length);
    port = ntohs(bound.sin_port);
    sockaddr_in target = Loopback(targetPort);
    connect(back, reinterpret_cast<sockaddr*>(&target), sizeof target);
    thread = std::thread([this] { Run(); });
}

LossyRelay::~LossyRelay() {
    stop = true;
    thread.join();
    close(front);
    close(back);
}

LossyRelay::Sizes LossyRelay::Seen(Direction direction) const {
    std::lock_guard guard(sizesLock);
    return sizes[direction];
}

void LossyRelay::Note(int direction, const uint8_t* data, size_t size) {
    // Long header, version 1, packet type 0: an Initial. The fixed bit is
    // not looked at, as a peer may grease it.
    const bool initial = size >= 5 && (data[0] & 0xB0) == 0x80 && data[1] == 0 && data[2] == 0 &&
                         data[3] == 0 && data[4] == 1;
    std::lock_guard guard(sizesLock);
    Sizes& seen = sizes[direction];

    ++seen.datagrams;
    seen.largest = std::max(seen.largest, size);
    if (initial)
        seen.initials.push_back(size);
}

void LossyRelay::Run() {
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<uint8_t> buffer(65536);
    sockaddr_in client{};
    bool haveClient = false;
    // One datagram per direction may be held back and sent after the next.
    std::vector<uint8_t> heldUp[2];
    bool holding[2] = {false, false};
    auto deliver = [&](int direction, const uint8_t* data, size_t size) {
        if (direction == 0)
            send(back, data, size, 0);
        else if (haveClient)
            sendto(front, data, size, 0, reinterpret_cast<sockaddr*>(&client), sizeof client);
    };
    pollfd fds[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}};
    while (!stop) {
        if (poll(fds, 2, 20) <= 0)
            continue;
        for (int direction = 0; direction < 2; ++direction) {
            if ((fds[direction].revents & POLLIN) == 0)
                continue;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            ssize_t size = recvfrom(fds[direction].fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                    reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (size <= 0)
                continue;
            if (direction == 0) {
                client = from;
                haveClient = true;
            }
            Note(direction, buffer.data(), static_cast<size_t>(size));
            if (chance(random) < impairment.loss) {
                ++dropped;
                continue;
            }
            ++forwarded;
            if (!holding[direction] && chance(random) < impairment.reorder) {
                heldUp[direction].assign(buffer.begin(), buffer.begin() + size);
                holding[direction] = true;
                continue;
            }
            deliver(direction, buffer.data(), static_cast<size_t>(size));
            if (chance(random) < impairment.duplicate)
                deliver(direction, buffer.data(), static_cast<size_t>(size));
            if (holding[direction]) {
                deliver(direction, heldUp[direction].data(), heldUp[direction].size());
                holding[direction] = false;
            }
        }
    }
}

}  // namespace quictest
