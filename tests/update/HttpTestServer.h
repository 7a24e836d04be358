#pragma once
// A plain HTTP server on 127.0.0.1 for the REST client tests: records every
// request and answers with whatever raw response the test's handler builds.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace updatetest {

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
    void Serve(int fd, int connection);

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<HttpRequest> requests_;
    std::vector<int> open_;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
};

}  // namespace updatetest
