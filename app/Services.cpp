#include "app/Services.h"

#include <cstdio>
#include <cstdlib>

#include "app/ConfigFile.h"
#include "app/Settings.h"
#include "debughost/Monitor.h"
#include "deploy/DeployReceiver.h"
#include "deploy/DeploySender.h"
#include "platform/Console.h"
#include "platform/Thread.h"
#include "quic/HostCertificate.h"
#include "update/UpdateThread.h"

void UpdateThreadBody() {
    Zelt::UpdateThreadEntry();
}
void RequestUpdateStop() {
    Zelt::RequestUpdateStop();
}

void EndClientProcess() {
    ::StopMonitor();
    ::ReleaseHostCertificate();
    std::fflush(stdout);
    std::_Exit(0);
}

Services::Services(Settings& settings) : settings_(settings) {}

Services::~Services() = default;

void Services::PrepareHostCertificate() {
    ::PrepareHostCertificate();
}

void Services::OpenQuicServer() {}
Services::ServerWait Services::PollQuicServer() {
    return ServerWait::ListenerFailed;
}
void Services::OpenQuicClient() {}
void Services::ConnectQuicClient() {}
bool Services::QuicClientConnectionPublished() {
    return false;
}

void Services::StartRelayServer() {
    serverRelay_.StartServer(settings_.port2, settings_.port3);
}

void Services::StartRelayClient() {
    clientRelay_.localHost = settings_.localHost;
    clientRelay_.localPort = settings_.localPort;
    clientRelay_.StartClient(settings_.clientHost, settings_.clientPort);
}

void Services::StartMonitor() {
    // The install prompt's Yes and Cancel end the client like its tunnel's end.
    MonitorPromptIo io;
    io.exitProcess = [](int) { EndClientProcess(); };
    const std::wstring path = LocateMonitor(settings_.toolsVersion, io);
    if (!path.empty())
        ::StartMonitor(MonitorCommandLine(path, settings_.localPort));
}

void Services::StopMonitor() {
    ::StopMonitor();
}

bool Services::StartRemoteSync() {
    return true;
}
void Services::Deploy() {}
bool Services::StartTcpReceiver() {
    return true;
}

void Services::LoadConfiguration() {}
void Services::SaveConfiguration(const std::wstring& path) {
    platform::ConsoleWrite(L"Configuration saved to " + path + L"\r\n");
}

void Services::CloseInboxes() {
    clientChannel_.inbox.Close();
    serverChannel_.inbox.Close();
}

void Services::CloseTransport() {
    if (!settings_.quic) {
        serverRelay_.CloseSockets();
        clientRelay_.CloseSockets();
    }
}

void Services::CloseRemoteSyncAndJoin() {
    if (!remoteSyncStarted_)
        return;
    serverChannel_.CloseSockets();
    if (remoteSyncThread_.joinable())
        remoteSyncThread_.join();
}

void Services::CloseClientChannelAndJoinReceiver() {
    if (!receiverThread_.joinable())
        return;
    // The receiver then ends the monitor and the process itself.
    clientChannel_.CloseSockets();
    clientChannel_.inbox.Close();
    receiverThread_.join();
}

void Services::ReleaseProcessResources() {
    ::ReleaseHostCertificate();
}
