// Throughput of one stream and small-message round trips over the QUIC layer
// on loopback, beside direct loopback TCP measured the same way.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quic/api/msquic_api.h"

namespace {

constexpr size_t kTransfer = 256u << 20;
constexpr size_t kChunk = 1u << 20;
constexpr size_t kMessage = 64;
const char kAlpn[] = "vtrbench";

std::pair<std::string, std::string> MakeCertificate() {
    gnutls_x509_privkey_t key;
    gnutls_x509_crt_t crt;
    gnutls_x509_privkey_init(&key);
    gnutls_x509_crt_init(&crt);
    gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                 GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0);
    gnutls_x509_crt_set_version(crt, 3);
    unsigned char serial[4] = {1, 2, 3, 4};
    gnutls_x509_crt_set_serial(crt, serial, sizeof serial);
    time_t now = time(nullptr);
    gnutls_x509_crt_set_activation_time(crt, now - 60);
    gnutls_x509_crt_set_expiration_time(crt, now + 86400);
    gnutls_x509_crt_set_dn(crt, "CN=localhost", nullptr);
    gnutls_x509_crt_set_key(crt, key);
    gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0);
    gnutls_datum_t certOut{};
    gnutls_datum_t keyOut{};
    gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &certOut);
    gnutls_x509_privkey_export2(key, GNUTLS_X509_FMT_PEM, &keyOut);
    std::pair<std::string, std::string> result{
        std::string(reinterpret_cast<char*>(certOut.data), certOut.size),
        std::string(reinterpret_cast<char*>(keyOut.data), keyOut.size)};
    gnutls_free(certOut.data);
    gnutls_free(keyOut.data);
    gnutls_x509_crt_deinit(crt);
    gnutls_x509_privkey_deinit(key);
    return result;
}

// Per round trip times. On a shared machine the mean follows whatever else
// runs; the median and the tenth percentile show the path itself.
class LatencySamples {
  public:
    LatencySamples() {
        micros.reserve(1 << 20);
        cpuStart = ProcessCpuMicros();
    }
    void Add(std::chrono::steady_clock::time_point start) {
        if (micros.size() < micros.capacity())
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                    .count());
    }
    void Report(benchmark::State& state) {
        if (micros.empty())
            return;
        std::sort(micros.begin(), micros.end());
        state.counters["p10_us"] = micros[micros.size() / 10];
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p90_us"] = micros[micros.size() * 9 / 10];
        // Processor time of every thread of the process (the layer's workers,
        // the echo thread) per round trip: less dependent on other load.
        state.counters["cpu_us"] = (ProcessCpuMicros() - cpuStart) / micros.size();
    }

  private:
    static double ProcessCpuMicros() {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
    }
    std::vector<double> micros;
    double cpuStart = 0;
};

