#pragma once
// The QUIC API of this program: a C-style surface shaped like MsQuic's version-2
// API table (names, structs, events and status codes), implemented over ngtcp2
// and GnuTLS. Only what the tunnel needs is offered.
//
// The module owns the UDP sockets, timers, TLS sessions and ngtcp2 state
// behind every handle. Its one error type is QUIC_STATUS below; results of
// ngtcp2, GnuTLS and the socket calls are mapped to it where they are made.
//
// Threads: each listener and each client connection has a worker thread
// (Worker.h) that runs its event loop and every callback of its connections
// and streams; the registration owns the workers and joins them when it is
// closed. The application's threads only queue operations for a worker, or
// wait for one.
//
// Semantics worth knowing:
// - StreamSend does not copy: the caller's buffers stay valid until the
//   send's SEND_COMPLETE event, which arrives exactly once per accepted send
//   (Canceled set when the data was not delivered).
// - The RECEIVE event's buffers are valid during the event only. The handler
//   takes the first TotalBufferLength bytes; it may lower that field to take
//   fewer, and the rest is indicated again (at its offset) after the next
//   StreamReceiveComplete or StreamReceiveSetEnabled(TRUE), with nothing
//   indicated in between. Returning QUIC_STATUS_SUCCESS returns the
//   flow-control credit of the bytes taken at once; QUIC_STATUS_PENDING
//   withholds it until StreamReceiveComplete gives it back, so the peer can
//   never be more than a stream window ahead of what the application has
//   finished with.
// - Events of one connection and of its streams are delivered one at a time on
//   that connection's worker thread. Every API call may be made from any
//   thread, including from inside a callback.
// - An aborted send completes (Canceled) only when the stream has closed or
//   its connection has ended, since until then ngtcp2 may still read the
//   bytes to retransmit them. StreamClose before SHUTDOWN_COMPLETE aborts the
//   stream and suppresses its events: the buffers of sends not yet completed
//   must then stay valid until the connection ends.
// - Datagrams: Initials are padded to 1200 bytes; nothing larger than 1200
//   bytes leaves before path MTU discovery has shown that the path carries
//   it (datagrams go with Don't Fragment, so a probe too large is lost, not
//   split), and nothing larger than the peer's max_udp_payload_size ever.
//   Loopback is no exception. Sends are batched with segmentation offload,
//   receives with recvmmsg and UDP_GRO where the Linux kernel has them; on
//   Windows each datagram is one sendto or recvfrom.
// - Flow control: each stream may have 4 MiB of unread data at its peer, a
//   connection sixteen times that, so streams whose readers stall leave the
//   rest room. Streams with data to send take turns, one packet each.
// - ConnectionClose/StreamClose/ListenerClose called from outside the worker
//   block until the object is shut down; no event for the handle follows
//   their return. Called from inside a callback they take effect when the
//   callback returns, and the closed handle gets no further events.
#include <stdint.h>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QUIC_API
#define QUIC_API_VERSION_2 2

typedef uint8_t BOOLEAN;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef struct QUIC_HANDLE* HQUIC;
typedef uint64_t QUIC_UINT62;

