#include "app/Services.h"

#include "app/Settings.h"
#include "platform/Console.h"

// Each subsystem plugs in here as it becomes available.
namespace services {

void UpdateThreadBody() {}
void RequestUpdateStop() {}

void PrepareHostCertificate() {}
void OpenQuicServer(const Settings&) {}
ServerWait PollQuicServer() {
    return ServerWait::ListenerFailed;
}
void OpenQuicClient() {}
void ConnectQuicClient(const Settings&) {}
bool QuicClientConnectionPublished() {
    return false;
}

void StartRelayServer(int, int) {}
void StartRelayClient(const Settings&) {}

void StartMonitorFor(const Settings&) {}
void StopMonitor() {}

bool StartRemoteSync(const Settings&) {
    return true;
}
void Deploy(const Settings&) {}
bool StartTcpReceiver(const Settings&) {
    return true;
}

void LoadConfiguration(Settings&) {}
void SaveConfiguration(const std::wstring& path, const Settings&) {
    platform::ConsoleWrite(L"Configuration saved to " + path + L"\r\n");
}

void CloseInboxes() {}
void CloseTransport(const Settings&) {}
void CloseRemoteSyncAndJoin() {}
void CloseClientChannelAndJoinReceiver() {}
void ReleaseProcessResources() {}

}  // namespace services
