// The server's answer to a first datagram in a version other than QUIC v1:
// a Version Negotiation packet naming v1, sent back to the client's
// connection ids, for datagrams large enough to start a connection only; and
// the server serves v1 clients as before.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "QuicHarness.h"

namespace quictest {
namespace {

const std::vector<uint8_t> kDcid{1, 2, 3, 4, 5, 6, 7, 8};
const std::vector<uint8_t> kScid{9, 10, 11, 12};

// A long-header Initial of `version`, padded to `size` bytes.
std::vector<uint8_t> FirstDatagram(uint32_t version, size_t size) {
    std::vector<uint8_t> datagram{0xC3};
    for (int shift = 24; shift >= 0; shift -= 8)
        datagram.push_back(static_cast<uint8_t>(version >> shift));
    datagram.push_back(static_cast<uint8_t>(kDcid.size()));
    datagram.insert(datagram.end(), kDcid.begin(), kDcid.end());
    datagram.push_back(static_cast<uint8_t>(kScid.size()));
    datagram.insert(datagram.end(), kScid.begin(), kScid.end());
    datagram.resize(size, 0);
    return datagram;
}

// What comes back to one UDP socket within `milliseconds`; empty if nothing.
class Probe {
  public:
    explicit Probe(uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        server_.sin_family = AF_INET;
        server_.sin_port = htons(port);
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Probe() { ::close(fd_); }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    std::vector<uint8_t> Exchange(const std::vector<uint8_t>& datagram, int milliseconds) {
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&server_),
                 sizeof server_);
        pollfd ready{fd_, POLLIN, 0};
        if (::poll(&ready, 1, milliseconds) != 1)
            return {};
        std::vector<uint8_t> reply(2048);
        const ssize_t got = ::recv(fd_, reply.data(), reply.size(), 0);
        reply.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return reply;
    }

  private:
    int fd_;
    sockaddr_in server_{};
};

TEST(QuicVersionNegotiation, OtherVersionsGetVersionOneOfferedAndTheServerServesOn) {
    QuicPair pair;
    Probe probe(pair.port);
    // Unknown to everyone, and the provisional v2 that the library would decode.
    for (uint32_t version : {0x1a2a3a4au, 0x709a50c4u}) {
        SCOPED_TRACE(version);
        const std::vector<uint8_t> reply = probe.Exchange(FirstDatagram(version, 1200), 5000);
        // Long header, version 0, the client's ids swapped, then the list.
        const std::vector<uint8_t> expected{0, 0, 0, 0, 4, 9, 10, 11, 12, 8, 1,
                                            2, 3, 4, 5, 6, 7, 8,  0,  0,  0, 1};
        ASSERT_EQ(reply.size(), 1 + expected.size());
        EXPECT_TRUE(reply[0] & 0x80);
        EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 1, reply.end()), expected);
    }
    // Too small to start a connection: no answer, so none can amplify.
    EXPECT_TRUE(probe.Exchange(FirstDatagram(0x1a2a3a4a, 1199), 300).empty());
    EXPECT_EQ(pair.LastServerConnection(), nullptr);

    ConnectionRecord* client = nullptr;
    ConnectionRecord* server = nullptr;
    ASSERT_TRUE(pair.ConnectBoth(client, server));
    EXPECT_EQ(server->alpn, kAlpn);
}

}  // namespace
}  // namespace quictest
