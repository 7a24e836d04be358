#pragma once
// A real TCP-mode server and client process with the stand-in monitor, for
// the tests that drive the relay end to end, and what they read about a
// running process from /proc.
#include <arpa/inet.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/TestEnv.h"

namespace testing_support {

using namespace std::chrono_literals;

struct TcpTunnel {
    TempDir dir;
    int port1 = FreePort(), port2 = FreePort(), port3 = FreePort(), monitorPort = FreePort();
    std::map<std::string, std::string> env;
    std::unique_ptr<ChildProcess> server, client;

    TcpTunnel() {
        InstallStandInMonitor(dir.Path() / "programs");
        env = {{"PROGRAMFILES", (dir.Path() / "programs").string()}};
    }

    std::vector<std::string> ServerArgs() const {
        return {"-s",
                "--p1",
                std::to_string(port1),
                "--p2",
                std::to_string(port2),
                "--p3",
                std::to_string(port3)};
    }

    void StartServer(std::vector<std::string> extra = {}) {
        auto args = ServerArgs();
        args.insert(args.end(), extra.begin(), extra.end());
        server = std::make_unique<ChildProcess>(VTR232_PATH, args, env);
        ASSERT_TRUE(server->WaitForOutput("Commands are", 10s));
    }

    void Start() {
        ASSERT_NO_FATAL_FAILURE(StartServer());
        client = std::make_unique<ChildProcess>(
            VTR232_PATH,
            std::vector<std::string>{"-c", "127.0.0.1:" + std::to_string(port3), "-l",
                                     "127.0.0.1:" + std::to_string(monitorPort)},
            env);
    }

    // "q" on the server console ends it normally.
    void Quit() {
        server->Write("q\n");
        EXPECT_EQ(server->Wait(10s), 0);
    }

    // One echo round trip through the tunnel, retried while the client and
    // the monitor are still coming up.
    bool RoundTrip(const std::vector<unsigned char>& data) {
        return RoundTripWhenReady(port2, data, std::chrono::seconds(20));
    }
};

// Entries of a /proc directory of `pid` ("fd", "task"): its descriptors or
// threads.
inline std::size_t ProcEntries(pid_t pid, const char* what) {
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/" + what, error),
         end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

// Resident memory of `pid` in KiB (0 when unknown).
inline long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// Addresses with a listening TCP socket on `port`, as the kernel's socket
// tables show them ("127.0.0.1", "::1", "::", ...).
inline std::set<std::string> ListeningAddresses(int port) {
    std::set<std::string> found;
    for (const auto& [file, family] :
         {std::pair{"/proc/net/tcp", AF_INET}, std::pair{"/proc/net/tcp6", AF_INET6}}) {
        std::ifstream table(file);
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto colon = local.find(':');
            if (state != "0A" || colon == std::string::npos ||
                std::stoi(local.substr(colon + 1), nullptr, 16) != port)
                continue;
            // Each 32-bit word of the address is printed as a number in the
            // machine's own byte order.
            unsigned char bytes[16] = {};
            for (std::size_t word = 0; word < colon / 8; ++word) {
                const auto value =
                    static_cast<std::uint32_t>(std::stoul(local.substr(word * 8, 8), nullptr, 16));
                std::memcpy(bytes + word * 4, &value, 4);
            }
            char text[INET6_ADDRSTRLEN] = {};
            inet_ntop(family, bytes, text, sizeof text);
            found.insert(text);
        }
    }
    return found;
}

}  // namespace testing_support
