#pragma once
// Helpers of the update tests: temporary directories, files, a certificate
// made at test time, child processes, and the real update service.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace updatetest {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
// Deterministic pseudo-random bytes (incompressible, so block matching is real).
std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed);
std::string HexSha256(const std::vector<std::uint8_t>& bytes);

// A self-signed certificate for 127.0.0.1 that is also its own trust anchor.
void MakeCertificate(const std::filesystem::path& certFile, const std::filesystem::path& keyFile);

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const std::vector<std::string>& argv,
                 const std::vector<std::string>& extraEnv = {}, bool pipeStdin = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    // Exit status, waiting at most timeoutMs; -1 when it did not end (then killed).
    int Wait(int timeoutMs);
    void Kill();
    // With pipeStdin: ends the child's standard input.
    void CloseStdin();

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
};

// Runs a program to its end; its exit status (-1 when it could not run).
int RunProgram(const std::vector<std::string>& argv, int timeoutMs = 20000,
               const std::vector<std::string>& extraEnv = {});

// A TCP listener on 127.0.0.1 that never answers: connections wait in its
// backlog until Accepted() takes and closes them.
class CountingListener {
  public:
    CountingListener();
    ~CountingListener();
    CountingListener(const CountingListener&) = delete;
    CountingListener& operator=(const CountingListener&) = delete;
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    // Closes the connections waiting now; how many there were.
    int Accepted();

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A release directory published with the project's tool and served over
// HTTPS by the real update server on 127.0.0.1.
class UpdateService {
  public:
    UpdateService();
    ~UpdateService();

    std::filesystem::path release() const { return root_.path() / "release"; }
    std::filesystem::path published() const { return root_.path() / "published"; }
    std::filesystem::path caFile() const { return root_.path() / "cert.pem"; }

    void Publish();
    void Start(const std::string& fault = "");
    void Stop();
    std::wstring Url() const;
    std::vector<std::string> LogLines() const;
    // "block ..." lines of the log, as (name, F/P, offset, length).
    struct Block {
        std::string name;
        std::string kind;
        std::uint64_t offset;
        std::uint64_t length;
    };
    std::vector<Block> Blocks() const;
    int Requests() const;
    void ClearLog();

  private:
    TempDir root_;
    std::unique_ptr<ChildProcess> server_;
    int port_ = 0;
};

}  // namespace updatetest