// Status codes: 0 is success, negative values are failures.
typedef int32_t QUIC_STATUS;
#define QUIC_STATUS_SUCCESS ((QUIC_STATUS)0)
#define QUIC_STATUS_PENDING ((QUIC_STATUS)1)
#define QUIC_STATUS_INVALID_PARAMETER ((QUIC_STATUS)-1)
#define QUIC_STATUS_INVALID_STATE ((QUIC_STATUS)-2)
#define QUIC_STATUS_NOT_SUPPORTED ((QUIC_STATUS)-3)
#define QUIC_STATUS_OUT_OF_MEMORY ((QUIC_STATUS)-4)
#define QUIC_STATUS_ABORTED ((QUIC_STATUS)-5)
#define QUIC_STATUS_INTERNAL_ERROR ((QUIC_STATUS)-6)
#define QUIC_STATUS_ADDRESS_IN_USE ((QUIC_STATUS)-7)
#define QUIC_STATUS_UNREACHABLE ((QUIC_STATUS)-8)
#define QUIC_STATUS_CONNECTION_REFUSED ((QUIC_STATUS)-9)
#define QUIC_STATUS_CONNECTION_TIMEOUT ((QUIC_STATUS)-10)
#define QUIC_STATUS_CONNECTION_IDLE ((QUIC_STATUS)-11)
#define QUIC_STATUS_PROTOCOL_ERROR ((QUIC_STATUS)-12)
#define QUIC_STATUS_TLS_ERROR ((QUIC_STATUS)-13)
#define QUIC_STATUS_BAD_CERTIFICATE ((QUIC_STATUS)-14)
#define QUIC_STATUS_ALPN_NEG_FAILURE ((QUIC_STATUS)-15)
#define QUIC_STATUS_STREAM_LIMIT_REACHED ((QUIC_STATUS)-16)
#define QUIC_STATUS_USER_CANCELED ((QUIC_STATUS)-17)
#define QUIC_STATUS_INVALID_ADDRESS ((QUIC_STATUS)-18)

#define QUIC_FAILED(X) (((QUIC_STATUS)(X)) < 0)
#define QUIC_SUCCEEDED(X) (((QUIC_STATUS)(X)) >= 0)

// ---------------------------------------------------------------- addresses

typedef uint16_t QUIC_ADDRESS_FAMILY;
#define QUIC_ADDRESS_FAMILY_UNSPEC ((QUIC_ADDRESS_FAMILY)AF_UNSPEC)
#define QUIC_ADDRESS_FAMILY_INET ((QUIC_ADDRESS_FAMILY)AF_INET)
#define QUIC_ADDRESS_FAMILY_INET6 ((QUIC_ADDRESS_FAMILY)AF_INET6)

typedef union QUIC_ADDR {
    struct sockaddr Ip;
    struct sockaddr_in Ipv4;
    struct sockaddr_in6 Ipv6;
} QUIC_ADDR;

static inline QUIC_ADDRESS_FAMILY QuicAddrGetFamily(const QUIC_ADDR* Addr) {
    return Addr->Ip.sa_family;
}
static inline void QuicAddrSetFamily(QUIC_ADDR* Addr, QUIC_ADDRESS_FAMILY Family) {
    Addr->Ip.sa_family = Family;
}
// Ports are given and returned in host byte order.
static inline uint16_t QuicAddrGetPort(const QUIC_ADDR* Addr) {
    return ntohs(Addr->Ip.sa_family == AF_INET6 ? Addr->Ipv6.sin6_port : Addr->Ipv4.sin_port);
}
static inline void QuicAddrSetPort(QUIC_ADDR* Addr, uint16_t Port) {
    if (Addr->Ip.sa_family == AF_INET6)
        Addr->Ipv6.sin6_port = htons(Port);
    else
        Addr->Ipv4.sin_port = htons(Port);
}

// ---------------------------------------------------------------- common types

typedef struct QUIC_BUFFER {
    uint32_t Length;
    uint8_t* Buffer;
} QUIC_BUFFER;

typedef enum QUIC_EXECUTION_PROFILE {
    QUIC_EXECUTION_PROFILE_LOW_LATENCY,
    QUIC_EXECUTION_PROFILE_TYPE_MAX_THROUGHPUT,
    QUIC_EXECUTION_PROFILE_TYPE_SCAVENGER,
    QUIC_EXECUTION_PROFILE_TYPE_REAL_TIME,
} QUIC_EXECUTION_PROFILE;

typedef struct QUIC_REGISTRATION_CONFIG {
    const char* AppName;
    QUIC_EXECUTION_PROFILE ExecutionProfile;
} QUIC_REGISTRATION_CONFIG;

