#pragma once
// What an internet_handle holds, over the program's HTTP client: a session
// (the user agent), a connection (server, secure flag and the connection
// cache its requests share) or a request (one transfer).
#include <memory>
#include <string>

#include "http/Transfer.h"
#include "update/rest/InternetHandle.h"

namespace Zelt::RESTAPI::detail {

class SessionObject final : public internet_object {
  public:
    explicit SessionObject(std::string agent) : agent(std::move(agent)) {}
    std::string agent;
};

class ConnectionObject final : public internet_object {
  public:
    ConnectionObject(std::string server, bool secure)
        : server(std::move(server)),
          secure(secure),
          cache(std::make_shared<http::ConnectionCache>()) {}
    std::string server;  // host[:port], UTF-8
    bool secure;
    std::shared_ptr<http::ConnectionCache> cache;
};

class RequestObject final : public internet_object {
  public:
    RequestObject(std::shared_ptr<http::ConnectionCache> cache, http::RequestOptions options)
        : transfer(std::move(cache), std::move(options)) {}
    http::Transfer transfer;
};

}  // namespace Zelt::RESTAPI::detail
