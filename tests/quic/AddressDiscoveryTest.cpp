// Address discovery against a local stand-in of the address service.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "quic/HostCertTestSupport.h"
#include "quic/HostCertificate.h"

using namespace quic;

using namespace hostcert_test;

namespace {

// A loopback port on which nothing listens.
unsigned short ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

TEST(AddressDiscovery, RepliesLoseTrailingLineEndsAndAreAskedOnce) {
    LocalHttpServer service(AddressService("203.0.113.7\r\n", "2001:db8::7\n"));
    ASSERT_TRUE(service.Ok());
    ScopedEnvironment url("VTR_ADDRESS_URL", service.BaseUrl() + "/");
    auto holder = std::make_shared<MARVOLENT_DYNAMIC_HOST_CERTIFICATE>();

    EXPECT_EQ(holder->GetPublicAddressV4(), "203.0.113.7");
    EXPECT_EQ(holder->GetPublicAddressV6(), "2001:db8::7");
    EXPECT_EQ(holder->GetPublicAddressV4(), "203.0.113.7");
    EXPECT_EQ(holder->GetPublicAddressV6(), "2001:db8::7");
    EXPECT_EQ(service.Count("/ip.php"), 1);
    EXPECT_EQ(service.Count("/ip6.php"), 1);
    for (const auto& request : service.Requests()) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.userAgent, "Marvolent");
    }
}

TEST(AddressDiscovery, EmptyOrFailedReplyIsAskedAgain) {
    int v4Calls = 0;
    LocalHttpServer service([&v4Calls](const HttpRequest& request) {
        if (request.path == "/ip.php")
            return ++v4Calls == 1 ? HttpResponse{200, ""} : HttpResponse{200, "198.51.100.4"};
        // An error page must not pass for an address.
        return HttpResponse{500, "2001:db8::dead"};
    });
    ASSERT_TRUE(service.Ok());
    ScopedEnvironment url("VTR_ADDRESS_URL", service.BaseUrl());
    auto holder = std::make_shared<MARVOLENT_DYNAMIC_HOST_CERTIFICATE>();

    EXPECT_EQ(holder->GetPublicAddressV4(), "");
    EXPECT_EQ(holder->GetPublicAddressV4(), "198.51.100.4");
    EXPECT_EQ(holder->GetPublicAddressV4(), "198.51.100.4");
    EXPECT_EQ(service.Count("/ip.php"), 2);

    EXPECT_EQ(holder->GetPublicAddressV6(), "");
    EXPECT_EQ(holder->GetPublicAddressV6(), "");
    EXPECT_EQ(service.Count("/ip6.php"), 2);
}

TEST(AddressDiscovery, ReplyEndsAtFirstZeroByteAndOnlyLineEndsAreTrimmed) {
    LocalHttpServer service(
        AddressService(std::string("192.0.2.9\n\r\0trailing", 21), " 2001:db8::1 \r\n\r\n"));
    ASSERT_TRUE(service.Ok());
    ScopedEnvironment url("VTR_ADDRESS_URL", service.BaseUrl());
    auto holder = std::make_shared<MARVOLENT_DYNAMIC_HOST_CERTIFICATE>();
    EXPECT_EQ(holder->GetPublicAddressV4(), "192.0.2.9");
    EXPECT_EQ(holder->GetPublicAddressV6(), " 2001:db8::1 ");
}

TEST(AddressDiscovery, UnreachableServiceGivesEmptyAddressPromptly) {
    ScopedEnvironment url("VTR_ADDRESS_URL", "http://127.0.0.1:" + std::to_string(ClosedPort()));
    auto holder = std::make_shared<MARVOLENT_DYNAMIC_HOST_CERTIFICATE>();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(holder->GetPublicAddressV4(), "");
    EXPECT_EQ(holder->GetPublicAddressV6(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(AddressDiscovery, LocalAddressIsDottedIpv4OrEmptyAndStable) {
    auto holder = std::make_shared<MARVOLENT_DYNAMIC_HOST_CERTIFICATE>();
    const std::string first = holder->GetLocalAddress();
    if (!first.empty()) {
        in_addr parsed{};
        EXPECT_EQ(::inet_pton(AF_INET, first.c_str(), &parsed), 1) << first;
        EXPECT_NE(first, "0.0.0.0");
    }
    EXPECT_EQ(holder->GetLocalAddress(), first);
}

TEST(AddressDiscovery, HttpsServiceTrustedThroughCaFile) {
    ScopedKeyStore store;
    const std::vector<std::string> names = {"127.0.0.1"};
    auto certificate = CreateHostCertificate(names);
    ASSERT_NE(certificate, nullptr);
    LocalHttpServer service(
        AddressService("203.0.113.70\r\n", "2001:db8::70\r\n"),
        HostCredential{certificate->certificatePem, certificate->privateKeyPem});
    ASSERT_TRUE(service.Ok());
    TemporaryDirectory directory;
    const auto caFile = directory.Path() / "ca.pem";
    std::ofstream(caFile) << certificate->certificatePem;

    ScopedEnvironment url("VTR_ADDRESS_URL", service.BaseUrl());
    auto holder = std::make_shared<MARVOLENT_DYNAMIC_HOST_CERTIFICATE>();
    {
        // The system's trust store does not know the certificate: refused.
        ScopedEnvironment noCa("VTR_ADDRESS_CA_FILE", std::nullopt);
        EXPECT_EQ(holder->GetPublicAddressV4(), "");
    }
    ScopedEnvironment ca("VTR_ADDRESS_CA_FILE", caFile.string());
    EXPECT_EQ(holder->GetPublicAddressV4(), "203.0.113.70");
    EXPECT_EQ(holder->GetPublicAddressV6(), "2001:db8::70");
}
