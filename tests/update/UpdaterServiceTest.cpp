// Update runs against the real update service over HTTPS on 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "TestSupport.h"
#include "platform/Text.h"
#include "update/Sha256.h"
#include "update/Updater.h"

namespace {

using namespace updatetest;
namespace fs = std::filesystem;

const Zelt::FileFilter kThreadFilter{{L"vtr232"}, true};

class UpdaterServiceTest : public ::testing::Test {
  protected:
    // Release and install start out with the same two files.
    void SetUp() override {
        oldExe = RandomBytes(300000, 1);
        data = RandomBytes(20000, 2);
        WriteBytes(service.release() / "vtr232", oldExe);
        WriteBytes(service.release() / "lib" / "data.bin", data);
        WriteBytes(install.path() / "vtr232", oldExe);
        WriteBytes(install.path() / "lib" / "data.bin", data);
    }

    void PublishAndStart(const std::string& fault = "") {
        service.Publish();
        service.Start(fault);
    }

    Zelt::Updater MakeUpdater() {
        Zelt::Updater updater(platform::FromUtf8(install.path().string()), {}, 0);
        updater.service_url = service.Url();
        updater.ca_file = service.caFile().string();
        return updater;
    }

    int Run(const Zelt::FileFilter* filter) {
        auto updater = MakeUpdater();
        return updater.run(filter);
    }

    // Files in the install directory other than the expected ones (temporary
    // copies, renamed-aside executables).
    std::vector<std::string> Strays(const std::vector<std::string>& expected) {
        std::vector<std::string> strays;
        for (const auto& entry : fs::recursive_directory_iterator(install.path())) {
            if (!entry.is_regular_file())
                continue;
            const auto name = fs::relative(entry.path(), install.path()).string();
            if (std::find(expected.begin(), expected.end(), name) == expected.end())
                strays.push_back(name);
        }
        return strays;
    }

    UpdateService service;
    TempDir install;
    std::vector<std::uint8_t> oldExe;
    std::vector<std::uint8_t> data;
};

TEST_F(UpdaterServiceTest, UpToDateAfterExactlyOneRequest) {
    PublishAndStart();
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kUpToDate);
    EXPECT_EQ(service.Requests(), 1);
    EXPECT_TRUE(service.Blocks().empty());
}

TEST_F(UpdaterServiceTest, ChangedFileRebuiltFromLocalBlocksAndMissingRanges) {
    // A small change in the middle plus a few inserted bytes.
    auto newExe = oldExe;
    for (int i = 0; i < 64; ++i)
        newExe[150000 + i] ^= 0x5A;
    newExe.insert(newExe.begin() + 220000, {'n', 'e', 'w', '!'});
    WriteBytes(service.release() / "vtr232", newExe);
    PublishAndStart();

    EXPECT_EQ(Run(&kThreadFilter), Zelt::kUpdatedInPlace);
    const auto installed = ReadBytes(install.path() / "vtr232");
    EXPECT_EQ(installed, newExe);
    EXPECT_EQ(HexSha256(installed), HexSha256(newExe));
    EXPECT_EQ(ReadBytes(install.path() / "lib" / "data.bin"), data);

    // Only the ranges around the two changes travelled.
    const auto blocks = service.Blocks();
    ASSERT_FALSE(blocks.empty());
    std::uint64_t requested = 0;
    for (const auto& block : blocks) {
        EXPECT_EQ(block.name, "vtr232");
        EXPECT_EQ(block.kind, "P");
        EXPECT_LE(block.offset + block.length, newExe.size());
        requested += block.length;
    }
    EXPECT_LT(requested, newExe.size() / 4) << "requested " << requested;
    std::printf("requested %llu of %zu bytes in %zu blocks\n",
                static_cast<unsigned long long>(requested), newExe.size(), blocks.size());
    EXPECT_EQ(service.Requests(), 3);  // hash list, signature list, patch
    EXPECT_TRUE(Strays({"vtr232", "lib/data.bin"}).empty());

    // The next run finds nothing to do.
    service.ClearLog();
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kUpToDate);
    EXPECT_EQ(service.Requests(), 1);
}

