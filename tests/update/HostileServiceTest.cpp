// Update runs against a service that sends what no honest one would: names
// leading out of the program directory, endless replies, zip bombs.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "platform/Text.h"
#include "support/Sanitizers.h"
#include "update/LocalFiles.h"
#include "update/Sha256.h"
#include "update/Updater.h"
#include "update/ZZip.h"

namespace {

using namespace updatetest;
namespace fs = std::filesystem;

const Zelt::FileFilter kThreadFilter{{L"vtr232"}, true};
const std::string kSuffix = ".{1DAE2EA5-922C-4049-AD37-0AA3E0EE7DC1}.old";

void PutU16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    PutU16(out, v & 0xFFFF);
    PutU16(out, v >> 16);
}

// A Deflate stream of `size` zero bytes in one block whose own Huffman codes
// give a literal 0, a copy of 258 bytes and the distance 1 a bit or two each:
// 2 bits per 258 bytes.
std::vector<std::uint8_t> DeflatedZeros(std::uint64_t size) {
    std::vector<std::uint8_t> out;
    std::uint32_t bits = 0;
    int count = 0;
    auto put = [&](std::uint32_t value, int n) {  // least significant bit first
        bits |= value << count;
        count += n;
        while (count >= 8) {
            out.push_back(static_cast<std::uint8_t>(bits));
            bits >>= 8;
            count -= 8;
        }
    };
    auto code = [&](std::uint32_t value, int n) {  // Huffman codes: most significant first
        std::uint32_t reversed = 0;
        for (int i = 0; i < n; ++i)
            reversed |= ((value >> i) & 1u) << (n - 1 - i);
        put(reversed, n);
    };
    put(1, 1);   // final block
    put(2, 2);   // own Huffman codes
    put(29, 5);  // 286 literal/length codes
    put(0, 5);   // 1 distance code
    put(14, 4);  // 18 code length codes
    // Code length codes in their fixed order: 18 -> "0", 1 -> "10", 2 -> "11".
    for (const int symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1})
        put(symbol == 18 ? 1 : symbol == 1 || symbol == 2 ? 2 : 0, 3);
    // Lengths: literal 0 -> 2, 255 zeros, 256 -> 2, 28 zeros, 285 -> 1; distance 0 -> 1.
    code(3, 2);
    code(0, 1), put(127, 7);
    code(0, 1), put(106, 7);
    code(3, 2);
    code(0, 1), put(17, 7);
    code(2, 2), code(2, 2);
    // So 285 (length 258) is "0", literal 0 is "10", the end is "11".
    code(2, 2);
    std::uint64_t left = size - 1;
    for (; left >= 258; left -= 258)
        code(0, 1), code(0, 1);
    for (; left > 0; --left)
        code(2, 2);
    code(3, 2);
    put(0, 7);  // flush
    return out;
}

// A zip archive of one Deflate entry of `size` zero bytes that claims to hold
// `claimed` bytes. Its CRC is not the content's: what counts is how much is
// inflated before the refusal.
std::vector<std::uint8_t> ZipBomb(const std::string& name, std::uint64_t size,
                                  std::uint64_t claimed) {
    const auto data = DeflatedZeros(size);
    std::vector<std::uint8_t> zip;
    auto header = [&](std::uint32_t signature, bool central) {
        PutU32(zip, signature);
        if (central)
            PutU16(zip, 20);  // made by
        PutU16(zip, 20);      // needed
        PutU16(zip, 0);       // flags
        PutU16(zip, 8);       // Deflate
        PutU32(zip, 0);       // time, date
        PutU32(zip, 0);       // CRC
        PutU32(zip, static_cast<std::uint32_t>(data.size()));
        PutU32(zip, static_cast<std::uint32_t>(claimed));
        PutU16(zip, static_cast<std::uint32_t>(name.size()));
        PutU16(zip, 0);  // extra
        if (central) {
            PutU16(zip, 0);  // comment
            PutU16(zip, 0);  // disk
            PutU16(zip, 0);  // internal attributes
            PutU32(zip, 0);  // external attributes
            PutU32(zip, 0);  // local header offset
        }
        zip.insert(zip.end(), name.begin(), name.end());
    };
    header(0x04034b50, false);
    zip.insert(zip.end(), data.begin(), data.end());
    const auto central = static_cast<std::uint32_t>(zip.size());
    header(0x02014b50, true);
    const auto centralSize = static_cast<std::uint32_t>(zip.size()) - central;
    PutU32(zip, 0x06054b50);
    PutU32(zip, 0);  // disks
    PutU16(zip, 1);
    PutU16(zip, 1);
    PutU32(zip, centralSize);
    PutU32(zip, central);
    PutU16(zip, 0);
    return zip;
}