// One server and one client connection with one server-opened stream; the
// client echoes when asked to, and counts what it receives.
class QuicSetup {
  public:
    QuicSetup() {
        auto [certificate, key] = MakeCertificate();
        certificatePem = certificate;
        keyPem = key;
        MsQuicOpen2(&api);
        QUIC_REGISTRATION_CONFIG serverReg{"bench-server",
                                           QUIC_EXECUTION_PROFILE_TYPE_MAX_THROUGHPUT};
        QUIC_REGISTRATION_CONFIG clientReg{"bench-client",
                                           QUIC_EXECUTION_PROFILE_TYPE_MAX_THROUGHPUT};
        api->RegistrationOpen(&serverReg, &serverRegistration);
        api->RegistrationOpen(&clientReg, &clientRegistration);
        QUIC_SETTINGS settings{};
        settings.IdleTimeoutMs = 60000;
        settings.IsSet.IdleTimeoutMs = TRUE;
        settings.PeerBidiStreamCount = 16;
        settings.IsSet.PeerBidiStreamCount = TRUE;
        QUIC_BUFFER alpn{static_cast<uint32_t>(strlen(kAlpn)),
                         reinterpret_cast<uint8_t*>(const_cast<char*>(kAlpn))};
        api->ConfigurationOpen(serverRegistration, &alpn, 1, &settings, sizeof settings, nullptr,
                               &serverConfiguration);
        api->ConfigurationOpen(clientRegistration, &alpn, 1, &settings, sizeof settings, nullptr,
                               &clientConfiguration);
        QUIC_CERTIFICATE_PEM pem{certificatePem.c_str(),
                                 static_cast<uint32_t>(certificatePem.size()), keyPem.c_str(),
                                 static_cast<uint32_t>(keyPem.size())};
        QUIC_CREDENTIAL_CONFIG serverCred{};
        serverCred.Type = QUIC_CREDENTIAL_TYPE_CERTIFICATE_PEM;
        serverCred.CertificatePem = &pem;
        api->ConfigurationLoadCredential(serverConfiguration, &serverCred);
        QUIC_CREDENTIAL_CONFIG clientCred{};
        clientCred.Flags = static_cast<QUIC_CREDENTIAL_FLAGS>(
            QUIC_CREDENTIAL_FLAG_CLIENT | QUIC_CREDENTIAL_FLAG_NO_CERTIFICATE_VALIDATION);
        api->ConfigurationLoadCredential(clientConfiguration, &clientCred);
        api->ListenerOpen(serverRegistration, OnListener, this, &listener);
        QUIC_ADDR address{};
        QuicAddrSetFamily(&address, QUIC_ADDRESS_FAMILY_INET);
        address.Ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (uint16_t candidate = 27311; port == 0 && candidate < 27400; ++candidate) {
            QuicAddrSetPort(&address, candidate);
            if (api->ListenerStart(listener, &alpn, 1, &address) == QUIC_STATUS_SUCCESS)
                port = candidate;
        }
        api->ConnectionOpen(clientRegistration, OnClientConnection, this, &clientConnection);
        api->ConnectionStart(clientConnection, clientConfiguration, QUIC_ADDRESS_FAMILY_INET,
                             "127.0.0.1", port);
        std::unique_lock guard(lock);
        changed.wait_for(guard, std::chrono::seconds(5), [this] { return serverConnection; });
        guard.unlock();
        api->StreamOpen(serverConnection, QUIC_STREAM_OPEN_FLAG_NONE, OnServerStream, this,
                        &serverStream);
        api->StreamStart(serverStream, QUIC_STREAM_START_FLAG_IMMEDIATE);
        ready = serverStream != nullptr;
    }

    ~QuicSetup() {
        api->ListenerClose(listener);
        api->ConnectionClose(clientConnection);
        api->ConfigurationClose(serverConfiguration);
        api->ConfigurationClose(clientConfiguration);
        api->RegistrationClose(clientRegistration);
        api->RegistrationClose(serverRegistration);
        MsQuicClose(api);
    }

    // Sends `size` bytes server to client and waits until all have arrived.
    bool Transfer(const std::vector<uint8_t>& data) {
        uint64_t target = clientReceived + data.size();
        std::vector<QUIC_BUFFER> buffers;
        for (size_t offset = 0; offset < data.size(); offset += kChunk)
            buffers.push_back({static_cast<uint32_t>(std::min(kChunk, data.size() - offset)),
                               const_cast<uint8_t*>(data.data()) + offset});
        for (auto& buffer : buffers)
            api->StreamSend(serverStream, &buffer, 1, QUIC_SEND_FLAG_NONE, nullptr);
        std::unique_lock guard(lock);
        // Wait for the data and for the buffers to be released by the layer.
        return changed.wait_for(guard, std::chrono::seconds(60),
                                [&] { return clientReceived >= target && pendingSends == 0; });
    }

    // One small message to the client and its echo back.
    bool RoundTrip() {
        static uint8_t message[kMessage] = {};
        QUIC_BUFFER buffer{kMessage, message};
        uint64_t target = serverReceived + kMessage;
        {
            std::lock_guard guard(lock);
            ++pendingSends;
        }
        api->StreamSend(serverStream, &buffer, 1, QUIC_SEND_FLAG_NONE, &buffer);
        std::unique_lock guard(lock);
        return echoed.wait_for(guard, std::chrono::seconds(5),
                               [&] { return serverReceived >= target; });
    }

    void SetEcho(bool on) { echo = on; }
    void ExpectSends(int count) {
        std::lock_guard guard(lock);
        pendingSends += count;
    }