TEST_F(UpdaterServiceTest, BlockIndicesContinueAcrossFiles) {
    auto newExe = oldExe;
    newExe[1000] ^= 1;
    auto newData = data;
    newData[10] ^= 1;
    WriteBytes(service.release() / "vtr232", newExe);
    WriteBytes(service.release() / "lib" / "data.bin", newData);
    PublishAndStart();
    auto updater = MakeUpdater();
    EXPECT_EQ(updater.run(nullptr), Zelt::kUpdatedInPlace);
    std::int32_t expected = 1;
    int filesWithBlocks = 0;
    for (const auto& record : updater.records()) {
        filesWithBlocks += record.blocks.empty() ? 0 : 1;
        for (const auto& block : record.blocks)
            EXPECT_EQ(block.index, expected++);
    }
    EXPECT_EQ(filesWithBlocks, 2);
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), newExe);
    EXPECT_EQ(ReadBytes(install.path() / "lib" / "data.bin"), newData);
}

TEST_F(UpdaterServiceTest, FileMissingLocallyIsFetchedWhole) {
    const auto newDll = RandomBytes(5000, 3);
    WriteBytes(service.release() / "sub" / "new.dll", newDll);
    PublishAndStart();
    EXPECT_EQ(Run(nullptr), Zelt::kUpdatedInPlace);
    EXPECT_EQ(ReadBytes(install.path() / "sub" / "new.dll"), newDll);
    const auto blocks = service.Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].name, "sub/new.dll");
    EXPECT_EQ(blocks[0].kind, "F");
}

TEST_F(UpdaterServiceTest, FilterDecidesWhichChangedFilesMayBeTouched) {
    // Only a file the thread's filter excludes has changed.
    WriteBytes(service.release() / "lib" / "data.bin", RandomBytes(20000, 9));
    PublishAndStart();
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kAllExcluded);
    EXPECT_EQ(ReadBytes(install.path() / "lib" / "data.bin"), data);

    // An executable of the same name in a subdirectory does not match the
    // whole-name pattern; the top-level one does.
    const auto subExe = RandomBytes(4000, 10);
    auto newExe = oldExe;
    newExe[5] ^= 0xFF;
    WriteBytes(service.release() / "sub" / "vtr232", subExe);
    WriteBytes(service.release() / "vtr232", newExe);
    service.Publish();
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kUpdatedInPlace);
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), newExe);
    EXPECT_FALSE(fs::exists(install.path() / "sub" / "vtr232"));
    EXPECT_EQ(ReadBytes(install.path() / "lib" / "data.bin"), data);
}

TEST_F(UpdaterServiceTest, RebuiltFileWithWrongHashIsNeverWritten) {
    auto newExe = oldExe;
    newExe[100] ^= 1;
    WriteBytes(service.release() / "vtr232", newExe);
    service.Publish();
    // The service now hands out bytes that do not match its own hash list.
    auto served = newExe;
    served[200] ^= 1;
    WriteBytes(service.release() / "vtr232", served);
    service.Start();
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kRebuildFailed);
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), oldExe);
    EXPECT_TRUE(Strays({"vtr232", "lib/data.bin"}).empty());
}

TEST_F(UpdaterServiceTest, RunningExecutableIsRenamedAsideAndReplaced) {
    // A real running program under the executable's name.
    const auto sleepBytes = ReadBytes("/bin/sleep");
    ASSERT_FALSE(sleepBytes.empty());
    WriteBytes(install.path() / "vtr232", sleepBytes);
    fs::permissions(install.path() / "vtr232", fs::perms(0755));
    auto newExe = sleepBytes;
    const std::string trailer = "-- a newer build --";
    newExe.insert(newExe.end(), trailer.begin(), trailer.end());
    WriteBytes(service.release() / "vtr232", newExe);
    PublishAndStart();

    ChildProcess running({(install.path() / "vtr232").string(), "30"});
    ASSERT_GT(running.pid(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Overwriting the running image in place is refused by the system.
    ASSERT_LT(::open((install.path() / "vtr232").c_str(), O_WRONLY), 0);
    ASSERT_EQ(errno, ETXTBSY);

    auto updater = MakeUpdater();
    EXPECT_EQ(updater.run(&kThreadFilter), Zelt::kUpdatedInUse);
    EXPECT_TRUE(updater.replaced_in_use());
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), newExe);
    EXPECT_TRUE(fs::status(install.path() / "vtr232").permissions() == fs::perms(0755));
    EXPECT_EQ(::kill(running.pid(), 0), 0) << "the running program must not be disturbed";
    EXPECT_TRUE(Strays({"vtr232", "lib/data.bin"}).empty());
    running.Kill();

    // A renamed copy left by an earlier run goes at the next run.
    const fs::path leftover = install.path() / "vtr232.{1DAE2EA5-922C-4049-AD37-0AA3E0EE7DC1}.old";
    WriteBytes(leftover, sleepBytes);
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kUpToDate);
    EXPECT_FALSE(fs::exists(leftover));
}