void WriteArchive(const fs::path& path,
                  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& entries) {
    fs::remove(path);
    Zelt::ZZIP archive;
    ASSERT_EQ(archive.create_file(platform::FromUtf8(path.string())), Zelt::kOk);
    for (const auto& [name, content] : entries)
        ASSERT_EQ(archive.add(name, content), Zelt::kOk);
    ASSERT_EQ(archive.close(), Zelt::kOk);
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

long StatusKiB(const std::string& status, const std::string& key) {
    std::ifstream in(status);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::atol(line.c_str() + key.size() + 1);
    return -1;
}

struct ForkedRun {
    int result = 99;
    long growthKiB = -1;  // peak resident size above the start
};

// Runs `run` in a child process of its own, so that its peak memory is its own.
ForkedRun RunForked(const std::function<int()>& run) {
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const long start = StatusKiB("/proc/self/status", "VmRSS");
        long report[2] = {run(), 0};
        report[1] = StatusKiB("/proc/self/status", "VmHWM") - start;
        (void)!write(fds[1], report, sizeof report);
        _exit(0);
    }
    close(fds[1]);
    long report[2] = {99, -1};
    const bool got = read(fds[0], report, sizeof report) == sizeof report;
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return got ? ForkedRun{static_cast<int>(report[0]), report[1]} : ForkedRun{};
}

class HostileServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        oldExe = RandomBytes(200000, 1);
        newExe = oldExe;
        newExe[1000] ^= 1;
        fs::create_directories(install());
        WriteBytes(service.release() / "vtr232", newExe);
        WriteBytes(install() / "vtr232", oldExe);
        WriteBytes(victim(), Bytes("not the program's"));
        WriteBytes(install() / ("vtr232" + kSuffix), Bytes("an old copy"));
        service.Publish();
    }

    fs::path install() const { return root.path() / "install"; }
    // Outside the program directory, under the name an old copy would have.
    fs::path victim() const { return root.path() / ("victim" + kSuffix); }

    int Run(const Zelt::FileFilter* filter = &kThreadFilter) {
        Zelt::Updater updater(platform::FromUtf8(install().string()), {}, 0);
        updater.service_url = service.Url();
        updater.ca_file = service.caFile().string();
        return updater.run(filter);
    }

    bool LogHas(const std::string& prefix) const {
        for (const auto& line : service.LogLines())
            if (line.rfind(prefix, 0) == 0)
                return true;
        return false;
    }

    TempDir root;
    UpdateService service;
    std::vector<std::uint8_t> oldExe;
    std::vector<std::uint8_t> newExe;
};

