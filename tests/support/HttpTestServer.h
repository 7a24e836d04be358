#pragma once
// A plain HTTP server on 127.0.0.1 for the HTTP client tests: records every
// request and answers with whatever raw response the test's handler builds.
// Over the platform's sockets, so that it serves on Windows too.
#ifndef _WIN32
#include <arpa/inet.h>
#endif

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"
#include "platform/SocketPoll.h"

namespace testing_support {

using platform::SocketHandle;

struct HttpRequest {
    std::string method;
    std::string target;
    std::vector<std::string> headers;
    std::string body;
    int connection = 0;  // which accepted connection carried it, from 1
};

class HttpTestServer {
  public:
    // nullopt from the handler: keep the connection open and never answer.
    using Handler = std::function<std::optional<std::string>(const HttpRequest&)>;

    explicit HttpTestServer(Handler handler);
    ~HttpTestServer();

    int port() const { return port_; }
    std::vector<HttpRequest> Requests();

    static std::string Response(int status, const std::string& body, bool withLength = true);

  private:
    void AcceptLoop();
    void Serve(SocketHandle fd, int connection);

    Handler handler_;
    SocketHandle listener_ = platform::kInvalidSocket;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<HttpRequest> requests_;
    std::vector<SocketHandle> open_;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
};

inline HttpTestServer::HttpTestServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = platform::OpenSocket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 16);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

inline HttpTestServer::~HttpTestServer() {
    stopping_ = true;
    acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (const SocketHandle fd : open_)
            platform::ShutdownSocket(fd);
    }
    for (auto& worker : workers_)
        worker.join();
    for (const SocketHandle fd : open_)
        platform::CloseSocket(fd);
    platform::CloseSocket(listener_);
}

inline std::vector<HttpRequest> HttpTestServer::Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

inline std::string HttpTestServer::Response(int status, const std::string& body, bool withLength) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Other") +
                       "\r\nContent-Type: application/octet-stream\r\n";
    if (withLength)
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    else
        text += "Connection: close\r\n";
    return text + "\r\n" + body;
}

inline void HttpTestServer::AcceptLoop() {
    int connections = 0;
    while (!stopping_) {
        platform::PollEntry waiting = platform::MakePollEntry(listener_, platform::kPollIn);
        if (platform::PollSockets(std::span(&waiting, 1), 50) <= 0)
            continue;
        const SocketHandle fd = platform::AcceptSocket(listener_);
        if (fd == platform::kInvalidSocket)
            continue;
        std::lock_guard lock(mutex_);
        open_.push_back(fd);
        workers_.emplace_back([this, fd, id = ++connections] { Serve(fd, id); });
    }
}

inline void HttpTestServer::Serve(SocketHandle fd, int connection) {
    std::string data;
    char buffer[8192];
    for (;;) {
        // One request after another on the same connection.
        std::size_t headEnd;
        while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
            const long n = platform::ReceiveBytes(fd, buffer, sizeof buffer, true);
            if (n <= 0)
                return;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        HttpRequest request;
        request.connection = connection;
        const std::string head = data.substr(0, headEnd);
        data.erase(0, headEnd + 4);
        std::size_t start = 0;
        std::size_t contentLength = 0;
        bool first = true;
        while (start <= head.size()) {
            auto end = head.find("\r\n", start);
            if (end == std::string::npos)
                end = head.size();
            const std::string line = head.substr(start, end - start);
            if (first) {
                const auto a = line.find(' ');
                const auto b = line.find(' ', a + 1);
                request.method = line.substr(0, a);
                request.target = line.substr(a + 1, b - a - 1);
                first = false;
            } else {
                request.headers.push_back(line);
                if (line.rfind("Content-Length:", 0) == 0)
                    contentLength = std::strtoull(line.c_str() + 15, nullptr, 10);
            }
            start = end + 2;
        }
        while (data.size() < contentLength) {
            const long n = platform::ReceiveBytes(fd, buffer, sizeof buffer, true);
            if (n <= 0)
                return;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        request.body = data.substr(0, contentLength);
        data.erase(0, contentLength);
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        const auto response = handler_(request);
        if (!response) {
            // Hold the connection silently until the server goes away.
            while (platform::ReceiveBytes(fd, buffer, sizeof buffer, true) > 0) {
            }
            return;
        }
        for (std::size_t sent = 0; sent < response->size();) {
            const long n =
                platform::SendBytes(fd, response->data() + sent, response->size() - sent, true);
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
        if (response->find("Connection: close") != std::string::npos) {
#ifdef _WIN32
            ::shutdown(fd, SD_SEND);
#else
            ::shutdown(fd, SHUT_WR);
#endif
            return;
        }
    }
}

}  // namespace testing_support
