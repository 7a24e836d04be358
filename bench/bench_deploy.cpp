// Deployment on a corpus of build artefacts (shared and static libraries of
// this machine, concatenated in path order) with scattered small overwrites
// and one insertion near the middle, as a rebuild changes a binary:
//   - signature throughput per core, beside XXH3-128 over the same bytes;
//   - patch size after LZMS beside what `rsync --no-whole-file -z` sends;
//   - LZMS throughput and ratio beside `xz -6`;
//   - a first upload and a patch deploy through the real program on loopback
//     (TCP, then QUIC), beside rsync's first copy and delta run.
//   bench_deploy [--mib N] [--reps N] [--no-e2e] [--no-quic] [--no-rsync]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchProcess.h"
#include "codec/DiffLib.h"
#include "codec/Lzms.h"

namespace {

namespace fs = std::filesystem;
using bench::ChildProcess;
using bench::Clock;
using namespace std::chrono_literals;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr int kOverwrites = 20;
constexpr std::size_t kOverwriteSize = 16;
constexpr std::size_t kInsertionSize = 4000;

struct Options {
    std::size_t bytes = 64 * kMiB;
    int reps = 3;
    bool endToEnd = true;
    bool quic = true;
    bool rsync = true;
};

// Build artefacts in a fixed order, cut at `size`.
std::vector<std::uint8_t> BuildCorpus(std::size_t size, std::size_t& files) {
    std::vector<fs::path> paths;
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it("/usr/lib/x86_64-linux-gnu", fs::directory_options::skip_permission_denied, ec),
         end;
         it != end && !ec; it.increment(ec)) {
        if (it->is_symlink(ec) || !it->is_regular_file(ec))
            continue;
        const std::string name = it->path().filename().string();
        if (name.ends_with(".a") || name.ends_with(".so") || name.find(".so.") != std::string::npos)
            paths.push_back(it->path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<std::uint8_t> corpus;
    corpus.reserve(size);
    files = 0;
    for (const auto& path : paths) {
        if (corpus.size() >= size)
            break;
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        const std::size_t take = std::min(bytes.size(), size - corpus.size());
        corpus.insert(corpus.end(), bytes.begin(), bytes.begin() + static_cast<long>(take));
        ++files;
    }
    return corpus;
}

// One insertion at the middle, then small overwrites spread over the file.
std::vector<std::uint8_t> Edit(const std::vector<std::uint8_t>& old) {
    std::vector<std::uint8_t> edited = old;
    std::mt19937_64 random(42);
    std::vector<std::uint8_t> insertion(kInsertionSize);
    for (auto& b : insertion)
        b = static_cast<std::uint8_t>(random());
    const auto middle = static_cast<long>(edited.size() / 2 + 1234);
    edited.insert(edited.begin() + middle, insertion.begin(), insertion.end());
    const std::size_t stride = edited.size() / kOverwrites;
    for (int i = 0; i < kOverwrites; ++i) {
        const std::size_t at = static_cast<std::size_t>(i) * stride + random() % (stride - 64);
        for (std::size_t j = 0; j < kOverwriteSize; ++j)
            edited[at + j] = static_cast<std::uint8_t>(random());
    }
    return edited;
}

bool WriteFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

double ProcessCpu() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timed {
    double wall = 0;
    double cpu = 0;
};

template <class Work>
Timed Measure(Work&& work) {
    const double cpu = ProcessCpu();
    const auto start = Clock::now();
    work();
    return {bench::SecondsSince(start), ProcessCpu() - cpu};
}

// Best (least CPU) of `reps` runs.
template <class Work>
Timed Best(int reps, Work&& work) {
    Timed best{0, 1e30};
    for (int i = 0; i < reps; ++i) {
        const Timed t = Measure(work);
        if (t.cpu < best.cpu)
            best = t;
    }
    return best;
}

struct ToolRun {
    bool ok = false;
    double wall = 0;
    double cpu = 0;  // user + system of the tool and what it started
    std::string output;
};

// Runs a program found on PATH; its standard output goes to `outputPath`
// (or is captured when empty), its standard error is captured.
ToolRun RunTool(const std::vector<std::string>& argv, const std::string& work,
                const std::string& outputPath = "") {
    ToolRun run;
    const std::string captured = work + "/tool.out";
    const std::string target = outputPath.empty() ? captured : outputPath;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::unique_ptr<posix_spawn_file_actions_t, int (*)(posix_spawn_file_actions_t*)> guard(
        &actions, &posix_spawn_file_actions_destroy);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, target.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, (work + "/tool.err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& arg : args)
        argp.push_back(arg.data());
    argp.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), environ) != 0)
        return run;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wall = bench::SecondsSince(start);
    run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const auto text = ReadFile(outputPath.empty() ? captured : work + "/tool.err");
    run.output.assign(text.begin(), text.end());
    if (!run.ok) {
        const auto error = ReadFile(work + "/tool.err");
        std::fprintf(stderr, "bench_deploy: %s failed: %s\n", argv[0].c_str(),
                     std::string(error.begin(), error.end()).c_str());
    }
    return run;
}

