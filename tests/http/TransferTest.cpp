// Transfer against a local HTTP server: bodies sent whole or in pieces, the
// reply pulled afterwards, requests sharing one connection cache.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "http/Transfer.h"
#include "support/HttpTestServer.h"

using namespace http;
using testing_support::HttpRequest;
using testing_support::HttpTestServer;

namespace {

RequestOptions Options(const HttpTestServer& server, const std::string& path) {
    RequestOptions options;
    options.url = "http://127.0.0.1:" + std::to_string(server.port()) + path;
    options.userAgent = "probe";
    options.headers = {"Expect:", "X-One: 1"};
    return options;
}

std::string ReadAll(Transfer& transfer, std::size_t piece, Status& status) {
    std::string text;
    std::vector<std::uint8_t> buffer(piece);
    for (;;) {
        std::size_t got = 0;
        status = transfer.ReadBody(buffer, got);
        if (status != Status::Ok || got == 0)
            return text;
        EXPECT_LE(got, piece);
        text.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
    }
}

TEST(Transfer, StreamedPiecesArriveInOrderAsOneBodyOfTheDeclaredLength) {
    HttpTestServer server([](const HttpRequest& r) {
        return HttpTestServer::Response(200, r.method + ":" + r.body);
    });
    auto cache = std::make_shared<ConnectionCache>();
    Transfer transfer(cache, Options(server, "/up"));
    ASSERT_TRUE(transfer.Valid());
    // Pieces of uneven sizes, larger and smaller than libcurl's own buffer.
    const std::vector<std::string> pieces = {"head|", std::string(9000, 'x'), "z", "|tail"};
    std::size_t next = 0;
    std::uint64_t length = 0;
    for (const auto& p : pieces)
        length += p.size();
    const Status sent = transfer.SendStreamed(length, [&](std::vector<std::uint8_t>& piece) {
        piece.clear();
        if (next < pieces.size())
            piece.assign(pieces[next].begin(), pieces[next].end());
        ++next;
        return true;
    });
    ASSERT_EQ(sent, Status::Ok);
    Status read = Status::Failed;
    const std::string reply = ReadAll(transfer, 7, read);
    EXPECT_EQ(read, Status::Ok);
    EXPECT_EQ(reply, "GET:head|" + std::string(9000, 'x') + "z|tail");
    EXPECT_EQ(transfer.ContentLength(), reply.size());
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/up");
    bool custom = false;
    for (const auto& h : requests[0].headers) {
        EXPECT_NE(h.rfind("Expect", 0), 0u) << "removed header was sent: " << h;
        custom = custom || h == "X-One: 1";
    }
    EXPECT_TRUE(custom);
}

TEST(Transfer, SourceThatRefusesAbortsTheRequest) {
    HttpTestServer server([](const HttpRequest&) { return HttpTestServer::Response(200, "x"); });
    Transfer transfer(std::make_shared<ConnectionCache>(), Options(server, "/up"));
    int calls = 0;
    const Status sent = transfer.SendStreamed(100000, [&](std::vector<std::uint8_t>& piece) {
        piece.assign(4096, 'a');
        return ++calls < 3;
    });
    EXPECT_EQ(sent, Status::Aborted);
    EXPECT_EQ(calls, 3);
}

TEST(Transfer, ReplyWithoutLengthIsReadToTheEndAndRequestsShareAConnection) {
    HttpTestServer server([](const HttpRequest& r) {
        // The second reply closes the connection instead of naming a length.
        return HttpTestServer::Response(200, "body of " + r.target, r.target == "/one");
    });
    auto cache = std::make_shared<ConnectionCache>();
    {
        Transfer first(cache, Options(server, "/one"));
        ASSERT_EQ(first.SendOnePiece({}), Status::Ok);
        Status read = Status::Failed;
        EXPECT_EQ(ReadAll(first, 100, read), "body of /one");
        EXPECT_EQ(read, Status::Ok);
    }
    Transfer second(cache, Options(server, "/two"));
    const std::string payload = "abc";
    ASSERT_EQ(second.SendOnePiece(
                  std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size())),
              Status::Ok);
    EXPECT_FALSE(second.ContentLength());
    Status read = Status::Failed;
    EXPECT_EQ(ReadAll(second, 3, read), "body of /two");
    EXPECT_EQ(read, Status::Ok);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].body, "abc");
    EXPECT_EQ(requests[1].connection, requests[0].connection);
}

TEST(Transfer, CancelFlagEndsAWaitPromptly) {
    HttpTestServer server([](const HttpRequest&) { return std::nullopt; });
    std::atomic<bool> cancel{false};
    RequestOptions options = Options(server, "/wait");
    options.cancel = &cancel;
    Transfer transfer(std::make_shared<ConnectionCache>(), options);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transfer.SendOnePiece({}), Status::Aborted);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    std::size_t got = 1;
    std::vector<std::uint8_t> buffer(10);
    EXPECT_EQ(transfer.ReadBody(buffer, got), Status::Failed);
    EXPECT_EQ(got, 0u);
}

}  // namespace
