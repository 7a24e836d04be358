#include "app/Endpoint.h"

#include <gtest/gtest.h>

#include "app/Settings.h"

using namespace app;

TEST(ParseEndpoint, SplitsAtTheFirstColonAndDefaultsThePort) {
    auto e = ParseEndpoint("server.example:7003", 1);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "server.example");
    EXPECT_EQ(e->port, 7003);

    e = ParseEndpoint("justahost", 7003);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "justahost");
    EXPECT_EQ(e->port, 7003);

    e = ParseEndpoint(":9000", 1);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "");
    EXPECT_EQ(e->port, 9000);

    // Leading white space is skipped and trailing characters ignored, like stoi.
    e = ParseEndpoint("h: 42xyz", 1);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->port, 42);
}

TEST(ParseEndpoint, RejectsPortTextsThatAreNotPortNumbers) {
    EXPECT_FALSE(ParseEndpoint("host:", 7003));             // nothing after the colon
    EXPECT_FALSE(ParseEndpoint("host:abc", 7003));          // letters
    EXPECT_FALSE(ParseEndpoint("host:99999999999", 7003));  // beyond 32 bits
    EXPECT_FALSE(ParseEndpoint("host:70000", 7003));        // beyond 16 bits
    EXPECT_FALSE(ParseEndpoint("host:-1", 7003));
    // An IPv6 literal splits at its first colon and leaves no port number.
    EXPECT_FALSE(ParseEndpoint("::1:4026", 7003));
}

TEST(LeadingNumber, ReadsLikeAtoi) {
    EXPECT_EQ(LeadingNumber("8888"), 8888);
    EXPECT_EQ(LeadingNumber("127.0.0.1:4026"), 127);
    EXPECT_EQ(LeadingNumber("  12ab"), 12);
    EXPECT_EQ(LeadingNumber("abc"), 0);
    EXPECT_EQ(LeadingNumber(""), 0);
}

TEST(ApplyEndpoints, DerivesFieldsPerTransport) {
    Settings tcp;
    tcp.clientText = "server.example";
    tcp.localText = "127.0.0.1:4026";
    tcp.remoteSyncText = "server.example:7101";
    ASSERT_TRUE(ApplyEndpoints(tcp));
    EXPECT_EQ(tcp.clientHost, "server.example");
    EXPECT_EQ(tcp.clientPort, 7003);
    EXPECT_EQ(tcp.localHost, "127.0.0.1");
    EXPECT_EQ(tcp.localPort, 4026);
    EXPECT_EQ(tcp.remoteSyncHost, "server.example");
    EXPECT_EQ(tcp.remoteSyncPort, 7101);

    // Over TCP a bare number is a host name and the port keeps its default.
    Settings bare;
    bare.localText = "5000";
    ASSERT_TRUE(ApplyEndpoints(bare));
    EXPECT_EQ(bare.localHost, "5000");
    EXPECT_EQ(bare.localPort, 4026);

    // Over QUIC only the leading number of the local text counts, and the
    // RemoteSync text is not looked at.
    Settings quic;
    quic.quic = true;
    quic.localText = "127.0.0.1:4026";
    quic.remoteSyncText = "not:parsed";
    ASSERT_TRUE(ApplyEndpoints(quic));
    EXPECT_EQ(quic.localPort, 127);
    EXPECT_EQ(quic.localHost, "");
    EXPECT_EQ(quic.remoteSyncHost, "");
    EXPECT_EQ(quic.remoteSyncPort, 7001);
}

TEST(ApplyEndpoints, RefusesBadTextsAndPorts) {
    Settings badClient;
    badClient.clientText = "host:";
    EXPECT_FALSE(ApplyEndpoints(badClient));

    Settings badPort;
    badPort.port2 = 70000;
    EXPECT_FALSE(ApplyEndpoints(badPort));

    Settings badQuicLocal;
    badQuicLocal.quic = true;
    badQuicLocal.localText = "99999";
    EXPECT_FALSE(ApplyEndpoints(badQuicLocal));
}