// Only the fields whose IsSet bit is set are applied; the others keep their
// defaults (idle timeout 30 s, 100 bidirectional and 100 unidirectional peer
// streams, no datagrams, no keep-alive, handshake idle timeout 10 s).
typedef struct QUIC_SETTINGS {
    union {
        uint64_t IsSetFlags;
        struct {
            uint64_t IdleTimeoutMs : 1;
            uint64_t HandshakeIdleTimeoutMs : 1;
            uint64_t PeerBidiStreamCount : 1;
            uint64_t PeerUnidiStreamCount : 1;
            uint64_t DatagramReceiveEnabled : 1;
            uint64_t KeepAliveIntervalMs : 1;
            uint64_t MaxUdpPayloadSize : 1;
            uint64_t RESERVED : 57;
        } IsSet;
    };
    uint64_t IdleTimeoutMs;
    uint64_t HandshakeIdleTimeoutMs;
    uint16_t PeerBidiStreamCount;
    uint16_t PeerUnidiStreamCount;
    uint32_t KeepAliveIntervalMs;
    uint8_t DatagramReceiveEnabled : 1;
    uint8_t RESERVED : 7;
    // The largest UDP payload this side accepts, announced to the peer as its
    // max_udp_payload_size transport parameter (1200 to 65527; default 65527).
    uint16_t MaxUdpPayloadSize;
} QUIC_SETTINGS;

// ---------------------------------------------------------------- credentials

typedef enum QUIC_CREDENTIAL_TYPE {
    QUIC_CREDENTIAL_TYPE_NONE = 0,
    // Certificate chain and private key handed over in memory as PEM text.
    QUIC_CREDENTIAL_TYPE_CERTIFICATE_PEM = 100,
} QUIC_CREDENTIAL_TYPE;

typedef enum QUIC_CREDENTIAL_FLAGS {
    QUIC_CREDENTIAL_FLAG_NONE = 0x0,
    QUIC_CREDENTIAL_FLAG_CLIENT = 0x1,
    QUIC_CREDENTIAL_FLAG_NO_CERTIFICATE_VALIDATION = 0x4,
} QUIC_CREDENTIAL_FLAGS;

typedef struct QUIC_CERTIFICATE_PEM {
    const char* Certificate;
    uint32_t CertificateLength;
    const char* PrivateKey;
    uint32_t PrivateKeyLength;
} QUIC_CERTIFICATE_PEM;

typedef struct QUIC_CREDENTIAL_CONFIG {
    QUIC_CREDENTIAL_TYPE Type;
    QUIC_CREDENTIAL_FLAGS Flags;
    union {
        const QUIC_CERTIFICATE_PEM* CertificatePem;
        void* CertificateContext;
    };
    const char* Principal;
} QUIC_CREDENTIAL_CONFIG;

// ---------------------------------------------------------------- flags

typedef enum QUIC_CONNECTION_SHUTDOWN_FLAGS {
    QUIC_CONNECTION_SHUTDOWN_FLAG_NONE = 0x0,
    QUIC_CONNECTION_SHUTDOWN_FLAG_SILENT = 0x1,
} QUIC_CONNECTION_SHUTDOWN_FLAGS;

typedef enum QUIC_STREAM_OPEN_FLAGS {
    QUIC_STREAM_OPEN_FLAG_NONE = 0x0,
    QUIC_STREAM_OPEN_FLAG_UNIDIRECTIONAL = 0x1,
} QUIC_STREAM_OPEN_FLAGS;

typedef enum QUIC_STREAM_START_FLAGS {
    QUIC_STREAM_START_FLAG_NONE = 0x0,
    // Make the stream known to the peer at once (an empty STREAM frame when
    // no data is queued yet), instead of with its first data.
    QUIC_STREAM_START_FLAG_IMMEDIATE = 0x1,
    // Fail with QUIC_STATUS_STREAM_LIMIT_REACHED instead of waiting for the
    // peer to allow another stream.
    QUIC_STREAM_START_FLAG_FAIL_BLOCKED = 0x2,
} QUIC_STREAM_START_FLAGS;