// "Total bytes sent: 1,234" -> 1234; -1 when the line is missing.
double StatsNumber(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    if (at == std::string::npos)
        return -1;
    double value = 0;
    bool any = false;
    for (std::size_t i = at + label.size(); i < text.size() && text[i] != '\n'; ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + (text[i] - '0');
            any = true;
        } else if (text[i] != ',' && text[i] != ' ' && any) {
            break;
        }
    }
    return any ? value : -1;
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Ratio(double a, double b) {
    return a > 0 && b > 0 ? Format("%.2f", a / b) : "-";
}

struct Table {
    std::vector<std::vector<std::string>> rows;

    void Add(std::vector<std::string> row) { rows.push_back(std::move(row)); }
    void Print() const {
        std::vector<std::size_t> widths;
        for (const auto& row : rows)
            for (std::size_t i = 0; i < row.size(); ++i) {
                widths.resize(std::max(widths.size(), row.size()), 0);
                widths[i] = std::max(widths[i], row[i].size());
            }
        for (std::size_t r = 0; r < rows.size(); ++r) {
            std::string line = "|";
            for (std::size_t i = 0; i < widths.size(); ++i) {
                const std::string cell = i < rows[r].size() ? rows[r][i] : "";
                line += " " + cell + std::string(widths[i] - cell.size(), ' ') + " |";
            }
            std::printf("%s\n", line.c_str());
            if (r == 0) {
                line = "|";
                for (const std::size_t w : widths)
                    line += std::string(w + 2, '-') + "|";
                std::printf("%s\n", line.c_str());
            }
        }
    }
};

struct Deployment {
    bool ok = false;
    double seconds = 0;
    double cpu = 0;  // server + client
    std::string line;
};

// Types "deploy" and waits for the run's outcome; a run before the client's
// channel is up fails at once and is repeated.
Deployment RunDeploy(ChildProcess& server, ChildProcess& client) {
    Deployment result;
    for (int attempt = 0; attempt < 50; ++attempt) {
        const std::size_t from = server.OutputSize();
        const double cpu = server.CpuSeconds() + client.CpuSeconds();
        const auto start = Clock::now();
        server.WriteLine("deploy");
        std::size_t end = 0;
        if (!server.WaitFor("\r\n", 300s, from, &end))
            return result;
        result.seconds = bench::SecondsSince(start);
        result.cpu = server.CpuSeconds() + client.CpuSeconds() - cpu;
        const std::string output = server.Output();
        result.line = output.substr(from, end - from - 2);
        const auto local = result.line.find("Local:");
        if (local != std::string::npos)
            result.line.erase(0, local);
        if (result.line.ends_with("Done")) {
            result.ok = true;
            return result;
        }
        // A run that failed after sending anything is a real failure.
        if (result.line.find("Uploading") != std::string::npos ||
            result.line.find("Patch") != std::string::npos)
            return result;
        std::this_thread::sleep_for(200ms);
    }
    return result;
}

