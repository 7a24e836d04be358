#include "app/Services.h"

#include <unistd.h>

#include "app/ConfigFile.h"
#include "app/ProcessEnd.h"
#include "app/Settings.h"
#include "auth/PeerAuth.h"
#include "debughost/Monitor.h"
#include "deploy/DeployReceiver.h"
#include "deploy/DeploySender.h"
#include "platform/Console.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "quic/HostCertificate.h"
#include "quic/PublishedHandles.h"
#include "update/UpdateThread.h"

namespace app {

void UpdateThreadBody() {
    Zelt::UpdateThreadEntry();
}

void RequestUpdateStop() {
    Zelt::RequestUpdateStop();
}

Services::Services(Settings& settings, ProcessEnd& end) : settings_(settings), end_(end) {}

Services::~Services() = default;

void Services::PrepareHostCertificate() {
    quic::PrepareHostCertificate();
}

// ---------------------------------------------------------------- QUIC

void Services::OpenQuicServer() {
    serverEndpoint_.Open(quic::kQuicAppName, quic::QuicRole::Server);
    serverShell_.endpoint = &serverEndpoint_;
    serverShell_.debuggerAddress = settings_.listenAddress;
    serverShell_.serverInbox = [this](std::span<const std::uint8_t> bytes) {
        return serverChannel_.inbox.Push(bytes);
    };
    serverShell_.serverInboxCredit = [this](quic::ReceiveCredit credit) {
        serverChannel_.inbox.SetConsumedHook(std::move(credit));
    };
    serverShell_.auth.SetSecret(settings_.secret);
    // No reply can come once the client has gone.
    serverShell_.onServerConnectionEnded = [this] { serverChannel_.inbox.Close(); };
    InstallServerShell(serverShell_);
    listenStatus_ =
        serverEndpoint_.Listen(static_cast<std::uint16_t>(settings_.port1), quic::kQuicAlpn);
}

Services::ServerWait Services::PollQuicServer() {
    if (QUIC_FAILED(listenStatus_))
        return ServerWait::ListenerFailed;
    serverShell_.auth.Expire();
    if (quic::serverListener.load() && quic::serverConnection.load())
        return ServerWait::Connected;
    return ServerWait::Waiting;
}

void Services::OpenQuicClient() {
    clientEndpoint_.Open(quic::kQuicAppName, quic::QuicRole::ClientNoCertificateCheck);
}

void Services::ConnectQuicClient() {
    clientShell_.endpoint = &clientEndpoint_;
    clientShell_.clientText = platform::FromUtf8(settings_.clientText);
    clientShell_.onClientConnected = [this] { StartMonitor(); };
    clientShell_.onControlStream = [this](HQUIC stream) { StartQuicReceiver(stream); };
    // The client ends with its connection; the entry thread shuts down.
    clientShell_.onClientConnectionEnded = [this] {
        clientChannel_.inbox.Close();
        end_.Request(0);
    };
    clientShell_.clientInbox = [this](std::span<const std::uint8_t> bytes) {
        return clientChannel_.inbox.Push(bytes);
    };
    clientShell_.clientInboxCredit = [this](quic::ReceiveCredit credit) {
        clientChannel_.inbox.SetConsumedHook(std::move(credit));
    };
    clientShell_.auth.SetSecret(settings_.secret);
    clientShell_.onAuthenticationFailed = [this] { ReportAuthenticationFailure(); };
    quicConnectStart_ = std::chrono::steady_clock::now();
    ConnectClientShell(clientShell_, settings_.clientHost,
                       static_cast<std::uint16_t>(settings_.clientPort));
}

bool Services::QuicClientAuthenticationOver() {
    if (!clientShell_.auth.Enabled())
        return true;
    return clientShell_.auth.Expire(quicConnectStart_ + auth::kAuthDeadline) ||
           clientShell_.auth.Current() != quic::QuicAuthClient::Outcome::Running;
}

void Services::ReportAuthenticationFailure() {
    if (!authFailureReported_.exchange(true))
        platform::ConsoleWrite(
            L"Authentication failed: the server did not prove the shared secret\r\n");
    // Either channel's thread may come here first; both end with code 1.
    end_.Request(1);
}

bool Services::QuicClientConnectionPublished() {
    return quic::clientConnection.load() != nullptr;
}

void Services::StartQuicReceiver(HQUIC controlStream) {
    clientChannel_.SetQuicSend([this, controlStream](std::span<const std::uint8_t> bytes) {
        return SendOnStream(clientEndpoint_, quic::clientConnection.load(), controlStream, bytes,
                            quic::kPacedSendLimit) == QUIC_STATUS_SUCCESS;
    });
    const bool started = receivers_.Start([this] {
        RunReceiver(clientChannel_, true);
        end_.Request(0);
    });
    if (!started)
        platform::ConsoleWrite(L"Could not start the deployment receiver thread\r\n");
}

// ---------------------------------------------------------------- TCP relay

void Services::StartRelayServer() {
    serverRelay_.secret = settings_.secret;
    serverRelay_.StartServer(settings_.port2, settings_.port3, settings_.listenAddress);
}

bool Services::StartRelayClient() {
    clientRelay_.localHost = settings_.localHost;
    clientRelay_.localPort = settings_.localPort;
    clientRelay_.secret = settings_.secret;
    if (clientRelay_.StartClient(settings_.clientHost, settings_.clientPort) ==
        net::NetError::Refused) {
        ReportAuthenticationFailure();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- monitor

void Services::StartMonitor() {
    // The install prompt's Yes and Cancel end the client like its tunnel's end.
    debughost::MonitorPromptIo io;
    io.exitProcess = [this](int exitCode) { end_.Request(exitCode); };
    const std::wstring path = LocateMonitor(settings_.toolsVersion, io);
    if (!path.empty())
        debughost::StartMonitor(debughost::MonitorCommandLine(path, settings_.localPort));
}

void Services::StopMonitor() {
    debughost::StopMonitor();
}

// ---------------------------------------------------------------- deployment

bool Services::StartRemoteSync() {
    // The table is complete before the first deploy can read it: the console
    // may take a command the moment the loop starts. Later `file` commands do
    // not change it.
    serverChannel_.SetTable(deploy::BuildTable(settings_.files));
    serverChannel_.secret = settings_.secret;
    // Progress lines only where someone watches; any other console gets the
    // plain lines byte for byte.
    serverChannel_.showProgress = ::isatty(STDOUT_FILENO) == 1;
    remoteSyncStarted_ = platform::StartThread(remoteSyncThread_, [this] {
        if (!settings_.quic)
            ServeRemoteSyncChannel(serverChannel_, settings_.port1);
    });
    return remoteSyncStarted_;
}

void Services::Deploy() {
    if (!remoteSyncStarted_)
        return;
    if (settings_.quic) {
        // The first deploy opens the control stream, which opens the
        // debugger's port; later ones reuse it.
        const HQUIC stream =
            EnsureServerControlStream(serverEndpoint_, settings_.port1, settings_.localPort);
        serverChannel_.SetQuicSend(
            [this, stream](std::span<const std::uint8_t> bytes) {
                // Paced: a streamed upload queues no more than the limit.
                return SendOnStream(serverEndpoint_, quic::serverConnection.load(), stream, bytes,
                                    quic::kPacedSendLimit) == QUIC_STATUS_SUCCESS;
            },
            [this, stream]() -> std::optional<std::uint64_t> {
                return serverEndpoint_.UnacknowledgedOnStream(quic::serverConnection.load(),
                                                              stream);
            });
    }
    RunSender(serverChannel_, settings_.quic);
}

bool Services::StartTcpReceiver() {
    clientChannel_.secret = settings_.secret;
    return receivers_.Start([this] {
        if (RunTcpReceiverThread(clientChannel_, settings_.remoteSyncHost,
                                 settings_.remoteSyncPort) == deploy::DeployError::Unauthenticated)
            ReportAuthenticationFailure();
        end_.Request(0);
    });
}

// ---------------------------------------------------------------- configuration

void Services::LoadConfiguration() {
    app::LoadConfiguration(settings_.configFile, settings_);
}

void Services::SaveConfiguration(const std::wstring& path) {
    SaveConfigurationCommand(path, settings_);
}

// ---------------------------------------------------------------- shutdown

void Services::CloseInboxes() {
    clientChannel_.inbox.Close();
    serverChannel_.inbox.Close();
}

void Services::CloseTransport() {
    if (settings_.quic) {
        if (settings_.server)
            serverEndpoint_.Close();
        if (!settings_.clientText.empty())
            clientEndpoint_.Close();
        return;
    }
    serverRelay_.CloseSockets();
    clientRelay_.CloseSockets();
}

void Services::CloseRemoteSyncAndJoin() {
    if (!remoteSyncStarted_)
        return;
    serverChannel_.CloseSockets();
    if (remoteSyncThread_.joinable())
        remoteSyncThread_.join();
}

void Services::CloseClientChannelAndJoinReceiver() {
    if (receivers_.Size() == 0)
        return;
    // A receiver still waiting on its channel returns once it is closed.
    clientChannel_.CloseSockets();
    clientChannel_.inbox.Close();
    receivers_.JoinAll();
}

void Services::ReleaseProcessResources() {
    quic::ReleaseHostCertificate();
}

}  // namespace app