typedef enum QUIC_STREAM_SHUTDOWN_FLAGS {
    QUIC_STREAM_SHUTDOWN_FLAG_NONE = 0x0,
    QUIC_STREAM_SHUTDOWN_FLAG_GRACEFUL = 0x1,
    QUIC_STREAM_SHUTDOWN_FLAG_ABORT_SEND = 0x2,
    QUIC_STREAM_SHUTDOWN_FLAG_ABORT_RECEIVE = 0x4,
    QUIC_STREAM_SHUTDOWN_FLAG_ABORT = 0x6,
} QUIC_STREAM_SHUTDOWN_FLAGS;

typedef enum QUIC_SEND_FLAGS {
    QUIC_SEND_FLAG_NONE = 0x0,
    QUIC_SEND_FLAG_FIN = 0x4,
} QUIC_SEND_FLAGS;

typedef enum QUIC_RECEIVE_FLAGS {
    QUIC_RECEIVE_FLAG_NONE = 0x0,
    QUIC_RECEIVE_FLAG_FIN = 0x2,
} QUIC_RECEIVE_FLAGS;

// ---------------------------------------------------------------- listener events

typedef struct QUIC_NEW_CONNECTION_INFO {
    uint32_t QuicVersion;
    const QUIC_ADDR* LocalAddress;
    const QUIC_ADDR* RemoteAddress;
    uint16_t ServerNameLength;
    uint8_t NegotiatedAlpnLength;
    const uint8_t* NegotiatedAlpn;
    const char* ServerName;
} QUIC_NEW_CONNECTION_INFO;

typedef enum QUIC_LISTENER_EVENT_TYPE {
    QUIC_LISTENER_EVENT_NEW_CONNECTION = 0,
    QUIC_LISTENER_EVENT_STOP_COMPLETE = 1,
} QUIC_LISTENER_EVENT_TYPE;

typedef struct QUIC_LISTENER_EVENT {
    QUIC_LISTENER_EVENT_TYPE Type;
    union {
        struct {
            const QUIC_NEW_CONNECTION_INFO* Info;
            HQUIC Connection;
        } NEW_CONNECTION;
        struct {
            BOOLEAN AppCloseInProgress;
        } STOP_COMPLETE;
    };
} QUIC_LISTENER_EVENT;

// ---------------------------------------------------------------- connection events

typedef enum QUIC_CONNECTION_EVENT_TYPE {
    QUIC_CONNECTION_EVENT_CONNECTED = 0,
    QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_TRANSPORT = 1,
    QUIC_CONNECTION_EVENT_SHUTDOWN_INITIATED_BY_PEER = 2,
    QUIC_CONNECTION_EVENT_SHUTDOWN_COMPLETE = 3,
    QUIC_CONNECTION_EVENT_PEER_STREAM_STARTED = 6,
    QUIC_CONNECTION_EVENT_STREAMS_AVAILABLE = 7,
    QUIC_CONNECTION_EVENT_DATAGRAM_RECEIVED = 11,
} QUIC_CONNECTION_EVENT_TYPE;

typedef struct QUIC_CONNECTION_EVENT {
    QUIC_CONNECTION_EVENT_TYPE Type;
    union {
        struct {
            BOOLEAN SessionResumed;
            uint8_t NegotiatedAlpnLength;
            const uint8_t* NegotiatedAlpn;
        } CONNECTED;
        struct {
            QUIC_STATUS Status;
            QUIC_UINT62 ErrorCode;
        } SHUTDOWN_INITIATED_BY_TRANSPORT;
        struct {
            QUIC_UINT62 ErrorCode;
        } SHUTDOWN_INITIATED_BY_PEER;
        struct {
            BOOLEAN HandshakeCompleted : 1;
            BOOLEAN PeerAcknowledgedShutdown : 1;
            BOOLEAN AppCloseInProgress : 1;
        } SHUTDOWN_COMPLETE;
        struct {
            HQUIC Stream;
            QUIC_STREAM_OPEN_FLAGS Flags;
        } PEER_STREAM_STARTED;
        struct {
            uint16_t BidirectionalCount;
            uint16_t UnidirectionalCount;
        } STREAMS_AVAILABLE;
        struct {
            const QUIC_BUFFER* Buffer;
            QUIC_RECEIVE_FLAGS Flags;
        } DATAGRAM_RECEIVED;
    };
} QUIC_CONNECTION_EVENT;