    bool ready = false;

  private:
    static QUIC_STATUS QUIC_API OnListener(HQUIC, void* context, QUIC_LISTENER_EVENT* event) {
        auto* self = static_cast<QuicSetup*>(context);
        if (event->Type != QUIC_LISTENER_EVENT_NEW_CONNECTION)
            return QUIC_STATUS_NOT_SUPPORTED;
        HQUIC connection = event->NEW_CONNECTION.Connection;
        self->api->ConnectionSetConfiguration(connection, self->serverConfiguration);
        self->api->SetCallbackHandler(connection, reinterpret_cast<void*>(OnServerConnection),
                                      self);
        return QUIC_STATUS_SUCCESS;
    }
    static QUIC_STATUS QUIC_API OnServerConnection(HQUIC connection, void* context,
                                                   QUIC_CONNECTION_EVENT* event) {
        auto* self = static_cast<QuicSetup*>(context);
        if (event->Type == QUIC_CONNECTION_EVENT_CONNECTED) {
            std::lock_guard guard(self->lock);
            self->serverConnection = connection;
            self->changed.notify_all();
        } else if (event->Type == QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE) {
            self->api->ConnectionClose(connection);
        }
        return QUIC_STATUS_SUCCESS;
    }
    static QUIC_STATUS QUIC_API OnClientConnection(HQUIC, void* context,
                                                   QUIC_CONNECTION_EVENT* event) {
        auto* self = static_cast<QuicSetup*>(context);
        if (event->Type == QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED) {
            self->api->SetCallbackHandler(event->PEER_STREAM_STARTED.Stream,
                                          reinterpret_cast<void*>(OnClientStream), self);
        }
        return QUIC_STATUS_SUCCESS;
    }
    static QUIC_STATUS QUIC_API OnServerStream(HQUIC stream, void* context,
                                               QUIC_STREAM_EVENT* event) {
        auto* self = static_cast<QuicSetup*>(context);
        // Notified after unlocking, so the woken thread does not block on the lock.
        if (event->Type == QUIC_STREAM_EVENT_RECEIVE) {
            {
                std::lock_guard guard(self->lock);
                self->serverReceived += event->RECEIVE.TotalBufferLength;
            }
            self->echoed.notify_all();
        } else if (event->Type == QUIC_STREAM_EVENT_SEND_COMPLETE) {
            {
                std::lock_guard guard(self->lock);
                --self->pendingSends;
            }
            self->changed.notify_all();
        } else if (event->Type == QUIC_STREAM_EVENT_SHUTDOWN_COMPLETE) {
            self->api->StreamClose(stream);
        }
        return QUIC_STATUS_SUCCESS;
    }
    static QUIC_STATUS QUIC_API OnClientStream(HQUIC stream, void* context,
                                               QUIC_STREAM_EVENT* event) {
        auto* self = static_cast<QuicSetup*>(context);
        if (event->Type == QUIC_STREAM_EVENT_RECEIVE) {
            uint64_t length = event->RECEIVE.TotalBufferLength;
            if (self->echo) {
                // The echo owns its copy until the layer completes the send.
                auto copy = std::make_unique<std::vector<uint8_t>>();
                for (uint32_t i = 0; i < event->RECEIVE.BufferCount; ++i)
                    copy->insert(
                        copy->end(), event->RECEIVE.Buffers[i].Buffer,
                        event->RECEIVE.Buffers[i].Buffer + event->RECEIVE.Buffers[i].Length);
                auto holder = std::make_unique<
                    std::pair<std::unique_ptr<std::vector<uint8_t>>, QUIC_BUFFER>>();
                holder->second = {static_cast<uint32_t>(copy->size()), copy->data()};
                holder->first = std::move(copy);
                QUIC_BUFFER* buffer = &holder->second;
                if (QUIC_SUCCEEDED(self->api->StreamSend(stream, buffer, 1, QUIC_SEND_FLAG_NONE,
                                                         holder.get())))
                    holder.release();
            }
            {
                std::lock_guard guard(self->lock);
                self->clientReceived += length;
            }
            self->changed.notify_all();
        } else if (event->Type == QUIC_STREAM_EVENT_SEND_COMPLETE) {
            std::unique_ptr<std::pair<std::unique_ptr<std::vector<uint8_t>>, QUIC_BUFFER>> done(
                static_cast<std::pair<std::unique_ptr<std::vector<uint8_t>>, QUIC_BUFFER>*>(
                    event->SEND_COMPLETE.ClientContext));
        } else if (event->Type == QUIC_STREAM_EVENT_SHUTDOWN_COMPLETE) {
            self->api->StreamClose(stream);
        }
        return QUIC_STATUS_SUCCESS;
    }

