// The REST client against a real HTTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/HttpTestServer.h"
#include "update/rest/ReadResponse.h"
#include "update/rest/RestClient.h"

namespace {

using namespace Zelt;
using namespace Zelt::RESTAPI;
using testing_support::HttpRequest;
using testing_support::HttpTestServer;

std::string Body(std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        body[i] = static_cast<char>('a' + i % 26);
    return body;
}

std::wstring Server(const HttpTestServer& server) {
    return L"127.0.0.1:" + std::to_wstring(server.port());
}

bool HasHeader(const HttpRequest& request, const std::string& prefix) {
    for (const auto& h : request.headers)
        if (h.rfind(prefix, 0) == 0)
            return true;
    return false;
}

TEST(RestClient, NullPathGivesAnEmptyHandle) {
    rest_client client;
    memory_data_provider body(nullptr, 0);
    EXPECT_FALSE(client.request(std::nullopt, body, true, {}, {}, nullptr));
}

TEST(RestClient, BodyInOnePieceIsSentWithVerbGetAndReportedOnce) {
    HttpTestServer server(
        [](const HttpRequest& r) { return HttpTestServer::Response(200, r.body); });
    rest_client client;
    ASSERT_EQ(client.connect(Server(server), false), kOk);
    const std::string payload = "1,vtr232,P,0,4096|2,sub/new.dll,F,0,0";
    std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
    int context = 0;
    auto handle = client.request_buffer(
        L"/zelt/zelt.php?k=x&f=patch", reinterpret_cast<const std::uint8_t*>(payload.data()),
        static_cast<std::uint32_t>(payload.size()), std::vector<std::wstring>{L"X-Test: 1", L""},
        [&](std::uint32_t sent, std::uint32_t total, void* ctx) {
            EXPECT_EQ(ctx, &context);
            calls.emplace_back(sent, total);
            return kOk;
        },
        &context, true);
    ASSERT_TRUE(handle);
    std::vector<std::uint8_t> reply;
    EXPECT_EQ(read_response_bytes(handle, reply, {}, nullptr, true), kOk);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), payload);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0],
              std::make_pair(std::uint32_t(payload.size()), std::uint32_t(payload.size())));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/zelt/zelt.php?k=x&f=patch");
    EXPECT_TRUE(HasHeader(requests[0], "X-Test: 1"));
    EXPECT_FALSE(HasHeader(requests[0], "Content-Type"));
}

TEST(RestClient, EmptyBodyIsOnePieceEvenWhenStreamingIsPreferred) {
    HttpTestServer server([](const HttpRequest&) { return HttpTestServer::Response(200, "ok"); });
    rest_client client;
    ASSERT_EQ(client.connect(Server(server), false), kOk);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
    memory_data_provider body(nullptr, 0);
    auto handle = client.request(
        L"/e", body, false, {},
        [&](std::uint32_t sent, std::uint32_t total, void*) {
            calls.emplace_back(sent, total);
            return kOk;
        },
        nullptr);
    ASSERT_TRUE(handle);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(0u, 0u));
    EXPECT_EQ(server.Requests().at(0).method, "GET");
    EXPECT_TRUE(server.Requests().at(0).body.empty());
}