struct EndToEnd {
    Deployment upload;
    Deployment patch;
    bool identical = false;
};

EndToEnd DeployTwice(bool quic, const std::string& program, const std::string& work,
                     const std::vector<std::string>& environment,
                     const std::vector<std::uint8_t>& old,
                     const std::vector<std::uint8_t>& edited) {
    EndToEnd result;
    const std::string mode = quic ? "quic" : "tcp";
    const std::string local = work + "/" + mode + "/local/app.bin";
    const std::string remote = work + "/" + mode + "/remote/bin/app.bin";
    if (!WriteFile(local, old))
        return result;
    ChildProcess server;
    ChildProcess client;
    if (quic) {
        const int port = bench::FreeLoopbackPort(true);
        const int monitorPort = bench::FreeLoopbackPort(false);
        if (!server.Start({program, "-q", "-s", "-p", std::to_string(port), "-l",
                           std::to_string(monitorPort), "-f", local + "," + remote},
                          environment) ||
            !server.WaitFor("Waiting for Connection", 20s))
            return result;
        if (!client.Start({program, "-q", "-t", "1", "-c", "127.0.0.1:" + std::to_string(port),
                           "-l", std::to_string(monitorPort)},
                          environment) ||
            !server.WaitFor("Commands are", 30s))
            return result;
    } else {
        const int port1 = bench::FreeLoopbackPort(false);
        const int port2 = bench::FreeLoopbackPort(false);
        const int port3 = bench::FreeLoopbackPort(false);
        if (!server.Start(
                {program, "-s", "--p1", std::to_string(port1), "--p2", std::to_string(port2),
                 "--p3", std::to_string(port3), "-f", local + "," + remote},
                environment) ||
            !server.WaitFor("Commands are", 20s))
            return result;
        if (!client.Start({program, "-t", "1", "-d", "127.0.0.1:" + std::to_string(port1), "-c",
                           "127.0.0.1:" + std::to_string(port3)},
                          environment))
            return result;
    }
    result.upload = RunDeploy(server, client);
    if (result.upload.ok && ReadFile(remote) == old && WriteFile(local, edited)) {
        result.patch = RunDeploy(server, client);
        result.identical = result.patch.ok && ReadFile(remote) == edited;
    }
    if (!result.upload.ok || !result.patch.ok)
        std::fprintf(stderr, "bench_deploy: %s server said:\n%s\nclient said:\n%s\n", mode.c_str(),
                     server.Output().c_str(), client.Output().c_str());
    server.WriteLine("q");
    server.Stop(30s);
    client.Stop(10s);
    fs::remove_all(work + "/" + mode);
    return result;
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc)
            options.bytes = std::strtoull(argv[++i], nullptr, 10) * kMiB;
        else if (arg == "--reps" && i + 1 < argc)
            options.reps = std::atoi(argv[++i]);
        else if (arg == "--no-e2e")
            options.endToEnd = false;
        else if (arg == "--no-quic")
            options.quic = false;
        else if (arg == "--no-rsync")
            options.rsync = false;
        else
            return false;
    }
    return options.bytes >= kMiB && options.reps > 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: bench_deploy [--mib N] [--reps N] [--no-e2e] [--no-quic] "
                     "[--no-rsync]\n");
        return 2;
    }
    bench::TempDir temp;
    if (temp.Path().empty())
        return 1;
    const std::string work = temp.Path();
    const std::string loadBefore = LoadAverage();
    auto progress = [](const char* step) { std::fprintf(stderr, "bench_deploy: %s\n", step); };

    std::size_t files = 0;
    const std::vector<std::uint8_t> old = BuildCorpus(options.bytes, files);
    if (old.size() < options.bytes) {
        std::fprintf(stderr, "bench_deploy: only %zu bytes of libraries found\n", old.size());
        return 1;
    }
    const std::vector<std::uint8_t> edited = Edit(old);
    const double size = static_cast<double>(old.size());
    Table table;
    table.Add({"measure", "vtr232", "baseline", "baseline value", "ratio", "target"});

    // ---------------------------------------------------------- signatures
    progress("signatures");
    DIFFLIB::DiffLibrary library;
    std::vector<std::uint8_t> seed;
    const Timed signing = Best(options.reps, [&] {
        const DIFFLIB::MemoryReader reader(old);
        DIFFLIB::MemoryDiffWriter writer;
        library.GenerateSignature(reader, writer);
        seed = writer.Take();
    });
    XXH128_hash_t digest{};
    const Timed hashing =
        Best(options.reps, [&] { digest = XXH3_128bits(old.data(), old.size()); });
    const double signGbps = size / 1e9 / signing.cpu;
    const double hashGbps = size / 1e9 / hashing.cpu;
    table.Add({"signature, GB/s per core (CPU time)", Format("%.2f", signGbps),
               "XXH3-128, same bytes", Format("%.2f", hashGbps), Ratio(signGbps, hashGbps),
               std::string(">= 1.00: ") + (signGbps >= 1.0 ? "met" : "NOT met")});
    table.Add({"signature, GB/s wall", Format("%.2f", size / 1e9 / signing.wall), "", "", "", ""});
    table.Add({"signature size, bytes", Format("%.0f", static_cast<double>(seed.size())),
               "corpus bytes", Format("%.0f", size), Ratio(static_cast<double>(seed.size()), size),
               ""});

    // ---------------------------------------------------------- patch
    progress("patch");
    std::vector<std::uint8_t> source;
    {
        const DIFFLIB::MemoryReader reader(edited);
        DIFFLIB::MemoryDiffWriter writer;
        library.GenerateSignature(reader, writer);
        source = writer.Take();
    }
    std::vector<std::uint8_t> patch;
    const Timed comparing = Best(options.reps, [&] {
        const DIFFLIB::MemoryReader seedReader(seed);
        const DIFFLIB::MemoryReader sourceReader(source);
        const DIFFLIB::MemoryReader fileReader(edited);
        DIFFLIB::MemoryDiffWriter writer;
        library.CompareSignatures(seedReader, sourceReader, &fileReader, writer);
        patch = writer.Take();
    });
    bool rebuilt = false;
    const Timed applying = Best(options.reps, [&] {
        const DIFFLIB::MemoryReader oldReader(old);
        const DIFFLIB::MemoryReader patchReader(patch);
        DIFFLIB::MemoryDiffWriter writer;
        rebuilt =
            library.ApplyPatch(oldReader, patchReader, writer) == DIFFLIB::Result::Ok &&
            std::equal(writer.Data().begin(), writer.Data().end(), edited.begin(), edited.end());
    });
    if (!rebuilt) {
        std::fprintf(stderr, "bench_deploy: the patch does not rebuild the edited corpus\n");
        return 1;
    }
    const double patchRaw = static_cast<double>(patch.size());
    std::vector<std::uint8_t> packedPatch = patch;
    DIFFLIB::DiffLibrary::CompressBuffer(packedPatch);
    const double patchPacked = static_cast<double>(packedPatch.size());
    table.Add({"compare signatures, ms CPU", Format("%.1f", comparing.cpu * 1e3), "", "", "", ""});
    table.Add({"apply patch, GB/s per core", Format("%.2f", edited.size() / 1e9 / applying.cpu), "",
               "", "", ""});
    table.Add({"patch bytes, raw", Format("%.0f", patchRaw), "", "", "", ""});

    // ---------------------------------------------------------- rsync
    double rsyncSent = -1, rsyncBoth = -1, rsyncFirstSent = -1, rsyncFirstWall = 0,
           rsyncDeltaWall = 0;
    std::string rsyncNote;
    const fs::path oldFile = fs::path(work) / "corpus-old.bin";
    const fs::path newFile = fs::path(work) / "corpus-new.bin";
    WriteFile(oldFile, old);
    WriteFile(newFile, edited);
    if (options.rsync) {
        progress("rsync");
        // A remote shell that runs the remote side here: rsync then really
        // talks its delta protocol between two processes.
        const std::string shell = work + "/rsh";
        std::ofstream(shell) << "#!/bin/sh\nshift\nexec sh -c \"$*\"\n";
        fs::permissions(shell, fs::perms::owner_all);
        struct Variant {
            const char* name;
            std::vector<std::string> extra;
        };
        for (const Variant& variant :
             {Variant{"zstd (negotiated)", {}}, Variant{"zlib", {"--compress-choice=zlib"}}}) {
            const std::string dir = work + "/rsync";
            fs::remove_all(dir);
            fs::create_directories(dir);
            auto command = [&](const fs::path& from, const std::string& name) {
                std::vector<std::string> argv = {
                    "rsync", "--no-whole-file", "-z", "-I", "--stats", "-e", shell};
                argv.insert(argv.end(), variant.extra.begin(), variant.extra.end());
                argv.push_back(from.string());
                argv.push_back("localhost:" + dir + "/" + name);
                return argv;
            };
            // First copy: nothing on the far side yet.
            const ToolRun first = RunTool(command(oldFile, "app.bin"), work);
            const ToolRun delta = RunTool(command(newFile, "app.bin"), work);
            if (!first.ok || !delta.ok || ReadFile(dir + "/app.bin") != edited) {
                std::fprintf(stderr, "bench_deploy: rsync did not reproduce the edited corpus\n");
                continue;
            }
            const double sent = StatsNumber(delta.output, "Total bytes sent:");
            const double received = StatsNumber(delta.output, "Total bytes received:");
            const double literal = StatsNumber(delta.output, "Literal data:");
            table.Add({std::string("patch bytes, LZMS (rsync -z, ") + variant.name + ")",
                       Format("%.0f", patchPacked), "rsync bytes sent", Format("%.0f", sent),
                       Ratio(patchPacked, sent),
                       std::string("<= 1.00: ") + (patchPacked <= sent ? "met" : "NOT met")});
            if (rsyncSent < 0) {
                rsyncSent = sent;
                rsyncFirstSent = StatsNumber(first.output, "Total bytes sent:");
                rsyncBoth = sent + received;
                rsyncFirstWall = first.wall;
                rsyncDeltaWall = delta.wall;
                rsyncNote = Format("%.0f", literal) + " literal bytes";
            }
        }
        const double ours = patchPacked + static_cast<double>(seed.size());
        table.Add({"both ways: signature + LZMS patch", Format("%.0f", ours),
                   "rsync sent + received", Format("%.0f", rsyncBoth), Ratio(ours, rsyncBoth), ""});
        table.Add({"rsync literal data (zstd run)", "", "", rsyncNote, "", ""});
    } else {
        table.Add({"patch bytes, LZMS", Format("%.0f", patchPacked), "", "", "", ""});
    }

    // ---------------------------------------------------------- LZMS vs xz
    progress("LZMS and xz -6");
    std::vector<std::uint8_t> packed;
    const Timed compressing = Measure([&] { DIFFLIB::LzmsCompress(old, packed); });
    std::vector<std::uint8_t> unpacked;
    const Timed decompressing = Measure([&] { DIFFLIB::LzmsDecompress(packed, unpacked); });
    if (unpacked != old) {
        std::fprintf(stderr, "bench_deploy: LZMS did not round-trip the corpus\n");
        return 1;
    }
    const std::string xzFile = work + "/corpus-old.bin.xz";
    const ToolRun xz = RunTool({"xz", "-6", "-T1", "-k", "-c", oldFile.string()}, work, xzFile);
    const ToolRun unxz = RunTool({"xz", "-d", "-T1", "-c", xzFile}, work, "/dev/null");
    const double xzSize = xz.ok ? static_cast<double>(fs::file_size(xzFile)) : 0;
    const double lzmsSize = static_cast<double>(packed.size());
    const double mb = size / 1e6;
    table.Add({"compress, MB/s per core (CPU time)", Format("%.2f", mb / compressing.cpu),
               "xz -6 -T1", Format("%.2f", mb / xz.cpu), Ratio(xz.cpu, compressing.cpu), ""});
    table.Add({"compress, MB/s wall (LZMS on all cores)", Format("%.2f", mb / compressing.wall),
               "xz -6 -T1", Format("%.2f", mb / xz.wall), Ratio(xz.wall, compressing.wall), ""});
    table.Add({"compressed size / original", Format("%.4f", lzmsSize / size), "xz -6",
               Format("%.4f", xzSize / size), Ratio(lzmsSize, xzSize), ""});
    table.Add({"decompress, MB/s per core (CPU time)", Format("%.1f", mb / decompressing.cpu),
               "xz -d", Format("%.1f", mb / unxz.cpu), Ratio(unxz.cpu, decompressing.cpu), ""});

    // ---------------------------------------------------------- end to end
    std::vector<std::string> evidence;
    if (options.endToEnd) {
        const std::vector<std::string> environment = {
            "PROGRAMFILES=" + work + "/programs", "XDG_DATA_HOME=" + work + "/xdg",
            "VTR_NO_UPDATE=1", "VTR_ADDRESS_URL=http://127.0.0.1:9"};
        for (const bool quic : {false, true}) {
            if (quic && !options.quic)
                continue;
            const char* name = quic ? "QUIC" : "TCP";
            progress(quic ? "end to end over QUIC" : "end to end over TCP");
            const EndToEnd run = DeployTwice(quic, VTR232_PATH, work, environment, old, edited);
            if (!run.upload.ok || !run.patch.ok || !run.identical) {
                std::fprintf(stderr, "bench_deploy: deployment over %s failed\n", name);
                return 1;
            }
            table.Add({std::string("first upload over ") + name + ", s wall",
                       Format("%.2f", run.upload.seconds), "rsync -z first copy",
                       Format("%.2f", rsyncFirstWall), Ratio(run.upload.seconds, rsyncFirstWall),
                       ""});
            if (!quic) {
                const double uploaded = StatsNumber(run.upload.line, "->");
                table.Add({"first upload bytes (LZMS)", Format("%.0f", uploaded),
                           "rsync -z first copy sent", Format("%.0f", rsyncFirstSent),
                           Ratio(uploaded, rsyncFirstSent), ""});
            }
            table.Add({std::string("first upload over ") + name + ", CPU s (both sides)",
                       Format("%.2f", run.upload.cpu), "", "", "", ""});
            table.Add({std::string("patch deploy over ") + name + ", s wall",
                       Format("%.2f", run.patch.seconds), "rsync -z delta run",
                       Format("%.2f", rsyncDeltaWall), Ratio(run.patch.seconds, rsyncDeltaWall),
                       ""});
            table.Add({std::string("patch deploy over ") + name + ", CPU s (both sides)",
                       Format("%.2f", run.patch.cpu), "", "", "", ""});
            evidence.push_back(std::string(name) + ": " + run.upload.line);
            evidence.push_back(std::string(name) + ": " + run.patch.line);
        }
    }

    std::printf(
        "\n## Deployment: %zu MiB corpus of %zu build artefacts from "
        "/usr/lib/x86_64-linux-gnu (path order);\n"
        "## change: %d overwrites of %zu bytes, one %zu-byte insertion at the middle\n",
        old.size() / kMiB, files, kOverwrites, kOverwriteSize, kInsertionSize);
    std::printf("load average before %s, after %s (%u cores); CPU figures are best of %d\n\n",
                loadBefore.c_str(), LoadAverage().c_str(), std::thread::hardware_concurrency(),
                options.reps);
    table.Print();
    std::printf(
        "(ratio = vtr232 / baseline: for speeds higher is better, for sizes and "
        "times lower is better)\n");
    if (!evidence.empty()) {
        std::printf("\nServer console lines ($WORK = the temporary directory):\n");
        for (std::string line : evidence) {
            for (auto at = line.find(work); at != std::string::npos; at = line.find(work))
                line.replace(at, work.size(), "$WORK");
            std::printf("  %s\n", line.c_str());
        }
    }
    std::printf("(digest of the corpus %016llx%016llx)\n",
                static_cast<unsigned long long>(digest.high64),
                static_cast<unsigned long long>(digest.low64));
    return 0;
}