// ---------------------------------------------------------------- stream events

typedef enum QUIC_STREAM_EVENT_TYPE {
    QUIC_STREAM_EVENT_START_COMPLETE = 0,
    QUIC_STREAM_EVENT_RECEIVE = 1,
    QUIC_STREAM_EVENT_SEND_COMPLETE = 2,
    QUIC_STREAM_EVENT_PEER_SEND_SHUTDOWN = 3,
    QUIC_STREAM_EVENT_PEER_SEND_ABORTED = 4,
    QUIC_STREAM_EVENT_PEER_RECEIVE_ABORTED = 5,
    QUIC_STREAM_EVENT_SEND_SHUTDOWN_COMPLETE = 6,
    QUIC_STREAM_EVENT_SHUTDOWN_COMPLETE = 7,
    // This implementation's own: the socket attached with StreamAttachSocket
    // may have become readable or writable (edge-triggered: reported once
    // per change, so the application reads or writes until it would block).
    QUIC_STREAM_EVENT_SOCKET_READY = 100,
} QUIC_STREAM_EVENT_TYPE;

typedef struct QUIC_STREAM_EVENT {
    QUIC_STREAM_EVENT_TYPE Type;
    union {
        struct {
            QUIC_STATUS Status;
            QUIC_UINT62 ID;
            BOOLEAN PeerAccepted : 1;
        } START_COMPLETE;
        struct {
            uint64_t AbsoluteOffset;
            uint64_t TotalBufferLength;
            const QUIC_BUFFER* Buffers;
            uint32_t BufferCount;
            QUIC_RECEIVE_FLAGS Flags;
        } RECEIVE;
        struct {
            BOOLEAN Canceled;
            void* ClientContext;
        } SEND_COMPLETE;
        struct {
            QUIC_UINT62 ErrorCode;
        } PEER_SEND_ABORTED;
        struct {
            QUIC_UINT62 ErrorCode;
        } PEER_RECEIVE_ABORTED;
        struct {
            BOOLEAN Graceful;
        } SEND_SHUTDOWN_COMPLETE;
        struct {
            BOOLEAN ConnectionShutdown;
            BOOLEAN AppCloseInProgress : 1;
            BOOLEAN ConnectionShutdownByApp : 1;
            BOOLEAN ConnectionClosedRemotely : 1;
            QUIC_UINT62 ConnectionErrorCode;
            QUIC_STATUS ConnectionCloseStatus;
        } SHUTDOWN_COMPLETE;
        struct {
            BOOLEAN Readable;
            BOOLEAN Writable;
        } SOCKET_READY;
    };
} QUIC_STREAM_EVENT;

// ---------------------------------------------------------------- callbacks

typedef QUIC_STATUS(QUIC_API QUIC_LISTENER_CALLBACK)(HQUIC Listener, void* Context,
                                                     QUIC_LISTENER_EVENT* Event);
typedef QUIC_LISTENER_CALLBACK* QUIC_LISTENER_CALLBACK_HANDLER;

typedef QUIC_STATUS(QUIC_API QUIC_CONNECTION_CALLBACK)(HQUIC Connection, void* Context,
                                                       QUIC_CONNECTION_EVENT* Event);
typedef QUIC_CONNECTION_CALLBACK* QUIC_CONNECTION_CALLBACK_HANDLER;

typedef QUIC_STATUS(QUIC_API QUIC_STREAM_CALLBACK)(HQUIC Stream, void* Context,
                                                   QUIC_STREAM_EVENT* Event);
typedef QUIC_STREAM_CALLBACK* QUIC_STREAM_CALLBACK_HANDLER;

// ---------------------------------------------------------------- API table

