#pragma once
// Helpers for the host-certificate and address tests: environment overrides,
// a private temporary directory and a small HTTP(S) server on 127.0.0.1 that
// stands in for the maker's address service.
#include <gnutls/gnutls.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/SocketPoll.h"
#include "quic/HostCertificate.h"

using namespace quic;

namespace hostcert_test {

#ifdef _WIN32
inline void setenv(const char* name, const char* value, int) {
    ::_putenv_s(name, value);
}
inline void unsetenv(const char* name) {
    ::_putenv_s(name, "");
}
#else
using ::setenv;
using ::unsetenv;
#endif

class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = ::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

class TemporaryDirectory {
  public:
    TemporaryDirectory() {
#ifdef _WIN32
        for (unsigned attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate =
                std::filesystem::temp_directory_path() /
                ("vtrcert." + std::to_string(std::random_device{}()) + std::to_string(attempt));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error))
                path_ = candidate;
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "vtrcert.XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
#endif
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& Path() const {
        return path_;
    }

  private:
    std::filesystem::path path_;
};

// A temporary key store for the duration of a test.
class ScopedKeyStore {
  public:
    ScopedKeyStore() : environment_("XDG_DATA_HOME", directory_.Path().string()) {}
    std::filesystem::path KeyDirectory() const { return directory_.Path() / "vantora" / "keys"; }

  private:
    TemporaryDirectory directory_;
    ScopedEnvironment environment_;
};

struct HttpRequest {
    std::string method;
    std::string path;
    std::string userAgent;
    std::string head;  // request line and headers as received
};

struct HttpResponse {
    int status = 200;
    std::string body;
    bool silent = false;  // accept, read the request, never answer
};

// One connection at a time, "Connection: close" replies. With a credential
// it speaks HTTPS.
class LocalHttpServer {
  public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit LocalHttpServer(Handler handler, std::optional<HostCredential> tls = std::nullopt)
        : handler_(std::move(handler)), tls_(std::move(tls)) {
        listener_ = platform::OpenSocket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ == platform::kInvalidSocket ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        if (tls_) {
            gnutls_certificate_allocate_credentials(&credentials_);
            const gnutls_datum_t cert{reinterpret_cast<unsigned char*>(tls_->certificatePem.data()),
                                      static_cast<unsigned>(tls_->certificatePem.size())};
            const gnutls_datum_t key{reinterpret_cast<unsigned char*>(tls_->privateKeyPem.data()),
                                     static_cast<unsigned>(tls_->privateKeyPem.size())};
            if (gnutls_certificate_set_x509_key_mem2(credentials_, &cert, &key, GNUTLS_X509_FMT_PEM,
                                                     nullptr, 0) < 0)
                port_ = 0;
        }
        thread_ = std::thread([this] { Run(); });
    }

    ~LocalHttpServer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ != platform::kInvalidSocket)
            platform::CloseSocket(listener_);
        if (credentials_ != nullptr)
            gnutls_certificate_free_credentials(credentials_);
    }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    bool Ok() const { return port_ != 0; }
    std::string BaseUrl() const {
        return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
    }
    std::vector<HttpRequest> Requests() const {
        std::lock_guard guard(mutex_);
        return requests_;
    }
    int Count(const std::string& path) const {
        int count = 0;
        for (const auto& request : Requests())
            count += request.path == path ? 1 : 0;
        return count;
    }

  private:
    void Run() {
        while (!stop_) {
            platform::PollEntry waiting = platform::MakePollEntry(listener_, platform::kPollIn);
            if (platform::PollSockets(std::span(&waiting, 1), 50) <= 0)
                continue;
            const platform::SocketHandle connection = platform::AcceptSocket(listener_);
            if (connection == platform::kInvalidSocket)
                continue;
            platform::SetReceiveTimeout(connection, std::chrono::seconds(2));
            platform::SetSendTimeout(connection, std::chrono::seconds(2));
            Serve(connection);
            platform::CloseSocket(connection);
        }
    }

    void Serve(platform::SocketHandle connection) {
        struct SessionDeleter {
            void operator()(gnutls_session_t session) const { gnutls_deinit(session); }
        };
        std::unique_ptr<std::remove_pointer_t<gnutls_session_t>, SessionDeleter> session;
        if (tls_) {
            gnutls_session_t raw = nullptr;
            if (gnutls_init(&raw, GNUTLS_SERVER) != 0)
                return;
            session.reset(raw);
            gnutls_set_default_priority(raw);
            gnutls_credentials_set(raw, GNUTLS_CRD_CERTIFICATE, credentials_);
            gnutls_transport_set_int(raw, static_cast<int>(connection));
            gnutls_handshake_set_timeout(raw, 2000);
            int result;
            do {
                result = gnutls_handshake(raw);
            } while (result < 0 && gnutls_error_is_fatal(result) == 0);
            if (result < 0)
                return;
        }
        auto receive = [&](char* buffer, std::size_t size) -> long {
            return session ? gnutls_record_recv(session.get(), buffer, size)
                           : platform::ReceiveBytes(connection, buffer, size, true);
        };
        auto send = [&](const std::string& data) {
            std::size_t sent = 0;
            while (sent < data.size()) {
                const long n = session ? gnutls_record_send(session.get(), data.data() + sent,
                                                            data.size() - sent)
                                       : platform::SendBytes(connection, data.data() + sent,
                                                             data.size() - sent, true);
                if (n <= 0)
                    return;
                sent += static_cast<std::size_t>(n);
            }
        };
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            const long n = receive(buffer, sizeof buffer);
            if (n <= 0)
                return;
            head.append(buffer, static_cast<std::size_t>(n));
        }
        HttpRequest request;
        request.head = head;
        const auto firstSpace = head.find(' ');
        const auto secondSpace = head.find(' ', firstSpace + 1);
        request.method = head.substr(0, firstSpace);
        request.path = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        const auto agent = head.find("\r\nUser-Agent: ");
        if (agent != std::string::npos) {
            const auto start = agent + 14;
            request.userAgent = head.substr(start, head.find("\r\n", start) - start);
        }
        {
            std::lock_guard guard(mutex_);
            requests_.push_back(request);
        }
        const HttpResponse response = handler_(request);
        if (response.silent) {
            while (!stop_)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return;
        }
        send("HTTP/1.1 " + std::to_string(response.status) +
             " X\r\nContent-Length: " + std::to_string(response.body.size()) +
             "\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n" + response.body);
        if (session)
            gnutls_bye(session.get(), GNUTLS_SHUT_WR);
    }

    Handler handler_;
    std::optional<HostCredential> tls_;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    platform::SocketHandle listener_ = platform::kInvalidSocket;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
};

// The address service's two paths with fixed replies; anything else is 404.
inline LocalHttpServer::Handler AddressService(std::string v4Reply, std::string v6Reply) {
    return [v4Reply, v6Reply](const HttpRequest& request) {
        if (request.path == "/ip.php")
            return HttpResponse{200, v4Reply};
        if (request.path == "/ip6.php")
            return HttpResponse{200, v6Reply};
        return HttpResponse{404, "not here"};
    };
}

}  // namespace hostcert_test