TEST_F(HostileServiceTest, ListNamingAFileOutsideTheDirectoryIsRefusedWhole) {
    service.Start();
    const fs::path hashes = service.published() / "hashes.zip";
    const std::string good = "<f n=\"vtr232\" h=\"" + HexSha256(newExe) + "\"/>";
    for (const std::string bad :
         {"..\\victim", "../victim", "sub\\..\\..\\victim", "/victim", "\\victim", "C:victim",
          "c:\\victim", "sub\\\\victim", "sub\\", ".\\vtr232", ""}) {
        WriteArchive(
            hashes,
            {{"list.xml", Bytes("<files>" + good + "<f n=\"" + bad + "\" h=\"00\"/></files>")}});
        EXPECT_EQ(Run(), Zelt::kHashListFailed) << bad;
        EXPECT_TRUE(fs::exists(victim())) << bad;
        // Nothing at all is touched, not even the good name's old copy.
        EXPECT_TRUE(fs::exists(install() / ("vtr232" + kSuffix))) << bad;
    }
    // One entry per file: the entry names are the file names.
    WriteArchive(hashes, {{"vtr232", Zelt::Sha256(newExe)}, {"../victim", {0}}});
    EXPECT_EQ(Run(), Zelt::kHashListFailed);
    EXPECT_TRUE(fs::exists(victim()));

    // A signature list with such a name is refused too: nothing is requested.
    service.Publish();
    const auto signatures = ReadBytes(service.published() / "sigs.zip");
    Zelt::ZZIP published;
    ASSERT_EQ(published.open_memory(signatures.data(), signatures.size()), Zelt::kOk);
    std::vector<std::uint8_t> signature;
    ASSERT_EQ(published.extract("vtr232", signature), Zelt::kOk);
    WriteArchive(service.published() / "sigs.zip",
                 {{"vtr232", signature}, {"sub/../../victim", signature}});
    service.ClearLog();
    EXPECT_EQ(Run(), Zelt::kPatchFailed);
    EXPECT_FALSE(LogHas("request f=patch"));
    EXPECT_EQ(ReadBytes(install() / "vtr232"), oldExe);

    // An honest list removes the old copy inside the directory, and only that.
    service.Publish();
    EXPECT_EQ(Run(), Zelt::kUpdatedInPlace);
    EXPECT_FALSE(fs::exists(install() / ("vtr232" + kSuffix)));
    EXPECT_TRUE(fs::exists(victim()));
}

TEST_F(HostileServiceTest, OversizedRepliesEndTheRunWithBoundedMemory) {
    for (const std::string fault : {"flood", "flood-length"}) {
        service.ClearLog();
        service.Start(fault);
        const ForkedRun run = RunForked([this] { return Run(); });
        EXPECT_EQ(run.result, Zelt::kHashListFailed) << fault;
        EXPECT_GE(run.growthKiB, 0) << fault;
        EXPECT_LT(run.growthKiB, testing_support::MemoryBoundKiB(48 * 1024)) << fault;
        // The client hung up long before the 2 GiB the service had to send.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!LogHas("flood ended") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (const auto& line : service.LogLines()) {
            if (line.rfind("flood ended after ", 0) == 0) {
                EXPECT_LT(std::stoull(line.substr(18)), 64ull << 20) << fault;
            }
        }
        EXPECT_TRUE(LogHas("flood ended")) << fault;
    }
    // A patch reply far beyond the few kilobytes that were asked for.
    WriteBytes(service.published() / "patch.zip", RandomBytes(96 << 20, 5));
    service.Start("patch-file");
    const ForkedRun run = RunForked([this] { return Run(); });
    EXPECT_EQ(run.result, Zelt::kPatchFailed);
    EXPECT_LT(run.growthKiB, testing_support::MemoryBoundKiB(48 * 1024));
    EXPECT_EQ(ReadBytes(install() / "vtr232"), oldExe);
}

TEST_F(HostileServiceTest, ZipBombEntriesAreRefusedWithBoundedMemory) {
    constexpr std::uint64_t kInflated = 512ull << 20;
    service.Start("patch-file");
    // A hash list whose one entry inflates to 512 MiB, once with its size
    // stated and once claiming to be small.
    for (const std::uint64_t claimed : {kInflated, std::uint64_t{100}}) {
        WriteBytes(service.published() / "hashes.zip", ZipBomb("list.xml", kInflated, claimed));
        const ForkedRun run = RunForked([this] { return Run(); });
        EXPECT_EQ(run.result, Zelt::kHashListFailed) << claimed;
        EXPECT_LT(run.growthKiB, testing_support::MemoryBoundKiB(48 * 1024)) << claimed;
    }
    // A patch reply whose entry for the first block does the same, small
    // enough to pass as a reply for the few kilobytes asked for.
    service.Publish();
    constexpr std::uint64_t kPatchInflated = 60ull << 20;
    for (const std::uint64_t claimed : {kPatchInflated, std::uint64_t{100}}) {
        WriteBytes(service.published() / "patch.zip", ZipBomb("1", kPatchInflated, claimed));
        const ForkedRun run = RunForked([this] { return Run(); });
        EXPECT_EQ(run.result, Zelt::kPatchFailed) << claimed;
        EXPECT_LT(run.growthKiB, testing_support::MemoryBoundKiB(48 * 1024)) << claimed;
    }
    EXPECT_EQ(ReadBytes(install() / "vtr232"), oldExe);
}