typedef void(QUIC_API* QUIC_SET_CONTEXT_FN)(HQUIC Handle, void* Context);
typedef void*(QUIC_API* QUIC_GET_CONTEXT_FN)(HQUIC Handle);
typedef void(QUIC_API* QUIC_SET_CALLBACK_HANDLER_FN)(HQUIC Handle, void* Handler, void* Context);

typedef QUIC_STATUS(QUIC_API* QUIC_REGISTRATION_OPEN_FN)(const QUIC_REGISTRATION_CONFIG* Config,
                                                         HQUIC* Registration);
typedef void(QUIC_API* QUIC_REGISTRATION_CLOSE_FN)(HQUIC Registration);

typedef QUIC_STATUS(QUIC_API* QUIC_CONFIGURATION_OPEN_FN)(
    HQUIC Registration, const QUIC_BUFFER* AlpnBuffers, uint32_t AlpnBufferCount,
    const QUIC_SETTINGS* Settings, uint32_t SettingsSize, void* Context, HQUIC* Configuration);
typedef void(QUIC_API* QUIC_CONFIGURATION_CLOSE_FN)(HQUIC Configuration);
typedef QUIC_STATUS(QUIC_API* QUIC_CONFIGURATION_LOAD_CREDENTIAL_FN)(
    HQUIC Configuration, const QUIC_CREDENTIAL_CONFIG* CredConfig);

typedef QUIC_STATUS(QUIC_API* QUIC_LISTENER_OPEN_FN)(HQUIC Registration,
                                                     QUIC_LISTENER_CALLBACK_HANDLER Handler,
                                                     void* Context, HQUIC* Listener);
typedef void(QUIC_API* QUIC_LISTENER_CLOSE_FN)(HQUIC Listener);
typedef QUIC_STATUS(QUIC_API* QUIC_LISTENER_START_FN)(HQUIC Listener,
                                                      const QUIC_BUFFER* AlpnBuffers,
                                                      uint32_t AlpnBufferCount,
                                                      const QUIC_ADDR* LocalAddress);
typedef void(QUIC_API* QUIC_LISTENER_STOP_FN)(HQUIC Listener);

typedef QUIC_STATUS(QUIC_API* QUIC_CONNECTION_OPEN_FN)(HQUIC Registration,
                                                       QUIC_CONNECTION_CALLBACK_HANDLER Handler,
                                                       void* Context, HQUIC* Connection);
typedef void(QUIC_API* QUIC_CONNECTION_CLOSE_FN)(HQUIC Connection);
typedef void(QUIC_API* QUIC_CONNECTION_SHUTDOWN_FN)(HQUIC Connection,
                                                    QUIC_CONNECTION_SHUTDOWN_FLAGS Flags,
                                                    QUIC_UINT62 ErrorCode);
typedef QUIC_STATUS(QUIC_API* QUIC_CONNECTION_START_FN)(HQUIC Connection, HQUIC Configuration,
                                                        QUIC_ADDRESS_FAMILY Family,
                                                        const char* ServerName,
                                                        uint16_t ServerPort);
typedef QUIC_STATUS(QUIC_API* QUIC_CONNECTION_SET_CONFIGURATION_FN)(HQUIC Connection,
                                                                    HQUIC Configuration);

typedef QUIC_STATUS(QUIC_API* QUIC_STREAM_OPEN_FN)(HQUIC Connection, QUIC_STREAM_OPEN_FLAGS Flags,
                                                   QUIC_STREAM_CALLBACK_HANDLER Handler,
                                                   void* Context, HQUIC* Stream);
typedef void(QUIC_API* QUIC_STREAM_CLOSE_FN)(HQUIC Stream);
typedef QUIC_STATUS(QUIC_API* QUIC_STREAM_START_FN)(HQUIC Stream, QUIC_STREAM_START_FLAGS Flags);
typedef QUIC_STATUS(QUIC_API* QUIC_STREAM_SHUTDOWN_FN)(HQUIC Stream,
                                                       QUIC_STREAM_SHUTDOWN_FLAGS Flags,
                                                       QUIC_UINT62 ErrorCode);