TEST_F(UpdaterServiceTest, OldCopyThatCannotBeRemovedKeepsTheOldFile) {
    const auto sleepBytes = ReadBytes("/bin/sleep");
    WriteBytes(install.path() / "vtr232", sleepBytes);
    fs::permissions(install.path() / "vtr232", fs::perms(0755));
    auto newExe = sleepBytes;
    newExe.push_back('x');
    WriteBytes(service.release() / "vtr232", newExe);
    PublishAndStart();
    // Something that is neither deletable nor replaceable by a rename.
    const fs::path blocker = install.path() / "vtr232.{1DAE2EA5-922C-4049-AD37-0AA3E0EE7DC1}.old";
    fs::create_directories(blocker / "inside");

    ChildProcess running({(install.path() / "vtr232").string(), "30"});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kRebuildFailed);
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), sleepBytes);
    EXPECT_TRUE(Strays({"vtr232", "lib/data.bin"}).empty());
}

TEST_F(UpdaterServiceTest, EmptyOrNonZipHashListFailsTheRun) {
    service.Publish();
    WriteBytes(service.published() / "hashes.zip", {});
    service.Start();
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kHashListFailed);
    const std::string text = "<files><f n=\"vtr232\" h=\"00\"/></files>";
    WriteBytes(service.published() / "hashes.zip", {text.begin(), text.end()});
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kHashListFailed);
    EXPECT_EQ(service.Requests(), 2);
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), oldExe);
}

TEST_F(UpdaterServiceTest, UnreadableLocalFileStopsTheRun) {
    auto newExe = oldExe;
    newExe[0] ^= 1;
    WriteBytes(service.release() / "vtr232", newExe);
    PublishAndStart();
    // A file the update cannot read whole (4 GiB, sparse) anywhere under the
    // program directory, even one the service does not name.
    {
        const int fd = ::open((install.path() / "huge.bin").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 1ll << 32), 0);
        ::close(fd);
    }
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kHashingFailed);
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), oldExe);
}

TEST_F(UpdaterServiceTest, BadRepliesFailTheirStepWithoutTouchingFiles) {
    auto newExe = oldExe;
    newExe[7] ^= 1;
    WriteBytes(service.release() / "vtr232", newExe);
    PublishAndStart("patch-text");
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kPatchFailed);
    PublishAndStart("patch-empty");
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kPatchFailed);
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), oldExe);

    // No signature list at all.
    fs::remove(service.published() / "sigs.zip");
    service.Start();
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kSignatureListEmpty);
    // A signature list that is not an archive leaves nothing to request.
    WriteBytes(service.published() / "sigs.zip", {'n', 'o', 'p', 'e'});
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kPatchFailed);
    EXPECT_EQ(ReadBytes(install.path() / "vtr232"), oldExe);
    EXPECT_TRUE(Strays({"vtr232", "lib/data.bin"}).empty());
}

TEST_F(UpdaterServiceTest, OverlongBodyLineIsRefusedBeforeAnyRequest) {
    PublishAndStart();
    auto updater = MakeUpdater();
    const std::wstring longName = std::wstring(600, L'a') + L"\\" + std::wstring(600, L'b');
    Zelt::FileRecord* record = updater.find_record(longName, true);
    record->remote_signatures = {1, 2, 3};
    std::size_t takingPart = 0;
    ASSERT_EQ(updater.compute_needs(nullptr, &takingPart), Zelt::kOk);
    EXPECT_EQ(takingPart, 1u);
    EXPECT_EQ(updater.fetch_patch(nullptr), Zelt::kFail);
    EXPECT_EQ(service.Requests(), 0);
}

TEST_F(UpdaterServiceTest, UnreachableServiceEndsPromptly) {
    PublishAndStart();
    service.Stop();  // nothing listens on that port any more
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(&kThreadFilter), Zelt::kHashListFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(UpdaterCancel, StopRequestEndsAHangingTransferPromptly) {
    // A service that accepts connections but never answers.
    const CountingListener listener;

    TempDir install;
    Zelt::Updater updater(platform::FromUtf8(install.path().string()), {}, 0);
    updater.service_url = platform::FromUtf8("https://" + listener.HostPort() + "/zelt/zelt.php");
    std::atomic<bool> stop{false};
    updater.cancel = &stop;
    std::atomic<int> result{99};
    std::thread worker([&] { result = updater.run(&kThreadFilter); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(result.load(), 99) << "the run should still be waiting for the service";
    const auto stopped = std::chrono::steady_clock::now();
    stop = true;
    worker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(1000));
    EXPECT_EQ(result.load(), Zelt::kHashListFailed);
}

}  // namespace
