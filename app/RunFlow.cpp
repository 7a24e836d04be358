#include "app/RunFlow.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/CommandLine.h"
#include "app/CommandLoop.h"
#include "app/Endpoint.h"
#include "app/ProcessEnd.h"
#include "app/Services.h"
#include "app/Settings.h"
#include "debughost/Monitor.h"
#include "platform/Console.h"
#include "platform/Signals.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "quic/HostCertificate.h"

namespace app {

namespace {

void JoinUpdateThread(std::thread& updateThread) {
    RequestUpdateStop();
    if (updateThread.joinable())
        updateThread.join();
}

// False when the listener could not be started (there is nothing to wait
// for) or the process is to end.
bool WaitForQuicServer(Services& services, const Settings& settings, const ProcessEnd& end) {
    platform::ConsoleWrite(L"Waiting for Connection ...\r\n");
    for (;;) {
        if (end.WaitFor(std::chrono::milliseconds(1000)))
            return false;
        switch (services.PollQuicServer()) {
            case Services::ServerWait::Waiting:
                continue;
            case Services::ServerWait::Connected:
                platform::ConsoleWrite(L"VTR Server accepted connection at " +
                                       std::to_wstring(settings.port1) + L"\r\n");
                return true;
            case Services::ServerWait::ListenerFailed:
                platform::ConsoleWrite(L"Could not listen on UDP port " +
                                       std::to_wstring(settings.port1) + L"\r\n");
                return false;
        }
    }
}

void WaitForQuicClient(Services& services, const ProcessEnd& end) {
    for (int i = 0; i < 10; ++i) {
        if (end.WaitFor(std::chrono::milliseconds(1000)))
            return;
        if (services.QuicClientConnectionPublished() && services.QuicClientAuthenticationOver())
            return;
    }
}

void ServerShutdown(Services& services, const Settings& settings, std::thread& updateThread) {
    if (settings.quic)
        services.CloseInboxes();
    services.CloseTransport();
    services.CloseRemoteSyncAndJoin();
    services.CloseClientChannelAndJoinReceiver();
    services.StopMonitor();
    JoinUpdateThread(updateThread);
    services.ReleaseProcessResources();
}

void ClientShutdown(Services& services, const Settings& settings, std::thread& updateThread) {
    // An end requested meanwhile has ended the console input: no wait then.
    if (!settings.clientText.empty())
        platform::ConsoleReadChar();
    services.StopMonitor();
    if (settings.quic && !settings.clientText.empty())
        services.CloseTransport();
    // A receiver still blocked on its channel is ended through that channel.
    services.CloseClientChannelAndJoinReceiver();
    JoinUpdateThread(updateThread);
    services.ReleaseProcessResources();
}

// Start-up, the waits and the command loop or the key wait, then the shutdown
// of the role; every path joins the update thread.
void Run(int argc, const char* const* argv, ProcessEnd& end) {
    Settings& settings = TheSettings();
    PreParseTransport(settings, argc, argv);
    platform::ConsoleWrite(BannerText(settings.quic));

    std::thread updateThread;
    if (!platform::StartThread(updateThread, UpdateThreadBody)) {
        platform::ConsoleWrite(L"Could not start the update thread\r\n");
        return;
    }
    platform::ConsoleWrite(UsageExamplesText(settings.quic));

    {
        CLI::App cli("Vantora", "");
        WideOptionText wide;
        RegisterOptions(cli, settings, wide);
        try {
            cli.parse(argc, argv);
        } catch (const CLI::ParseError& error) {
            cli.exit(error);
            JoinUpdateThread(updateThread);
            return;
        }
        ApplyWideOptions(settings, wide);
    }
    if (!LoadSecret(settings)) {
        JoinUpdateThread(updateThread);
        return;
    }

    Services services(settings, end);
    if (!settings.configFile.empty())
        services.LoadConfiguration();
    if (!ApplyEndpoints(settings)) {
        JoinUpdateThread(updateThread);
        return;
    }

    if (settings.quic)
        services.PrepareHostCertificate();

    bool listening = true;
    if (settings.server) {
        if (settings.quic) {
            platform::ConsoleWrite(L"Server settings: Port = " + std::to_wstring(settings.port1) +
                                   L" \r\n");
            services.OpenQuicServer();
        } else {
            platform::ConsoleWrite(L"Server settings: Port1 = " + std::to_wstring(settings.port1) +
                                   L", Port2 = " + std::to_wstring(settings.port2) + L", Port3 = " +
                                   std::to_wstring(settings.port3) + L" ");
            services.StartRelayServer();
        }
        if (!services.StartRemoteSync()) {
            platform::ConsoleWrite(L"Could not start the RemoteSync thread\r\n");
            ServerShutdown(services, settings, updateThread);
            return;
        }
    }
    if (!settings.quic) {
        if (!settings.remoteSyncText.empty() && !services.StartTcpReceiver()) {
            platform::ConsoleWrite(L"Could not start the deployment receiver thread\r\n");
            if (settings.server)
                ServerShutdown(services, settings, updateThread);
            else
                ClientShutdown(services, settings, updateThread);
            return;
        }
        // A server that failed the shared-secret check gets no monitor.
        if (!settings.localText.empty() && services.StartRelayClient())
            services.StartMonitor();
    } else if (!settings.clientHost.empty()) {
        services.OpenQuicClient();
        platform::ConsoleWrite(L"Client settings: Host = " +
                               platform::FromUtf8(settings.clientHost) + L", Port = " +
                               std::to_wstring(settings.clientPort) + L" \r\n");
        services.ConnectQuicClient();
    }

    if (settings.quic && settings.server && !end.Requested())
        listening = WaitForQuicServer(services, settings, end);
    if (settings.quic && !settings.clientText.empty() && !end.Requested())
        WaitForQuicClient(services, end);

    if (settings.server) {
        if (listening && !end.Requested())
            RunCommandLoop(services, settings);
        ServerShutdown(services, settings, updateThread);
    } else {
        ClientShutdown(services, settings, updateThread);
    }
}

// How long a termination signal waits for the ordered shutdown.
constexpr std::chrono::seconds kSignalShutdownGrace{5};

[[noreturn]] void EndNow(int exitCode) {
    debughost::StopMonitor();
    quic::ReleaseHostCertificate();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(exitCode);
}

}  // namespace

int RunVtr(int argc, const char* const* argv) {
    ProcessEnd end;
    // Ctrl+C and SIGTERM end the run through its shutdown, which stops the
    // monitor and removes the per-run key; the code tells which signal. The
    // entry thread may be held where no end request reaches it (a deployment
    // waiting on a silent peer): when its shutdown has not finished in time,
    // the signal ends the process here, still without leaving the monitor or
    // the key behind.
    const platform::TerminationSignals signals([&end](int signal) {
        end.Request(128 + signal);
        if (!end.WaitFinished(kSignalShutdownGrace))
            EndNow(end.ExitCode());
    });
    Run(argc, argv, end);
    end.Finished();
    return end.ExitCode();
}

}  // namespace app
