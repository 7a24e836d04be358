#pragma once
// The subsystems the run flow drives, behind one seam: the shell calls these
// and nothing else, so the run flow reads as a sequence of steps. One
// instance lives in the entry routine; it owns the relays and the threads the
// shell starts. What ends the process from another thread goes through the
// ProcessEnd it is given.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "deploy/DeployChannel.h"
#include "net/TcpRelay.h"
#include "platform/Thread.h"
#include "quic/QuicEndpoint.h"
#include "quic/ShellHandlers.h"

namespace app {

struct Settings;
class ProcessEnd;

class Services {
  public:
    Services(Settings& settings, ProcessEnd& end);
    ~Services();
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    // QUIC mode, both roles, before any endpoint is opened.
    void PrepareHostCertificate();

    // QUIC server: open the endpoint and start listening on port1.
    void OpenQuicServer();
    enum class ServerWait { Waiting, Connected, ListenerFailed };
    ServerWait PollQuicServer();

    // QUIC client: open the endpoint, then connect to clientHost:clientPort.
    void OpenQuicClient();
    void ConnectQuicClient();
    bool QuicClientConnectionPublished();
    // With a secret: true once the exchange is over either way, failing it
    // when it has run past its deadline; true at once without a secret.
    bool QuicClientAuthenticationOver();

    // TCP relay. StartRelayClient is false when the server failed the
    // shared-secret check (then nothing is to be started).
    void StartRelayServer();
    bool StartRelayClient();

    // Debugger monitor on the client.
    void StartMonitor();
    void StopMonitor();

    // Deployment: RemoteSync thread (server), the deploy command, the TCP
    // receiver thread (client).
    bool StartRemoteSync();
    void Deploy();
    bool StartTcpReceiver();

    // Configuration file.
    void LoadConfiguration();
    void SaveConfiguration(const std::wstring& path);

    // Shutdown steps, in the order the run flow calls them.
    void CloseInboxes();
    void CloseTransport();
    void CloseRemoteSyncAndJoin();
    void CloseClientChannelAndJoinReceiver();
    void ReleaseProcessResources();

  private:
    Settings& settings_;
    ProcessEnd& end_;
    net::TcpRelay serverRelay_;
    net::TcpRelay clientRelay_;
    deploy::DeployChannel serverChannel_;
    deploy::DeployChannel clientChannel_;
    std::thread remoteSyncThread_;
    // The deployment receivers (the QUIC one is started from a QUIC worker).
    platform::ThreadSet receivers_;
    bool remoteSyncStarted_ = false;
    // The shells must outlive their endpoints' callbacks, so they are
    // declared first and destroyed last.
    quic::ServerShell serverShell_;
    quic::ClientShell clientShell_;
    quic::QuicEndpoint serverEndpoint_;
    quic::QuicEndpoint clientEndpoint_;
    QUIC_STATUS listenStatus_ = QUIC_STATUS_SUCCESS;

    void StartQuicReceiver(HQUIC controlStream);
    // The client's one line for a server that failed the shared-secret check
    // (either channel, once), and its end with exit code 1.
    void ReportAuthenticationFailure();

    std::atomic<bool> authFailureReported_{false};
    std::chrono::steady_clock::time_point quicConnectStart_{};
};

// Background self-update; RequestUpdateStop makes a running update give up
// promptly so that the join at exit does not stall.
void UpdateThreadBody();
void RequestUpdateStop();

}  // namespace app
