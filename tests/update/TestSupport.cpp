#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "update/Sha256.h"

extern char** environ;

namespace updatetest {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vtr-update-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(generator());
    return bytes;
}

std::string HexSha256(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (const auto b : Zelt::Sha256(bytes)) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        text += pair;
    }
    return text;
}

void MakeCertificate(const fs::path& certFile, const fs::path& keyFile) {
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_crt_t crt = nullptr;
    gnutls_x509_privkey_init(&key);
    gnutls_x509_crt_init(&crt);
    std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, void (*)(gnutls_x509_privkey_t)>
        keyHolder(key, gnutls_x509_privkey_deinit);
    std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, void (*)(gnutls_x509_crt_t)>
        crtHolder(crt, gnutls_x509_crt_deinit);
    if (gnutls_x509_privkey_generate(key, GNUTLS_PK_ECDSA,
                                     GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) < 0)
        throw std::runtime_error("key generation failed");
    const std::uint8_t serial[] = {0x01, 0x23, 0x45};
    const unsigned char loopback[] = {127, 0, 0, 1};
    const time_t now = time(nullptr);
    gnutls_x509_crt_set_version(crt, 3);
    gnutls_x509_crt_set_serial(crt, serial, sizeof serial);
    gnutls_x509_crt_set_activation_time(crt, now - 3600);
    gnutls_x509_crt_set_expiration_time(crt, now + 24 * 3600);
    gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, "127.0.0.1", 9);
    gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, loopback, sizeof loopback,
                                         GNUTLS_FSAN_SET);
    gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, "localhost", 9,
                                         GNUTLS_FSAN_APPEND);
    gnutls_x509_crt_set_basic_constraints(crt, 1, -1);
    gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_DIGITAL_SIGNATURE | GNUTLS_KEY_KEY_CERT_SIGN);
    gnutls_x509_crt_set_key(crt, key);
    if (gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0) < 0)
        throw std::runtime_error("certificate signing failed");
    auto write = [](const fs::path& path, auto exporter, auto object) {
        gnutls_datum_t out{};
        if (exporter(object, GNUTLS_X509_FMT_PEM, &out) < 0)
            throw std::runtime_error("export failed");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(out.data), out.size);
        gnutls_free(out.data);
    };
    write(certFile, gnutls_x509_crt_export2, crt);
    write(keyFile, gnutls_x509_privkey_export2, key);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnv, bool pipeStdin) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e)
        envStrings.emplace_back(*e);
    for (const auto& e : extraEnv)
        envStrings.push_back(e);
    std::vector<char*> env;
    for (auto& e : envStrings)
        env.push_back(e.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int fds[2] = {-1, -1};
    if (pipeStdin && ::pipe2(fds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        stdin_ = fds[1];
    }
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (fds[0] >= 0)
        ::close(fds[0]);
}

void ChildProcess::CloseStdin() {
    if (stdin_ >= 0) {
        ::close(stdin_);
        stdin_ = -1;
    }
}

ChildProcess::~ChildProcess() {
    Kill();
}

void ChildProcess::Kill() {
    CloseStdin();
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

int ChildProcess::Wait(int timeoutMs) {
    if (pid_ <= 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Kill();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int RunProgram(const std::vector<std::string>& argv, int timeoutMs,
               const std::vector<std::string>& extraEnv) {
    ChildProcess child(argv, extraEnv);
    return child.Wait(timeoutMs);
}

CountingListener::CountingListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("listener failed");
    port_ = ntohs(address.sin_port);
}

CountingListener::~CountingListener() {
    ::close(fd_);
}

int CountingListener::Accepted() {
    int count = 0;
    for (int fd; (fd = ::accept(fd_, nullptr, nullptr)) >= 0; ++count)
        ::close(fd);
    return count;
}

UpdateService::UpdateService() {
    fs::create_directories(release());
    fs::create_directories(published());
    MakeCertificate(caFile(), root_.path() / "key.pem");
}

UpdateService::~UpdateService() {
    Stop();
}

void UpdateService::Publish() {
    const int rc = RunProgram(
        {std::string(VTR_TOOLS_DIR) + "/publish", release().string(), published().string()});
    if (rc != 0)
        throw std::runtime_error("publish failed");
}

void UpdateService::Start(const std::string& fault) {
    Stop();
    const fs::path portFile = root_.path() / "port";
    fs::remove(portFile);
    std::vector<std::string> argv = {std::string(VTR_TOOLS_DIR) + "/update_server",
                                     "--release",
                                     release().string(),
                                     "--published",
                                     published().string(),
                                     "--cert",
                                     caFile().string(),
                                     "--key",
                                     (root_.path() / "key.pem").string(),
                                     "--port-file",
                                     portFile.string(),
                                     "--log",
                                     (root_.path() / "server.log").string()};
    if (!fault.empty()) {
        argv.push_back("--fault");
        argv.push_back(fault);
    }
    server_ = std::make_unique<ChildProcess>(argv);
    for (int i = 0; i < 500 && !fs::exists(portFile); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream(portFile) >> port_;
    if (port_ == 0)
        throw std::runtime_error("update server did not start");
}

void UpdateService::Stop() {
    server_.reset();
}

std::wstring UpdateService::Url() const {
    return L"https://127.0.0.1:" + std::to_wstring(port_) + L"/zelt/zelt.php";
}

std::vector<std::string> UpdateService::LogLines() const {
    std::vector<std::string> lines;
    std::ifstream in(root_.path() / "server.log");
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::vector<UpdateService::Block> UpdateService::Blocks() const {
    std::vector<Block> blocks;
    for (const auto& line : LogLines()) {
        if (line.rfind("block ", 0) != 0)
            continue;
        std::istringstream in(line.substr(6));
        int index = 0;
        Block block;
        in >> index >> block.name >> block.kind >> block.offset >> block.length;
        blocks.push_back(block);
    }
    return blocks;
}

int UpdateService::Requests() const {
    int count = 0;
    for (const auto& line : LogLines())
        count += line.rfind("request ", 0) == 0 ? 1 : 0;
    return count;
}

void UpdateService::ClearLog() {
    std::ofstream(root_.path() / "server.log", std::ios::trunc);
}

}  // namespace updatetest
