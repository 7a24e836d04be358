// Get against a local HTTP server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "http/Get.h"
#include "support/HttpTestServer.h"

using namespace http;
using testing_support::HttpRequest;
using testing_support::HttpTestServer;

#ifdef _WIN32
// The C runtime's names for the two POSIX calls this test uses.
static int setenv(const char* name, const char* value, int) {
    return ::_putenv_s(name, value);
}
static int unsetenv(const char* name) {
    return ::_putenv_s(name, "");
}
#endif

namespace {

std::string Text(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string BaseUrl(const HttpTestServer& server) {
    return "http://127.0.0.1:" + std::to_string(server.port());
}

// A loopback port on which nothing listens.
int ClosedPort() {
    HttpTestServer gone([](const HttpRequest&) { return std::nullopt; });
    return gone.port();
}

class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

TEST(Get, ReturnsBodyBytesExactlyAndIgnoresProxySettings) {
    std::string binary("\0\x01\xff line\r\n", 10);
    binary += std::string(300000, 'x');
    HttpTestServer server(
        [&binary](const HttpRequest&) { return HttpTestServer::Response(200, binary); });
    // A proxy that does not exist: the request must go directly.
    const std::string proxy = "http://127.0.0.1:" + std::to_string(ClosedPort());
    ScopedVariable httpProxy("http_proxy", proxy);
    ScopedVariable allProxy("ALL_PROXY", proxy);
    GetOptions options;
    options.userAgent = "probe/1";

    const GetReply reply = Get(BaseUrl(server) + "/any?x=1", options);
    EXPECT_EQ(reply.status, Status::Ok);
    EXPECT_EQ(Text(reply.body), binary);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/any?x=1");
    bool agentSeen = false;
    for (const auto& header : requests[0].headers) {
        EXPECT_EQ(header.find("Proxy"), std::string::npos) << header;
        agentSeen = agentSeen || header == "User-Agent: probe/1";
    }
    EXPECT_TRUE(agentSeen);
}

TEST(Get, FailuresGiveNoBody) {
    HttpTestServer server([](const HttpRequest& request) -> std::optional<std::string> {
        if (request.target == "/silent")
            return std::nullopt;
        if (request.target == "/big")
            return HttpTestServer::Response(200, std::string(2000, 'b'));
        if (request.target == "/fits")
            return HttpTestServer::Response(200, std::string(1000, 'f'));
        return HttpTestServer::Response(404, "missing");
    });
    GetOptions options;
    options.timeoutMs = 300;
    options.maxBodyBytes = 1000;

    EXPECT_EQ(Get(BaseUrl(server) + "/fits", options).body.size(), 1000u);
    const GetReply missing = Get(BaseUrl(server) + "/nothing", options);
    EXPECT_EQ(missing.status, Status::Failed);
    EXPECT_TRUE(missing.body.empty());
    const GetReply big = Get(BaseUrl(server) + "/big", options);
    EXPECT_EQ(big.status, Status::TooLarge);
    EXPECT_TRUE(big.body.empty());

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(BaseUrl(server) + "/silent", options).status, Status::Failed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    EXPECT_EQ(Get("not a url").status, Status::Failed);
    EXPECT_EQ(Get("file:///etc/hostname").status, Status::Failed);
}

TEST(Get, UnreachableServerFailsPromptly) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/").status, Status::Failed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
