// The API table: argument checks and the hand-over from HQUIC handles to the
// objects behind them.
#include <memory>
#include <string>
#include <vector>

#include "quic/api/Configuration.h"
#include "quic/api/Connection.h"
#include "quic/api/Listener.h"
#include "quic/api/Registration.h"
#include "quic/api/Stream.h"
#include "quic/api/msquic_api.h"

namespace quicapi {
namespace {

bool IsSocket(QUIC_SOCKET socket) {
#ifdef _WIN32
    return socket != INVALID_SOCKET;
#else
    return socket >= 0;
#endif
}

template <typename T>
T* As(HQUIC handle, QuicHandleType type) {
    if (handle == nullptr || handle->type != type)
        return nullptr;
    return static_cast<T*>(handle);
}

Registration* AsRegistration(HQUIC h) {
    return As<Registration>(h, QuicHandleType::Registration);
}
Configuration* AsConfiguration(HQUIC h) {
    return As<Configuration>(h, QuicHandleType::Configuration);
}
Listener* AsListener(HQUIC h) {
    return As<Listener>(h, QuicHandleType::Listener);
}
Connection* AsConnection(HQUIC h) {
    return As<Connection>(h, QuicHandleType::Connection);
}
Stream* AsStream(HQUIC h) {
    return As<Stream>(h, QuicHandleType::Stream);
}

// Hands a new object to the application, which holds it through appRef until
// it closes the handle.
template <typename T>
QUIC_STATUS Publish(const std::shared_ptr<T>& object, HQUIC* out) {
    object->appRef = object;
    *out = object.get();
    return QUIC_STATUS_SUCCESS;
}

// The same for an object that calls back: its callback and context first.
template <typename T, typename Callback>
QUIC_STATUS Publish(const std::shared_ptr<T>& object, Callback* handler, void* context,
                    HQUIC* out) {
    object->SetHandler(reinterpret_cast<void*>(handler), context);
    return Publish(object, out);
}

// The application's close: the object goes once nothing else holds it.
template <typename T>
void DropAppRef(T& object) {
    std::shared_ptr<T> drop = std::move(object.appRef);
}

bool ReadAlpns(const QUIC_BUFFER* buffers, uint32_t count, std::vector<std::string>& out) {
    if (buffers == nullptr || count == 0)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (buffers[i].Length == 0 || buffers[i].Length > 255 || buffers[i].Buffer == nullptr)
            return false;
        out.emplace_back(reinterpret_cast<const char*>(buffers[i].Buffer), buffers[i].Length);
    }
    return true;
}

void QUIC_API SetContext(HQUIC handle, void* context) {
    if (handle != nullptr)
        handle->SetContext(context);
}

void* QUIC_API GetContext(HQUIC handle) {
    return handle != nullptr ? handle->Context() : nullptr;
}

void QUIC_API SetCallbackHandler(HQUIC handle, void* handler, void* context) {
    if (handle != nullptr)
        handle->SetHandler(handler, context);
}

QUIC_STATUS QUIC_API RegistrationOpen(const QUIC_REGISTRATION_CONFIG* config, HQUIC* out) {
    if (out == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    std::string name = config != nullptr && config->AppName != nullptr ? config->AppName : "";
    auto profile =
        config != nullptr ? config->ExecutionProfile : QUIC_EXECUTION_PROFILE_LOW_LATENCY;
    auto registration = std::make_shared<Registration>(std::move(name), profile);
    return Publish(registration, out);
}

void QUIC_API RegistrationClose(HQUIC handle) {
    if (Registration* registration = AsRegistration(handle)) {
        registration->Close();
        DropAppRef(*registration);
    }
}

QUIC_STATUS QUIC_API ConfigurationOpen(HQUIC handle, const QUIC_BUFFER* alpnBuffers,
                                       uint32_t alpnCount, const QUIC_SETTINGS* settings,
                                       uint32_t settingsSize, void* context, HQUIC* out) {
    Registration* registration = AsRegistration(handle);
    std::vector<std::string> alpns;
    if (registration == nullptr || out == nullptr || !ReadAlpns(alpnBuffers, alpnCount, alpns))
        return QUIC_STATUS_INVALID_PARAMETER;
    TransportSettings transport;
    if (settings != nullptr) {
        if (settingsSize < sizeof(QUIC_SETTINGS))
            return QUIC_STATUS_INVALID_PARAMETER;
        if (settings->IsSet.IdleTimeoutMs)
            transport.idleTimeoutMs = settings->IdleTimeoutMs;
        if (settings->IsSet.HandshakeIdleTimeoutMs)
            transport.handshakeIdleTimeoutMs = settings->HandshakeIdleTimeoutMs;
        if (settings->IsSet.PeerBidiStreamCount)
            transport.peerBidiStreamCount = settings->PeerBidiStreamCount;
        if (settings->IsSet.PeerUnidiStreamCount)
            transport.peerUnidiStreamCount = settings->PeerUnidiStreamCount;
        if (settings->IsSet.DatagramReceiveEnabled)
            transport.datagramReceiveEnabled = settings->DatagramReceiveEnabled != 0;
        if (settings->IsSet.KeepAliveIntervalMs)
            transport.keepAliveIntervalMs = settings->KeepAliveIntervalMs;
        if (settings->IsSet.MaxUdpPayloadSize) {
            // Below 1200 no QUIC datagram fits; above 65527 no UDP one does.
            if (settings->MaxUdpPayloadSize < 1200 || settings->MaxUdpPayloadSize > 65527)
                return QUIC_STATUS_INVALID_PARAMETER;
            transport.maxUdpPayloadSize = settings->MaxUdpPayloadSize;
        }
        // The idle timeout travels in milliseconds on the wire and is kept in
        // nanoseconds by ngtcp2.
        if (transport.idleTimeoutMs > (1ull << 40) ||
            transport.handshakeIdleTimeoutMs > (1ull << 40))
            return QUIC_STATUS_INVALID_PARAMETER;
    }
    if (transport.handshakeIdleTimeoutMs == 0)
        transport.handshakeIdleTimeoutMs = 10000;
    auto configuration = std::make_shared<Configuration>(registration->shared_from_this(),
                                                         std::move(alpns), transport);
    configuration->SetContext(context);
    return Publish(configuration, out);
}

void QUIC_API ConfigurationClose(HQUIC handle) {
    if (Configuration* configuration = AsConfiguration(handle))
        DropAppRef(*configuration);
}

QUIC_STATUS QUIC_API ConfigurationLoadCredential(HQUIC handle,
                                                 const QUIC_CREDENTIAL_CONFIG* config) {
    Configuration* configuration = AsConfiguration(handle);
    if (configuration == nullptr || config == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    return configuration->LoadCredential(*config);
}

QUIC_STATUS QUIC_API ListenerOpen(HQUIC handle, QUIC_LISTENER_CALLBACK_HANDLER handler,
                                  void* context, HQUIC* out) {
    Registration* registration = AsRegistration(handle);
    if (registration == nullptr || handler == nullptr || out == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    auto listener = std::make_shared<Listener>(registration->shared_from_this());
    return Publish(listener, handler, context, out);
}

void QUIC_API ListenerClose(HQUIC handle) {
    if (Listener* listener = AsListener(handle)) {
        listener->Close();
        DropAppRef(*listener);
    }
}

QUIC_STATUS QUIC_API ListenerStart(HQUIC handle, const QUIC_BUFFER* alpnBuffers, uint32_t alpnCount,
                                   const QUIC_ADDR* localAddress) {
    Listener* listener = AsListener(handle);
    std::vector<std::string> alpns;
    if (listener == nullptr || !ReadAlpns(alpnBuffers, alpnCount, alpns))
        return QUIC_STATUS_INVALID_PARAMETER;
    return listener->Start(std::move(alpns), localAddress);
}

void QUIC_API ListenerStop(HQUIC handle) {
    if (Listener* listener = AsListener(handle))
        listener->Stop();
}

QUIC_STATUS QUIC_API ConnectionOpen(HQUIC handle, QUIC_CONNECTION_CALLBACK_HANDLER handler,
                                    void* context, HQUIC* out) {
    Registration* registration = AsRegistration(handle);
    if (registration == nullptr || handler == nullptr || out == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    auto connection = std::make_shared<Connection>(registration->shared_from_this(), false);
    return Publish(connection, handler, context, out);
}

void QUIC_API ConnectionClose(HQUIC handle) {
    if (Connection* connection = AsConnection(handle))
        connection->Close();
}

void QUIC_API ConnectionShutdown(HQUIC handle, QUIC_CONNECTION_SHUTDOWN_FLAGS flags,
                                 QUIC_UINT62 errorCode) {
    if (Connection* connection = AsConnection(handle))
        connection->Shutdown(flags, errorCode);
}

QUIC_STATUS QUIC_API ConnectionStart(HQUIC handle, HQUIC configHandle, QUIC_ADDRESS_FAMILY family,
                                     const char* serverName, uint16_t serverPort) {
    Connection* connection = AsConnection(handle);
    Configuration* configuration = AsConfiguration(configHandle);
    if (connection == nullptr || configuration == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    return connection->Start(configuration->shared_from_this(), family, serverName, serverPort);
}

QUIC_STATUS QUIC_API ConnectionSetConfiguration(HQUIC handle, HQUIC configHandle) {
    Connection* connection = AsConnection(handle);
    Configuration* configuration = AsConfiguration(configHandle);
    if (connection == nullptr || configuration == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    return connection->SetConfiguration(configuration->shared_from_this());
}

QUIC_STATUS QUIC_API StreamOpen(HQUIC handle, QUIC_STREAM_OPEN_FLAGS flags,
                                QUIC_STREAM_CALLBACK_HANDLER handler, void* context, HQUIC* out) {
    Connection* connection = AsConnection(handle);
    if (connection == nullptr || handler == nullptr || out == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    if (flags & ~QUIC_STREAM_OPEN_FLAG_UNIDIRECTIONAL)
        return QUIC_STATUS_NOT_SUPPORTED;
    if (connection->HasEnded())
        return QUIC_STATUS_INVALID_STATE;
    auto stream = std::make_shared<Stream>(connection->shared_from_this(), flags);
    return Publish(stream, handler, context, out);
}

void QUIC_API StreamClose(HQUIC handle) {
    if (Stream* stream = AsStream(handle))
        stream->Close();
}

QUIC_STATUS QUIC_API StreamStart(HQUIC handle, QUIC_STREAM_START_FLAGS flags) {
    Stream* stream = AsStream(handle);
    if (stream == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    return stream->Start(flags);
}

QUIC_STATUS QUIC_API StreamShutdown(HQUIC handle, QUIC_STREAM_SHUTDOWN_FLAGS flags,
                                    QUIC_UINT62 errorCode) {
    Stream* stream = AsStream(handle);
    if (stream == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    return stream->Shutdown(flags, errorCode);
}

QUIC_STATUS QUIC_API StreamSend(HQUIC handle, const QUIC_BUFFER* buffers, uint32_t count,
                                QUIC_SEND_FLAGS flags, void* context) {
    Stream* stream = AsStream(handle);
    if (stream == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    return stream->Send(buffers, count, flags, context);
}

void QUIC_API StreamReceiveComplete(HQUIC handle, uint64_t length) {
    if (Stream* stream = AsStream(handle))
        stream->ReceiveComplete(length);
}

QUIC_STATUS QUIC_API StreamReceiveSetEnabled(HQUIC handle, BOOLEAN enabled) {
    Stream* stream = AsStream(handle);
    if (stream == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    return stream->SetReceiveEnabled(enabled != FALSE);
}

QUIC_STATUS QUIC_API StreamAttachSocket(HQUIC handle, QUIC_SOCKET socket) {
    Stream* stream = AsStream(handle);
    if (stream == nullptr || !IsSocket(socket))
        return QUIC_STATUS_INVALID_PARAMETER;
    return stream->AttachSocket(socket);
}

constexpr QUIC_API_TABLE kApiTable = {
    SetContext,
    GetContext,
    SetCallbackHandler,
    RegistrationOpen,
    RegistrationClose,
    ConfigurationOpen,
    ConfigurationClose,
    ConfigurationLoadCredential,
    ListenerOpen,
    ListenerClose,
    ListenerStart,
    ListenerStop,
    ConnectionOpen,
    ConnectionClose,
    ConnectionShutdown,
    ConnectionStart,
    ConnectionSetConfiguration,
    StreamOpen,
    StreamClose,
    StreamStart,
    StreamShutdown,
    StreamSend,
    StreamReceiveComplete,
    StreamReceiveSetEnabled,
    StreamAttachSocket,
};

}  // namespace
}  // namespace quicapi

QUIC_STATUS QUIC_API MsQuicOpen2(const QUIC_API_TABLE** api) {
    if (api == nullptr)
        return QUIC_STATUS_INVALID_PARAMETER;
    *api = &quicapi::kApiTable;
    return QUIC_STATUS_SUCCESS;
}

void QUIC_API MsQuicClose(const QUIC_API_TABLE*) {}

QUIC_STATUS QUIC_API MsQuicConnectionExport(HQUIC connection, const char* label,
                                            uint32_t labelLength, uint8_t* buffer,
                                            uint32_t bufferLength) {
    auto* object = quicapi::AsConnection(connection);
    if (object == nullptr || label == nullptr || buffer == nullptr || bufferLength == 0)
        return QUIC_STATUS_INVALID_PARAMETER;
    return object->Export(std::string_view(label, labelLength), std::span(buffer, bufferLength))
               ? QUIC_STATUS_SUCCESS
               : QUIC_STATUS_INVALID_STATE;
}