// Plants a link to the victim at every name an archive could predictably be
// given next to what appears in the watched directory, until destroyed.
class Planter {
  public:
    Planter(fs::path directory, fs::path victim)
        : directory_(std::move(directory)), victim_(std::move(victim)) {
        fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(fd_, directory_.c_str(), IN_CREATE);
        if (pipe(stop_) == 0)
            thread_ = std::thread([this] { Watch(); });
    }
    ~Planter() {
        (void)!write(stop_[1], "x", 1);
        if (thread_.joinable())
            thread_.join();
        for (const int fd : {fd_, stop_[0], stop_[1]})
            close(fd);
    }
    int planted() const { return planted_; }

  private:
    void Watch() {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            poll(fds, 2, -1);
            if (fds[1].revents != 0)
                return;
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string name = event->name;
                if (event->len == 0 || name.rfind("zip", 0) != 0 || name.ends_with(".zip"))
                    continue;
                const fs::path link = directory_ / (name + ".zip");
                planted_ += symlink(victim_.c_str(), link.c_str()) == 0 ? 1 : 0;
            }
        }
    }

    fs::path directory_;
    fs::path victim_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<int> planted_{0};
    std::thread thread_;  // last: started once the rest is in place
};

TEST_F(HostileServiceTest, LocalSignatureArchiveIsPrivateAndAlwaysRemoved) {
    const fs::path temp = root.path() / "tmp";
    fs::create_directories(temp);
    const std::string previous = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", temp.c_str(), 1);
    service.Start();
    int planted = 0;
    {
        const Planter planter(temp, victim());
        EXPECT_EQ(Run(), Zelt::kUpdatedInPlace);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        planted = planter.planted();
    }
    EXPECT_EQ(ReadBytes(install() / "vtr232"), newExe);
    EXPECT_EQ(ReadBytes(victim()), Bytes("not the program's"));
    // The run made one private directory, and removed it; what was planted
    // beside it is neither followed nor removed.
    int links = 0;
    for (const auto& entry : fs::directory_iterator(temp)) {
        EXPECT_TRUE(entry.is_symlink()) << entry.path();
        ++links;
    }
    EXPECT_EQ(links, planted);
    EXPECT_GE(planted, 1) << "the run made nothing in the temporary directory";

    // A run that fails after the archive was made leaves nothing either.
    WriteBytes(install() / "vtr232", oldExe);
    service.Start("patch-text");
    EXPECT_EQ(Run(), Zelt::kPatchFailed);
    EXPECT_EQ(std::distance(fs::directory_iterator(temp), fs::directory_iterator()), links);
    if (previous.empty())
        unsetenv("TMPDIR");
    else
        setenv("TMPDIR", previous.c_str(), 1);
}

TEST(TempArchive, PrivateDirectoryWhoseArchiveIsNeverAFollowedLink) {
    TempDir root;
    const fs::path victim = root.path() / "victim";
    WriteBytes(victim, Bytes("keep"));
    fs::path directory;
    {
        const Zelt::TempArchive archive;
        const fs::path path = platform::ToUtf8(archive.path());
        directory = path.parent_path();
        EXPECT_EQ(directory.filename().string().rfind("zip", 0), 0u);
        EXPECT_TRUE(fs::status(directory).permissions() == fs::perms::owner_all);
        EXPECT_TRUE(fs::is_empty(directory));
        // Whatever was put at the name is replaced, never written through.
        ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
        Zelt::Updater updater(platform::FromUtf8(root.path().string()), {}, 0);
        EXPECT_EQ(updater.build_signature_archive(&archive.path(), nullptr), Zelt::kOk);
        EXPECT_FALSE(fs::is_symlink(path));
        EXPECT_EQ(ReadBytes(victim), Bytes("keep"));
        EXPECT_EQ(updater.fetch_signatures(&archive.path()), Zelt::kOk);
        EXPECT_FALSE(updater.records().empty());
    }
    EXPECT_FALSE(fs::exists(directory));
}

}  // namespace
