#pragma once
// The subsystems the run flow drives, behind one seam: the shell calls these
// and nothing else, so the run flow reads as a sequence of steps.
#include <string>
#include <vector>

struct Settings;

namespace services {

// Background self-update; RequestUpdateStop makes a running update give up
// promptly so that the join at exit does not stall.
void UpdateThreadBody();
void RequestUpdateStop();

// QUIC mode, both roles, before any endpoint is opened.
void PrepareHostCertificate();

// QUIC server: open the endpoint and start listening on port1.
void OpenQuicServer(const Settings& settings);
enum class ServerWait { Waiting, Connected, ListenerFailed };
ServerWait PollQuicServer();

// QUIC client: open the endpoint, then connect to clientHost:clientPort.
void OpenQuicClient();
void ConnectQuicClient(const Settings& settings);
bool QuicClientConnectionPublished();

// TCP relay.
void StartRelayServer(int port2, int port3);
void StartRelayClient(const Settings& settings);

// Debugger monitor on the client.
void StartMonitorFor(const Settings& settings);
void StopMonitor();

// Deployment: RemoteSync thread (server), the deploy command, the TCP
// receiver thread (client).
bool StartRemoteSync(const Settings& settings);
void Deploy(const Settings& settings);
bool StartTcpReceiver(const Settings& settings);

// Configuration file.
void LoadConfiguration(Settings& settings);
void SaveConfiguration(const std::wstring& path, const Settings& settings);

// Shutdown steps, in the order the run flow calls them.
void CloseInboxes();
void CloseTransport(const Settings& settings);
void CloseRemoteSyncAndJoin();
void CloseClientChannelAndJoinReceiver();
void ReleaseProcessResources();

}  // namespace services