TEST(RestClient, StreamedBodyTravelsIn4096BytePiecesWithPrefixAndSuffix) {
    HttpTestServer server(
        [](const HttpRequest& r) { return HttpTestServer::Response(200, r.body); });
    rest_client client;
    ASSERT_EQ(client.connect(Server(server), false), kOk);
    const std::string payload = Body(10000);
    memory_data_provider body(reinterpret_cast<const std::uint8_t*>(payload.data()),
                              static_cast<std::uint32_t>(payload.size()));
    const std::string prefix = "<<", suffix = ">>";
    std::vector<std::uint32_t> sent;
    auto handle = client.request(
        L"/s", body, false, {},
        [&](std::uint32_t done, std::uint32_t total, void*) {
            EXPECT_EQ(total, 10000u);
            sent.push_back(done);
            return kOk;
        },
        nullptr, std::span(reinterpret_cast<const std::uint8_t*>(prefix.data()), prefix.size()),
        std::span(reinterpret_cast<const std::uint8_t*>(suffix.data()), suffix.size()));
    ASSERT_TRUE(handle);
    EXPECT_EQ(sent, (std::vector<std::uint32_t>{4096, 8192, 10000}));
    EXPECT_EQ(server.Requests().at(0).method, "GET");
    EXPECT_EQ(server.Requests().at(0).body, prefix + payload + suffix);

    // A negative upload callback abandons the request.
    memory_data_provider again(reinterpret_cast<const std::uint8_t*>(payload.data()),
                               static_cast<std::uint32_t>(payload.size()));
    auto refused = client.request(
        L"/s", again, false, {}, [](std::uint32_t, std::uint32_t, void*) { return kAbort; },
        nullptr);
    EXPECT_FALSE(refused);
}

TEST(RestClient, ResponsesAreReadInPiecesWithContentLengthAsTotal) {
    const std::string payload = Body(35000);
    HttpTestServer server([&](const HttpRequest& r) {
        return HttpTestServer::Response(200, payload, r.target != "/nolength");
    });
    for (const bool withLength : {true, false}) {
        rest_client client;
        ASSERT_EQ(client.connect(Server(server), false), kOk);
        auto handle = client.request_buffer(withLength ? L"/len" : L"/nolength", nullptr, 0, {}, {},
                                            nullptr, true);
        ASSERT_TRUE(handle);
        std::vector<std::uint64_t> received;
        std::vector<std::uint8_t> reply;
        const HRESULT hr = read_response_bytes(
            handle, reply,
            [&](std::uint64_t got, std::uint64_t total, void*) {
                EXPECT_EQ(total, withLength ? payload.size() : 4294967295ull);
                received.push_back(got);
                return kOk;
            },
            nullptr, true);
        EXPECT_EQ(hr, kOk);
        EXPECT_EQ(std::string(reply.begin(), reply.end()), payload);
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received.back(), payload.size());
        std::uint64_t previous = 0;
        for (const auto got : received) {
            EXPECT_GT(got, previous);
            EXPECT_LE(got - previous, 10000u);
            previous = got;
        }
    }
}

TEST(RestClient, NegativeDownloadCallbackKeepsTheFirstPiece) {
    const std::string payload = Body(50000);
    HttpTestServer server(
        [&](const HttpRequest&) { return HttpTestServer::Response(200, payload); });
    rest_client client;
    ASSERT_EQ(client.connect(Server(server), false), kOk);
    auto handle = client.request_buffer(L"/x", nullptr, 0, {}, {}, nullptr, true);
    std::vector<std::uint8_t> reply;
    int calls = 0;
    EXPECT_EQ(read_response_bytes(
                  handle, reply,
                  [&](std::uint64_t, std::uint64_t, void*) {
                      ++calls;
                      return kAbort;
                  },
                  nullptr, true),
              kAbort);
    EXPECT_EQ(calls, 1);
    ASSERT_FALSE(reply.empty());
    EXPECT_LE(reply.size(), 10000u);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), payload.substr(0, reply.size()));
}

TEST(RestClient, ErrorStatusBodyIsReadLikeAnyOther) {
    HttpTestServer server([](const HttpRequest&) { return HttpTestServer::Response(404, "gone"); });
    rest_client client;
    ASSERT_EQ(client.connect(Server(server), false), kOk);
    auto handle = client.request_buffer(L"/missing", nullptr, 0, {}, {}, nullptr, true);
    std::vector<std::uint8_t> reply;
    EXPECT_EQ(read_response_bytes(handle, reply, {}, nullptr, true), kOk);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), "gone");
}

TEST(RestClient, EmptyHandleReadFails) {
    std::vector<std::uint8_t> reply{1, 2};
    EXPECT_EQ(read_response_bytes(internet_handle(), reply, {}, nullptr, true), kFail);
    EXPECT_TRUE(reply.empty());
}