    const QUIC_API_TABLE* api = nullptr;
    std::string certificatePem;
    std::string keyPem;
    HQUIC serverRegistration = nullptr;
    HQUIC clientRegistration = nullptr;
    HQUIC serverConfiguration = nullptr;
    HQUIC clientConfiguration = nullptr;
    HQUIC listener = nullptr;
    HQUIC clientConnection = nullptr;
    HQUIC serverConnection = nullptr;
    HQUIC serverStream = nullptr;
    uint16_t port = 0;
    std::atomic<bool> echo{false};
    std::mutex lock;
    // Round trips wait on their own condition, so that the client's receive
    // and the send completions do not wake the measuring thread for nothing
    // (the TCP round trip has no such extra wake-ups either).
    std::condition_variable changed;
    std::condition_variable echoed;
    uint64_t clientReceived = 0;
    uint64_t serverReceived = 0;
    int pendingSends = 0;
};

void BM_QuicStreamThroughput(benchmark::State& state) {
    QuicSetup setup;
    if (!setup.ready) {
        state.SkipWithError("no QUIC connection");
        return;
    }
    std::vector<uint8_t> data(kTransfer, 0x42);
    const int chunks = static_cast<int>((kTransfer + kChunk - 1) / kChunk);
    for (auto _ : state) {
        setup.ExpectSends(chunks);
        if (!setup.Transfer(data)) {
            state.SkipWithError("transfer timed out");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
}
BENCHMARK(BM_QuicStreamThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_QuicRoundTrip(benchmark::State& state) {
    QuicSetup setup;
    if (!setup.ready) {
        state.SkipWithError("no QUIC connection");
        return;
    }
    setup.SetEcho(true);
    LatencySamples samples;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!setup.RoundTrip()) {
            state.SkipWithError("round trip timed out");
            return;
        }
        samples.Add(start);
    }
    state.SetItemsProcessed(state.iterations());
    samples.Report(state);
}
BENCHMARK(BM_QuicRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

// Direct loopback TCP: a connected pair of sockets.
struct TcpPair {
    int client = -1;
    int server = -1;
    TcpPair() {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        listen(listener, 1);
        client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        server = accept(listener, nullptr, nullptr);
        close(listener);
        int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~TcpPair() {
        close(client);
        close(server);
    }
};

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t got = recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

void BM_TcpThroughput(benchmark::State& state) {
    TcpPair tcp;
    std::vector<uint8_t> data(kTransfer, 0x42);
    for (auto _ : state) {
        std::thread sender([&] { WriteAll(tcp.server, data.data(), data.size()); });
        std::vector<uint8_t> sink(kChunk);
        size_t left = kTransfer;
        while (left > 0) {
            ssize_t got = recv(tcp.client, sink.data(), std::min(left, sink.size()), 0);
            if (got <= 0)
                break;
            left -= static_cast<size_t>(got);
        }
        sender.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTransfer));
}
BENCHMARK(BM_TcpThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_TcpRoundTrip(benchmark::State& state) {
    TcpPair tcp;
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        uint8_t message[kMessage];
        while (ReadAll(tcp.client, message, kMessage) && WriteAll(tcp.client, message, kMessage)) {
        }
    });
    uint8_t message[kMessage] = {};
    LatencySamples samples;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        WriteAll(tcp.server, message, kMessage);
        ReadAll(tcp.server, message, kMessage);
        samples.Add(start);
    }
    samples.Report(state);
    shutdown(tcp.server, SHUT_RDWR);
    shutdown(tcp.client, SHUT_RDWR);
    echo.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TcpRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
