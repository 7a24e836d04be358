#pragma once
// The per-run host certificate of the QUIC server and the discovery of the
// addresses it names. At every start in QUIC mode a fresh ECDSA P-256 key and
// a self-signed certificate for the machine's addresses, valid for 24 hours,
// are made and kept in memory only: the QUIC layer loads them from memory,
// so nothing is written that a killed run could leave behind.
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace quic {

// The maker's address service; it answers "/ip.php" and "/ip6.php" with the
// caller's address as plain text. VTR_ADDRESS_URL replaces this base URL and
// VTR_ADDRESS_CA_FILE names the certificates it is trusted with (for tests).
inline constexpr std::string_view kAddressServiceUrl = "https://addr.vantora.net";
// Any public IPv4 address: connecting a UDP socket to it sends nothing and
// only selects the default route.
inline constexpr std::string_view kRouteProbeAddress = "8.8.8.8";

// What the QUIC layer loads: the certificate and its private key as PEM text;
// both empty when there is no certificate.
struct HostCredential {
    std::string certificatePem;
    std::string privateKeyPem;
    bool Empty() const { return certificatePem.empty() || privateKeyPem.empty(); }
};

// The created certificate and its key; destroying the record wipes the key.
struct HostCertificate {
    HostCertificate(std::wstring keyName, std::string privateKeyPem);
    ~HostCertificate();
    HostCertificate(const HostCertificate&) = delete;
    HostCertificate& operator=(const HostCertificate&) = delete;

    std::string certificatePem;
    std::string privateKeyPem;
    std::wstring keyName;  // "WebTransportKey_" and a decimal number
};

// Holds the discovery caches and the certificate; one per process, reached
// through the free functions below. Every member takes the object's lock
// for itself; none calls another while holding it.
class MARVOLENT_DYNAMIC_HOST_CERTIFICATE {
  public:
    std::string GetPublicAddressV4();
    std::string GetPublicAddressV6();
    std::string GetLocalAddress();
    HostCredential GetCertificate();

    // Discovery, then the certificate for the four names unless one exists.
    void Prepare();
    // Drops the certificate, which removes its key from the store.
    void ReleaseCertificate();

  private:
    std::string GetPublicAddress(std::string_view path, std::string& cache);

    std::mutex lock_;  // guards publicIpV4_, localAddress_, publicIpV6_, certificate_
    std::string publicIpV4_;
    std::string localAddress_;
    std::string publicIpV6_;
    std::unique_ptr<HostCertificate> certificate_;
};

// Creates the process-wide object if needed, runs the discovery and creates
// the certificate once.
void PrepareHostCertificate();
// The process-wide certificate; empty when there is none.
HostCredential GetCertificate();
// Drops the per-run key now; every exit path the shell controls calls it.
// Afterwards GetCertificate is empty until PrepareHostCertificate runs again.
void ReleaseHostCertificate();

// A new key and a self-signed certificate: subject
// CN = the first name, one alternative name per name in order (an IP entry
// for an IPv4 or IPv6 address text, a DNS entry otherwise; empty names are
// left out), valid from now for exactly 24 hours. Null on any failure.
// The key is named "WebTransportKey_" and the millisecond tick count.
std::unique_ptr<HostCertificate> CreateHostCertificate(std::span<const std::string> names);
// The same with a given key name.
std::unique_ptr<HostCertificate> CreateHostCertificate(std::span<const std::string> names,
                                                       std::wstring_view keyName);

}  // namespace quic