TEST(RestClient, ConnectKeepsTheConnectionForTheSameServerInAnyCase) {
    HttpTestServer server([](const HttpRequest&) { return HttpTestServer::Response(200, "x"); });
    rest_client client;
    const std::wstring lower = L"localhost:" + std::to_wstring(server.port());
    const std::wstring upper = L"LOCALHOST:" + std::to_wstring(server.port());
    ASSERT_EQ(client.connect(lower, false), kOk);
    const auto* connection = client.connection().get();
    const auto* session = client.session().get();
    ASSERT_EQ(client.connect(upper, true), kOk);
    EXPECT_EQ(client.connection().get(), connection);
    EXPECT_EQ(client.session().get(), session);

    // Two requests on the kept connection share one socket.
    for (int i = 0; i < 2; ++i) {
        auto handle = client.request_buffer(L"/r", nullptr, 0, {}, {}, nullptr, true);
        std::vector<std::uint8_t> reply;
        EXPECT_EQ(read_response_bytes(handle, reply, {}, nullptr, true), kOk);
    }
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].connection, requests[1].connection);

    ASSERT_EQ(client.connect(Server(server), false), kOk);
    EXPECT_NE(client.session().get(), nullptr);
    EXPECT_EQ(client.server(), Server(server));
}

TEST(RestClient, AbsoluteUrlInCapitalsOpensAFreshSession) {
    HttpTestServer server(
        [](const HttpRequest& r) { return HttpTestServer::Response(200, r.target); });
    rest_client client;
    ASSERT_EQ(client.connect(L"127.0.0.2:1", false), kOk);
    const internet_handle oldSession = client.session();  // keeps the old object alive
    memory_data_provider body(nullptr, 0);
    auto handle =
        client.request(L"HTTP://127.0.0.1:" + std::to_wstring(server.port()) + L"/abs?q=1", body,
                       true, {}, {}, nullptr);
    ASSERT_TRUE(handle);
    EXPECT_FALSE(client.connection());
    EXPECT_TRUE(client.session());
    EXPECT_NE(client.session().get(), oldSession.get());
    std::vector<std::uint8_t> reply;
    EXPECT_EQ(read_response_bytes(handle, reply, {}, nullptr, true), kOk);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), "/abs?q=1");
}

TEST(RestClient, InternetHandleClosesWithItsLastOwner) {
    rest_client client;
    ASSERT_EQ(client.connect(L"example.invalid", true), kOk);
    internet_handle copy = client.connection();
    EXPECT_EQ(copy.owners(), 2);
    internet_handle moved = std::move(copy);
    EXPECT_FALSE(copy);
    EXPECT_EQ(moved.owners(), 2);
    moved.reset();
    EXPECT_EQ(client.connection().owners(), 1);
}

TEST(RestClient, CancelEndsAWaitForASilentServerPromptly) {
    HttpTestServer server([](const HttpRequest&) { return std::nullopt; });
    rest_client client;
    std::atomic<bool> cancel{false};
    client.cancel = &cancel;
    ASSERT_EQ(client.connect(Server(server), false), kOk);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel = true;
    });
    const auto start = std::chrono::steady_clock::now();
    auto handle = client.request_buffer(L"/wait", nullptr, 0, {}, {}, nullptr, true);
    stopper.join();
    EXPECT_FALSE(handle);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST(RestClient, ConnectionRefusedFailsTheRequestQuickly) {
    int port = 0;
    {
        HttpTestServer gone([](const HttpRequest&) { return std::nullopt; });
        port = gone.port();
    }
    rest_client client;
    ASSERT_EQ(client.connect(L"127.0.0.1:" + std::to_wstring(port), false), kOk);
    const auto start = std::chrono::steady_clock::now();
    auto handle = client.request_buffer(L"/", nullptr, 0, {}, {}, nullptr, true);
    EXPECT_FALSE(handle);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
