// Debugger connections through the real program on loopback: a server and a
// client of each transport with the stand-in monitor (which echoes), measured
// beside direct loopback TCP to the same monitor program in the same run.
// Prints throughput of one and of four concurrent connections, small-message
// round trips per second, the tunnel's CPU time, and their ratios.
//   bench_tunnel [--mib N] [--reps N] [--rt-seconds S] [--no-quic]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"

namespace {

namespace fs = std::filesystem;
using bench::ChildProcess;
using bench::Clock;
using bench::UniqueFd;
using namespace std::chrono_literals;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kPiece = 64 * 1024;
constexpr std::size_t kMessage = 64;

struct Options {
    std::size_t bytes = 64 * kMiB;
    int reps = 3;
    double roundTripSeconds = 1.0;
    bool quic = true;
};

UniqueFd ConnectLoopback(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Bounded: a tunnel that stops carrying data fails the run, never hangs it.
    const timeval limit{30, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

bool SendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, std::min(size, kPiece), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint64_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        std::memcpy(bytes.data() + i, &z, std::min<std::size_t>(8, size - i));
    }
    return bytes;
}

// One small echo; true once the path to the monitor carries data.
bool EchoOnce(int port) {
    const UniqueFd fd = ConnectLoopback(port);
    if (!fd)
        return false;
    const timeval limit{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const auto message = Pattern(kMessage, 7);
    std::vector<std::uint8_t> back(kMessage);
    return SendAll(fd.get(), message.data(), message.size()) &&
           ReceiveAll(fd.get(), back.data(), back.size()) && back == message;
}

bool WaitReady(int port, std::chrono::seconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (EchoOnce(port))
            return true;
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

struct Mode {
    std::string name;
    int port = 0;
    std::vector<ChildProcess*> tunnel;  // empty for direct TCP

    double TunnelCpu() const {
        double total = 0;
        for (const ChildProcess* process : tunnel)
            total += process->CpuSeconds();
        return total;
    }
};

struct Transfer {
    bool ok = false;
    double mibPerSecond = 0;
    double cpuSecondsPerGib = 0;
};

// `connections` connections each send their pattern and read the echo back
// at the same time; throughput counts the bytes of one direction.
Transfer MeasureThroughput(const Mode& mode, const std::vector<std::vector<std::uint8_t>>& patterns,
                           int connections) {
    Transfer result;
    std::vector<UniqueFd> fds;
    std::vector<std::vector<std::uint8_t>> back;
    for (int i = 0; i < connections; ++i) {
        fds.push_back(ConnectLoopback(mode.port));
        if (!fds.back())
            return result;
        back.emplace_back(patterns[static_cast<std::size_t>(i)].size());
    }
    std::vector<char> sent(static_cast<std::size_t>(connections), 0);
    std::vector<char> received(static_cast<std::size_t>(connections), 0);
    const double cpuBefore = mode.TunnelCpu();
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int i = 0; i < connections; ++i) {
        const auto index = static_cast<std::size_t>(i);
        threads.emplace_back([&, index] {
            sent[index] = SendAll(fds[index].get(), patterns[index].data(), patterns[index].size());
        });
        threads.emplace_back([&, index] {
            received[index] = ReceiveAll(fds[index].get(), back[index].data(), back[index].size());
        });
    }
    for (auto& thread : threads)
        thread.join();
    const double seconds = bench::SecondsSince(start);
    const double cpu = mode.TunnelCpu() - cpuBefore;
    fds.clear();
    std::size_t total = 0;
    for (int i = 0; i < connections; ++i) {
        const auto index = static_cast<std::size_t>(i);
        if (!sent[index] || !received[index] || back[index] != patterns[index]) {
            std::fprintf(stderr, "bench_tunnel: %s: connection %d lost or changed data\n",
                         mode.name.c_str(), i);
            return result;
        }
        total += patterns[index].size();
    }
    result.ok = true;
    result.mibPerSecond = static_cast<double>(total) / kMiB / seconds;
    result.cpuSecondsPerGib = cpu / (static_cast<double>(total) / (1024.0 * kMiB));
    return result;
}

// Round trips of one 64-byte message per second on one connection.
double MeasureRoundTrips(const Mode& mode, double seconds) {
    const UniqueFd fd = ConnectLoopback(mode.port);
    if (!fd)
        return 0;
    auto message = Pattern(kMessage, 11);
    std::vector<std::uint8_t> back(kMessage);
    auto once = [&] {
        return SendAll(fd.get(), message.data(), kMessage) &&
               ReceiveAll(fd.get(), back.data(), kMessage) && back == message;
    };
    for (int i = 0; i < 100; ++i)
        if (!once())
            return 0;
    std::uint64_t count = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        for (int i = 0; i < 64; ++i, ++count) {
            message[count % kMessage] ^= 1;
            if (!once())
                return 0;
        }
        elapsed = bench::SecondsSince(start);
    }
    return static_cast<double>(count) / elapsed;
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string Ratio(double a, double b) {
    if (a <= 0 || b <= 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", a / b);
    return text;
}

std::string Number(double value, const char* format) {
    if (value <= 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--mib" && hasValue)
            options.bytes = std::strtoull(argv[++i], nullptr, 10) * kMiB;
        else if (arg == "--reps" && hasValue)
            options.reps = std::atoi(argv[++i]);
        else if (arg == "--rt-seconds" && hasValue)
            options.roundTripSeconds = std::atof(argv[++i]);
        else if (arg == "--no-quic")
            options.quic = false;
        else
            return false;
    }
    return options.bytes > 0 && options.reps > 0 && options.roundTripSeconds > 0;
}

int Fail(const char* what, const ChildProcess* process = nullptr) {
    std::fprintf(stderr, "bench_tunnel: %s\n", what);
    if (process)
        std::fprintf(stderr, "--- its output:\n%s\n---\n", process->Output().c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: bench_tunnel [--mib N] [--reps N] [--rt-seconds S] [--no-quic]\n");
        return 2;
    }
    const std::string program = VTR232_PATH;
    const std::string monitor = std::string(VTR_TOOLS_DIR) + "/standin_monitor";
    bench::TempDir work;
    if (work.Path().empty() || !fs::exists(program) || !fs::exists(monitor))
        return Fail("needs the built vtr232 and tools/standin_monitor and a temporary directory");

    // The client finds the monitor under PROGRAMFILES, as on a target machine.
    const fs::path monitorDir = fs::path(work.Path()) / "programs/Microsoft Visual Studio/2022/" /
                                "Community/Common7/IDE/Remote Debugger/x86";
    fs::create_directories(monitorDir);
    fs::copy_file(monitor, monitorDir / "msvsmon.exe");
    const std::vector<std::string> environment = {
        "PROGRAMFILES=" + work.Path() + "/programs", "XDG_DATA_HOME=" + work.Path() + "/xdg",
        "VTR_NO_UPDATE=1", "VTR_ADDRESS_URL=http://127.0.0.1:9"};
    const std::string loadBefore = LoadAverage();

    // Direct: the monitor program itself, as the debugger would reach it
    // without a tunnel.
    const int directPort = bench::FreeLoopbackPort(false);
    ChildProcess direct;
    if (!direct.Start({monitor, "/port", std::to_string(directPort)}, environment))
        return Fail("cannot start the stand-in monitor");

    // TCP relay.
    const int port1 = bench::FreeLoopbackPort(false);
    const int port2 = bench::FreeLoopbackPort(false);
    const int port3 = bench::FreeLoopbackPort(false);
    const int relayMonitor = bench::FreeLoopbackPort(false);
    ChildProcess relayServer;
    ChildProcess relayClient;
    if (!relayServer.Start({program, "-s", "--p1", std::to_string(port1), "--p2",
                            std::to_string(port2), "--p3", std::to_string(port3)},
                           environment) ||
        !relayServer.WaitFor("Commands are", 20s))
        return Fail("the relay server did not start", &relayServer);
    if (!relayClient.Start({program, "-t", "2022", "-c", "127.0.0.1:" + std::to_string(port3), "-l",
                            "127.0.0.1:" + std::to_string(relayMonitor)},
                           environment))
        return Fail("cannot start the relay client");

    // QUIC: the debugger port opens after the first deploy.
    ChildProcess quicServer;
    ChildProcess quicClient;
    const int quicPort = options.quic ? bench::FreeLoopbackPort(true) : 0;
    if (options.quic) {
        const int quicMonitor = bench::FreeLoopbackPort(false);
        // The first deploy sends one small file, as a user would: the
        // control stream has then carried bytes, so the client knows it
        // before the first debugger connection arrives.
        const std::string sample = work.Path() + "/sample.bin";
        std::ofstream(sample) << "a small file that opens the control stream\n";
        if (!quicServer.Start({program, "-q", "-s", "-p", std::to_string(quicPort), "-l",
                               std::to_string(quicMonitor), "-f",
                               sample + "," + work.Path() + "/target/sample.bin"},
                              environment) ||
            !quicServer.WaitFor("Waiting for Connection", 20s))
            return Fail("the QUIC server did not start", &quicServer);
        if (!quicClient.Start(
                {program, "-q", "-t", "2022", "-c", "127.0.0.1:" + std::to_string(quicPort), "-l",
                 std::to_string(quicMonitor)},
                environment))
            return Fail("cannot start the QUIC client");
        if (!quicServer.WaitFor("VTR Server accepted connection", 30s) ||
            !quicServer.WaitFor("Commands are", 10s))
            return Fail("the QUIC client did not connect", &quicServer);
        quicServer.WriteLine("deploy");
        if (!quicServer.WaitFor("Done", 30s))
            return Fail("the first deploy over QUIC did not finish", &quicServer);
    }

    std::vector<Mode> modes = {{"direct TCP", directPort, {}},
                               {"TCP relay", port2, {&relayServer, &relayClient}}};
    if (options.quic)
        modes.push_back({"QUIC", quicPort, {&quicServer, &quicClient}});
    for (const Mode& mode : modes) {
        if (!WaitReady(mode.port, 30s)) {
            for (const ChildProcess* process : mode.tunnel)
                std::fprintf(stderr, "--- output of pid %d:\n%s\n", process->Pid(),
                             process->Output().c_str());
            return Fail(("no echo through " + mode.name).c_str(), &direct);
        }
    }

    std::vector<std::vector<std::uint8_t>> patterns;
    for (int i = 0; i < 4; ++i)
        patterns.push_back(Pattern(options.bytes, 1000u + static_cast<unsigned>(i)));

    // Interleaved repetitions, best of each, so that a burst of load from
    // elsewhere does not fall on one mode only.
    const std::size_t count = modes.size();
    std::vector<Transfer> one(count), four(count);
    std::vector<double> roundTrips(count, 0);
    for (int rep = 0; rep < options.reps; ++rep) {
        for (std::size_t m = 0; m < count; ++m) {
            const Transfer t = MeasureThroughput(modes[m], patterns, 1);
            if (!t.ok)
                return Fail(("one connection through " + modes[m].name + " failed").c_str());
            if (t.mibPerSecond > one[m].mibPerSecond)
                one[m] = t;
        }
        for (std::size_t m = 0; m < count; ++m) {
            const Transfer t = MeasureThroughput(modes[m], patterns, 4);
            if (!t.ok)
                return Fail(("four connections through " + modes[m].name + " failed").c_str());
            if (t.mibPerSecond > four[m].mibPerSecond)
                four[m] = t;
        }
        for (std::size_t m = 0; m < count; ++m) {
            const double r = MeasureRoundTrips(modes[m], options.roundTripSeconds);
            if (r <= 0)
                return Fail(("round trips through " + modes[m].name + " failed").c_str());
            roundTrips[m] = std::max(roundTrips[m], r);
        }
        std::fprintf(stderr, "bench_tunnel: repetition %d of %d done\n", rep + 1, options.reps);
    }

    if (options.quic) {
        quicServer.WriteLine("q");
        quicServer.Stop(10s);
        quicClient.Stop(5s);
    }
    relayServer.WriteLine("q");
    relayServer.Stop(10s);
    relayClient.Stop(5s);
    direct.Stop(0ms);

    const std::size_t relay = 1;
    const std::size_t quic = options.quic ? 2 : 0;
    auto get = [](const std::vector<double>& values, std::size_t index) {
        return index < values.size() ? values[index] : 0.0;
    };
    std::vector<double> oneRate, fourRate, oneCpu, fourCpu;
    for (std::size_t m = 0; m < count; ++m) {
        oneRate.push_back(one[m].mibPerSecond);
        fourRate.push_back(four[m].mibPerSecond);
        oneCpu.push_back(m == 0 ? 0 : one[m].cpuSecondsPerGib);
        fourCpu.push_back(m == 0 ? 0 : four[m].cpuSecondsPerGib);
    }
    auto row = [&](const char* name, const std::vector<double>& values, const char* format,
                   bool ratiosToDirect) {
        const double d = values[0];
        const double r = get(values, relay);
        const double q = options.quic ? get(values, quic) : 0;
        std::printf("| %-44s | %10s | %10s | %10s | %12s | %11s | %10s |\n", name,
                    Number(d, format).c_str(), Number(r, format).c_str(), Number(q, format).c_str(),
                    ratiosToDirect ? Ratio(r, d).c_str() : "-",
                    ratiosToDirect ? Ratio(q, d).c_str() : "-", Ratio(q, r).c_str());
    };
    std::printf("\n## Tunnel: %zu MiB per connection echoed by the stand-in monitor, best of %d\n",
                options.bytes / kMiB, options.reps);
    std::printf("load average before %s, after %s (%u cores)\n\n", loadBefore.c_str(),
                LoadAverage().c_str(), std::thread::hardware_concurrency());
    std::printf("| %-44s | %10s | %10s | %10s | %12s | %11s | %10s |\n", "measure", "direct TCP",
                "TCP relay", "QUIC", "relay/direct", "QUIC/direct", "QUIC/relay");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(),
                std::string(12, '-').c_str(), std::string(12, '-').c_str(),
                std::string(12, '-').c_str(), std::string(14, '-').c_str(),
                std::string(13, '-').c_str(), std::string(12, '-').c_str());
    row("1 connection, MiB/s each way", oneRate, "%.1f", true);
    row("4 connections, MiB/s each way (sum)", fourRate, "%.1f", true);
    row("64-byte round trips per second", roundTrips, "%.0f", true);
    row("tunnel CPU s per GiB, 1 connection", oneCpu, "%.2f", false);
    row("tunnel CPU s per GiB, 4 connections", fourCpu, "%.2f", false);
    if (options.quic) {
        const double share =
            one[relay].mibPerSecond > 0 ? one[quic].mibPerSecond / one[relay].mibPerSecond : 0;
        std::printf("\nQUIC/relay, one connection: %.2f (target >= 0.50: %s)\n", share,
                    share >= 0.5 ? "met" : "NOT met");
    }
    std::printf("(tunnel CPU = user+system time of the vtr232 server and client processes)\n");
    return 0;
}