typedef QUIC_STATUS(QUIC_API* QUIC_STREAM_SEND_FN)(HQUIC Stream, const QUIC_BUFFER* Buffers,
                                                   uint32_t BufferCount, QUIC_SEND_FLAGS Flags,
                                                   void* ClientSendContext);
typedef void(QUIC_API* QUIC_STREAM_RECEIVE_COMPLETE_FN)(HQUIC Stream, uint64_t BufferLength);
typedef QUIC_STATUS(QUIC_API* QUIC_STREAM_RECEIVE_SET_ENABLED_FN)(HQUIC Stream, BOOLEAN IsEnabled);
// This implementation's own: the connection's worker watches a duplicate of
// the local socket `Socket` (kept until the stream has ended) and reports
// SOCKET_READY events on the worker thread, so the application can move a
// stream's bytes to and from the socket without a thread of its own.
#ifdef _WIN32
typedef SOCKET QUIC_SOCKET;
#else
typedef int QUIC_SOCKET;
#endif
typedef QUIC_STATUS(QUIC_API* QUIC_STREAM_ATTACH_SOCKET_FN)(HQUIC Stream, QUIC_SOCKET Socket);

typedef struct QUIC_API_TABLE {
    QUIC_SET_CONTEXT_FN SetContext;
    QUIC_GET_CONTEXT_FN GetContext;
    QUIC_SET_CALLBACK_HANDLER_FN SetCallbackHandler;

    QUIC_REGISTRATION_OPEN_FN RegistrationOpen;
    QUIC_REGISTRATION_CLOSE_FN RegistrationClose;

    QUIC_CONFIGURATION_OPEN_FN ConfigurationOpen;
    QUIC_CONFIGURATION_CLOSE_FN ConfigurationClose;
    QUIC_CONFIGURATION_LOAD_CREDENTIAL_FN ConfigurationLoadCredential;

    QUIC_LISTENER_OPEN_FN ListenerOpen;
    QUIC_LISTENER_CLOSE_FN ListenerClose;
    QUIC_LISTENER_START_FN ListenerStart;
    QUIC_LISTENER_STOP_FN ListenerStop;

    QUIC_CONNECTION_OPEN_FN ConnectionOpen;
    QUIC_CONNECTION_CLOSE_FN ConnectionClose;
    QUIC_CONNECTION_SHUTDOWN_FN ConnectionShutdown;
    QUIC_CONNECTION_START_FN ConnectionStart;
    QUIC_CONNECTION_SET_CONFIGURATION_FN ConnectionSetConfiguration;

    QUIC_STREAM_OPEN_FN StreamOpen;
    QUIC_STREAM_CLOSE_FN StreamClose;
    QUIC_STREAM_START_FN StreamStart;
    QUIC_STREAM_SHUTDOWN_FN StreamShutdown;
    QUIC_STREAM_SEND_FN StreamSend;
    QUIC_STREAM_RECEIVE_COMPLETE_FN StreamReceiveComplete;
    QUIC_STREAM_RECEIVE_SET_ENABLED_FN StreamReceiveSetEnabled;
    QUIC_STREAM_ATTACH_SOCKET_FN StreamAttachSocket;
} QUIC_API_TABLE;

// Returns the API table; each successful call must be paired with MsQuicClose.
QUIC_STATUS QUIC_API MsQuicOpen2(const QUIC_API_TABLE** QuicApi);
void QUIC_API MsQuicClose(const QUIC_API_TABLE* QuicApi);

// Not in MsQuic: fills Buffer with keying material exported from the
// connection's TLS session (the TLS 1.3 exporter, empty context) under Label,
// so an application can bind its own proofs to this session. Call from the
// connection's callbacks once it is CONNECTED; QUIC_STATUS_INVALID_STATE
// before the handshake has completed.
QUIC_STATUS QUIC_API MsQuicConnectionExport(HQUIC Connection, const char* Label,
                                            uint32_t LabelLength, uint8_t* Buffer,
                                            uint32_t BufferLength);

#ifdef __cplusplus
}
#endif
