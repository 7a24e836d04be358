#include "quic/QuicEndpoint.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <algorithm>
#include <cstring>

#include "quic/PublishedHandles.h"

namespace quic {

namespace {

QUIC_BUFFER AlpnBuffer(std::string_view alpn) {
    return QUIC_BUFFER{static_cast<std::uint32_t>(alpn.size()),
                       reinterpret_cast<std::uint8_t*>(const_cast<char*>(alpn.data()))};
}

}  // namespace

QuicEndpoint::QuicEndpoint() : state_(std::make_shared<QuicEndpointState>()) {}

QuicEndpoint::~QuicEndpoint() {
    Close();
}

bool QuicEndpoint::IsOpen() const {
    return api_ != nullptr;
}

QUIC_STATUS QuicEndpoint::Open(std::string_view appName, QuicRole role,
                               const QuicEndpointOptions& options) {
    appName_ = appName;
    if (api_ != nullptr)
        return kQuicStatusAlreadyOpen;
    const QUIC_API_TABLE* api = nullptr;
    QUIC_STATUS status = MsQuicOpen2(&api);
    if (QUIC_FAILED(status))
        return status;
    api_ = api;
    state_->bridgePeerStreams = role != QuicRole::Server;
    state_->preambleTimeoutMs = options.preambleTimeoutMs;

    const QUIC_REGISTRATION_CONFIG registrationConfig{appName_.c_str(),
                                                      QUIC_EXECUTION_PROFILE_TYPE_MAX_THROUGHPUT};
    status = api_->RegistrationOpen(&registrationConfig, &registration_);
    if (QUIC_FAILED(status))
        return status;

    QUIC_SETTINGS settings;
    std::memset(&settings, 0, sizeof settings);
    settings.IdleTimeoutMs = options.idleTimeoutMs;
    settings.IsSet.IdleTimeoutMs = 1;
    settings.PeerBidiStreamCount = 16;
    settings.IsSet.PeerBidiStreamCount = 1;
    settings.PeerUnidiStreamCount = 16;
    settings.IsSet.PeerUnidiStreamCount = 1;
    settings.DatagramReceiveEnabled = 1;
    settings.IsSet.DatagramReceiveEnabled = 1;
    const QUIC_BUFFER alpn = AlpnBuffer(kQuicAlpn);
    status = api_->ConfigurationOpen(registration_, &alpn, 1, &settings, sizeof settings, nullptr,
                                     &configuration_);
    if (QUIC_FAILED(status))
        return status;

    QUIC_CREDENTIAL_CONFIG credential;
    std::memset(&credential, 0, sizeof credential);
    // Kept alive until the configuration has loaded it.
    HostCredential host;
    QUIC_CERTIFICATE_PEM pem{};
    switch (role) {
        case QuicRole::Server:
            host = options.credential ? *options.credential : GetCertificate();
            credential.Flags = QUIC_CREDENTIAL_FLAG_NONE;
            credential.Type = QUIC_CREDENTIAL_TYPE_CERTIFICATE_PEM;
            if (!host.Empty()) {
                pem.Certificate = host.certificatePem.c_str();
                pem.CertificateLength = static_cast<std::uint32_t>(host.certificatePem.size());
                pem.PrivateKey = host.privateKeyPem.c_str();
                pem.PrivateKeyLength = static_cast<std::uint32_t>(host.privateKeyPem.size());
                credential.CertificatePem = &pem;
            }
            break;
        case QuicRole::Client:
            credential.Type = QUIC_CREDENTIAL_TYPE_NONE;
            credential.Flags = QUIC_CREDENTIAL_FLAG_CLIENT;
            break;
        case QuicRole::ClientNoCertificateCheck:
            credential.Type = QUIC_CREDENTIAL_TYPE_NONE;
            credential.Flags = static_cast<QUIC_CREDENTIAL_FLAGS>(
                QUIC_CREDENTIAL_FLAG_CLIENT | QUIC_CREDENTIAL_FLAG_NO_CERTIFICATE_VALIDATION);
            break;
    }
    status = api_->ConfigurationLoadCredential(configuration_, &credential);
    return QUIC_FAILED(status) ? status : QUIC_STATUS_SUCCESS;
}

QUIC_STATUS QuicEndpoint::Listen(std::uint16_t port, std::string_view alpn) {
    if (api_ == nullptr || registration_ == nullptr)
        return QUIC_STATUS_INVALID_STATE;
    HQUIC listener = nullptr;
    QUIC_STATUS status =
        api_->ListenerOpen(registration_, &QuicEndpoint::ListenerCallback, this, &listener);
    if (QUIC_FAILED(status))
        return status;
    listeners_.push_back(listener);
    QUIC_ADDR address;
    std::memset(&address, 0, sizeof address);
    QuicAddrSetFamily(&address, QUIC_ADDRESS_FAMILY_INET);
    QuicAddrSetPort(&address, port);
    const QUIC_BUFFER alpnBuffer = AlpnBuffer(alpn);
    status = api_->ListenerStart(listener, &alpnBuffer, 1, &address);
    if (QUIC_SUCCEEDED(status))
        serverListener.store(listener);
    return status;
}

QUIC_STATUS QuicEndpoint::Connect(std::string_view host, std::uint16_t port,
                                  ConnectionHandler handler, void* context) {
    if (api_ == nullptr || registration_ == nullptr)
        return QUIC_STATUS_INVALID_STATE;
    auto session = std::make_shared<QuicSession>(api_, state_);
    session->SetHandler(handler, context);
    HQUIC connection = nullptr;
    QUIC_STATUS status =
        api_->ConnectionOpen(registration_, &QuicSession::Callback, session.get(), &connection);
    if (QUIC_FAILED(status))
        return status;
    session->Attach(connection);
    clientConnection.store(connection);
    // Listed before it starts, so that its shutdown finds it.
    state_->AddSession(session);
    const std::string hostText(host);
    status = api_->ConnectionStart(connection, configuration_, QUIC_ADDRESS_FAMILY_INET,
                                   hostText.c_str(), port);
    if (QUIC_FAILED(status)) {
        state_->RemoveSession(session.get());
        session->CloseAll();
        HQUIC expected = connection;
        clientConnection.compare_exchange_strong(expected, nullptr);
        return status;
    }
    return QUIC_STATUS_SUCCESS;
}

std::shared_ptr<QuicSession> QuicEndpoint::FindSession(HQUIC connection) const {
    return state_->FindSession(connection);
}

std::vector<std::shared_ptr<QuicSession>> QuicEndpoint::Sessions() const {
    return state_->Sessions();
}

void QuicEndpoint::Close() {
    if (api_ != nullptr) {
        // Called from outside the worker, ListenerClose returns once the
        // listener is stopped.
        for (HQUIC listener : listeners_) {
            HQUIC expected = listener;
            serverListener.compare_exchange_strong(expected, nullptr);
            api_->ListenerClose(listener);
        }
    }
    listeners_.clear();
    std::vector<std::shared_ptr<QuicSession>> sessions = state_->TakeSessions();
    // Closing a session closes the sockets its bridge threads block on and
    // ends the streams they wait for.
    for (const auto& session : sessions)
        session->CloseAll();
    sessions.clear();
    // An accept thread that got a connection just before its socket closed
    // may start one more thread while the set is being joined.
    while (state_->bridgeThreads.Size() > 0)
        state_->bridgeThreads.JoinAll();
    if (api_ != nullptr) {
        if (configuration_ != nullptr)
            api_->ConfigurationClose(configuration_);
        if (registration_ != nullptr)
            api_->RegistrationClose(registration_);
        MsQuicClose(api_);
    }
    configuration_ = nullptr;
    registration_ = nullptr;
    api_ = nullptr;
}

QUIC_STATUS QuicEndpoint::SendOnStream(HQUIC connection, HQUIC stream,
                                       std::span<const std::uint8_t> bytes, std::size_t maxUnsent) {
    const std::shared_ptr<QuicSession> session = FindSession(connection);
    if (!session)
        return QUIC_STATUS_INVALID_PARAMETER;
    const std::shared_ptr<QuicStream> found = session->FindStream(stream);
    if (!found)
        return QUIC_STATUS_INVALID_PARAMETER;
    if (maxUnsent != 0 && !found->WaitForSendRoom(maxUnsent, kPacedSendIdle))
        return QUIC_STATUS_INVALID_STATE;
    return found->Send(bytes);
}

std::optional<std::size_t> QuicEndpoint::UnacknowledgedOnStream(HQUIC connection,
                                                                HQUIC stream) const {
    const std::shared_ptr<QuicSession> session = FindSession(connection);
    const std::shared_ptr<QuicStream> found = session ? session->FindStream(stream) : nullptr;
    if (!found)
        return std::nullopt;
    return found->Unacknowledged();
}

QUIC_STATUS QUIC_API QuicEndpoint::ListenerCallback(HQUIC listener, void* context,
                                                    QUIC_LISTENER_EVENT* event) {
    auto* endpoint = static_cast<QuicEndpoint*>(context);
    if (endpoint == nullptr)
        return QUIC_STATUS_INVALID_STATE;
    return endpoint->OnListenerEvent(listener, event);
}

QUIC_STATUS QuicEndpoint::OnListenerEvent(HQUIC listener, QUIC_LISTENER_EVENT* event) {
    const auto [handler, context] = GetListenerHandler();
    if (event->Type != QUIC_LISTENER_EVENT_NEW_CONNECTION) {
        if (handler != nullptr) {
            const QUIC_STATUS status = handler(listener, event, context);
            if (QUIC_FAILED(status))
                return status;
        }
        return QUIC_STATUS_NOT_SUPPORTED;
    }
    const HQUIC connection = event->NEW_CONNECTION.Connection;
    QUIC_STATUS status = api_->ConnectionSetConfiguration(connection, configuration_);
    if (QUIC_FAILED(status)) {
        api_->ConnectionClose(connection);
        return status;
    }
    auto session = std::make_shared<QuicSession>(api_, state_);
    session->Attach(connection);
    state_->AddSession(session);
    api_->SetCallbackHandler(connection, reinterpret_cast<void*>(&QuicSession::Callback),
                             session.get());
    if (handler != nullptr) {
        status = handler(listener, event, context);
        if (QUIC_FAILED(status))
            return status;
    }
    return QUIC_STATUS_SUCCESS;
}

}  // namespace quic
