#include "quic/HostCertificate.h"

#ifndef _WIN32
#include <arpa/inet.h>
#endif
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <type_traits>
#include <vector>

#include "http/Get.h"
#include "platform/Socket.h"
#include "platform/Text.h"

namespace quic {

namespace {

struct CrtDeleter {
    void operator()(gnutls_x509_crt_t crt) const { gnutls_x509_crt_deinit(crt); }
};
struct PrivateKeyDeleter {
    void operator()(gnutls_x509_privkey_t key) const { gnutls_x509_privkey_deinit(key); }
};
using Certificate = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CrtDeleter>;
using PrivateKey = std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, PrivateKeyDeleter>;

struct DatumDeleter {
    void operator()(gnutls_datum_t* datum) const { gnutls_free(datum->data); }
};

// Takes over an exported datum as text.
std::string TakeDatum(gnutls_datum_t& datum) {
    std::unique_ptr<gnutls_datum_t, DatumDeleter> owner(&datum);
    return std::string(reinterpret_cast<const char*>(datum.data), datum.size);
}

// The millisecond tick count since boot, wrapping like a 32-bit counter.
std::uint32_t TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

std::string AddressServiceUrl(std::string_view path) {
    std::string base = EnvironmentText("VTR_ADDRESS_URL");
    if (base.empty())
        base = kAddressServiceUrl;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base + std::string(path);
}

void Wipe(std::string& secret) {
    if (!secret.empty())
        ::gnutls_memset(secret.data(), 0, secret.size());
    secret.clear();
}

// A reply of the address service is arbitrary bytes; as in the conversion to
// wide text, invalid UTF-8 sequences become U+FFFD.
std::string ValidUtf8(std::string_view text) {
    return platform::ToUtf8(platform::FromUtf8(text));
}

// At most `limit` bytes, not splitting a character.
std::string Truncated(std::string text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

bool AddAlternativeName(gnutls_x509_crt_t crt, const std::string& name) {
    std::array<unsigned char, 16> address{};
    if (::inet_pton(AF_INET, name.c_str(), address.data()) == 1)
        return gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, address.data(), 4,
                                                    GNUTLS_FSAN_APPEND) == 0;
    if (::inet_pton(AF_INET6, name.c_str(), address.data()) == 1)
        return gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, address.data(), 16,
                                                    GNUTLS_FSAN_APPEND) == 0;
    // GnuTLS writes an empty DNS entry but cannot read the extension back
    // afterwards (nor can peers using it), so an empty name is left out.
    if (name.empty())
        return true;
    // A name GnuTLS refuses (invalid UTF-8, or not convertible to an
    // international domain name) is left out too: a stray reply of the
    // address service must not cost the server its certificate.
    gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, name.data(),
                                         static_cast<unsigned>(name.size()), GNUTLS_FSAN_APPEND);
    return true;
}

bool SetRandomSerial(gnutls_x509_crt_t crt) {
    std::array<unsigned char, 16> serial{};
    if (gnutls_rnd(GNUTLS_RND_NONCE, serial.data(), serial.size()) != 0)
        return false;
    // A positive number of full length.
    serial[0] = static_cast<unsigned char>((serial[0] & 0x7f) | 0x40);
    return gnutls_x509_crt_set_serial(crt, serial.data(), serial.size()) == 0;
}

// The certificate, signed with the key; empty on failure.
std::string SelfSignedCertificatePem(gnutls_x509_privkey_t key,
                                     std::span<const std::string> names) {
    gnutls_x509_crt_t raw = nullptr;
    if (gnutls_x509_crt_init(&raw) != 0)
        return {};
    Certificate crt(raw);
    if (gnutls_x509_crt_set_version(raw, 3) != 0 || !SetRandomSerial(raw))
        return {};
    // The name is set as a value, not parsed as a DN text, so a reply of the
    // address service cannot add attributes. GnuTLS refuses an empty common
    // name; the subject then stays empty.
    const std::string& first = names.front();
    if (!first.empty()) {
        const std::string commonName = Truncated(ValidUtf8(first), 253);
        if (gnutls_x509_crt_set_dn_by_oid(raw, GNUTLS_OID_X520_COMMON_NAME, 0, commonName.data(),
                                          static_cast<unsigned>(commonName.size())) != 0)
            return {};
    }
    for (const auto& name : names) {
        if (!AddAlternativeName(raw, name))
            return {};
    }
    const std::time_t now = std::time(nullptr);
    if (gnutls_x509_crt_set_key(raw, key) != 0 ||
        gnutls_x509_crt_set_activation_time(raw, now) != 0 ||
        gnutls_x509_crt_set_expiration_time(raw, now + 24 * 60 * 60) != 0 ||
        gnutls_x509_crt_sign2(raw, raw, key, GNUTLS_DIG_SHA256, 0) != 0)
        return {};
    gnutls_datum_t pem{};
    if (gnutls_x509_crt_export2(raw, GNUTLS_X509_FMT_PEM, &pem) != 0)
        return {};
    return TakeDatum(pem);
}

struct ProcessWide {
    std::mutex lock;  // guards instance
    std::shared_ptr<MARVOLENT_DYNAMIC_HOST_CERTIFICATE> instance;
};

// Destroyed at a normal exit, which removes the key of a certificate that
// nobody released.
ProcessWide& TheProcessWide() {
    static ProcessWide processWide;
    return processWide;
}

}  // namespace

HostCertificate::HostCertificate(std::wstring keyName, std::string privateKeyPem)
    : privateKeyPem(std::move(privateKeyPem)), keyName(std::move(keyName)) {}

HostCertificate::~HostCertificate() {
    Wipe(privateKeyPem);
}

std::string MARVOLENT_DYNAMIC_HOST_CERTIFICATE::GetPublicAddress(std::string_view path,
                                                                 std::string& cache) {
    std::lock_guard guard(lock_);
    if (!cache.empty())
        return cache;
    http::GetOptions options;
    options.userAgent = "Marvolent";
    options.caFile = EnvironmentText("VTR_ADDRESS_CA_FILE");
    const http::GetReply reply = http::Get(AddressServiceUrl(path), options);
    if (reply.status != http::Status::Ok || reply.body.empty())
        return {};
    std::string text(reply.body.begin(), reply.body.end());
    text.resize(std::min(text.size(), text.find('\0')));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    cache = std::move(text);
    return cache;
}

std::string MARVOLENT_DYNAMIC_HOST_CERTIFICATE::GetPublicAddressV4() {
    return GetPublicAddress("/ip.php", publicIpV4_);
}

std::string MARVOLENT_DYNAMIC_HOST_CERTIFICATE::GetPublicAddressV6() {
    return GetPublicAddress("/ip6.php", publicIpV6_);
}

std::string MARVOLENT_DYNAMIC_HOST_CERTIFICATE::GetLocalAddress() {
    std::lock_guard guard(lock_);
    if (!localAddress_.empty())
        return localAddress_;
    const platform::UniqueSocket probe(platform::OpenSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!probe)
        return {};
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(53);
    const std::string probeAddress(kRouteProbeAddress);
    if (::inet_pton(AF_INET, probeAddress.c_str(), &target.sin_addr) != 1)
        return {};
    // Without a route there is no local address: the result stays empty and
    // the next call tries again.
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)
        return {};
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET)
        return {};
    std::array<char, INET_ADDRSTRLEN> text{};
    if (::inet_ntop(AF_INET, &local.sin_addr, text.data(), text.size()) == nullptr)
        return {};
    localAddress_ = text.data();
    return localAddress_;
}

HostCredential MARVOLENT_DYNAMIC_HOST_CERTIFICATE::GetCertificate() {
    std::lock_guard guard(lock_);
    if (!certificate_)
        return {};
    return HostCredential{certificate_->certificatePem, certificate_->privateKeyPem};
}

void MARVOLENT_DYNAMIC_HOST_CERTIFICATE::Prepare() {
    // Each lookup takes the lock itself; callers of Prepare are serialised
    // by the process-wide lock.
    const std::array<std::string, 4> names = {GetPublicAddressV4(), GetPublicAddressV6(),
                                              GetLocalAddress(), "127.0.0.1"};
    std::lock_guard guard(lock_);
    if (!certificate_)
        certificate_ = CreateHostCertificate(names);
}

void MARVOLENT_DYNAMIC_HOST_CERTIFICATE::ReleaseCertificate() {
    std::lock_guard guard(lock_);
    certificate_.reset();
}

void PrepareHostCertificate() {
    auto& processWide = TheProcessWide();
    std::lock_guard guard(processWide.lock);
    if (!processWide.instance)
        processWide.instance = std::make_shared<MARVOLENT_DYNAMIC_HOST_CERTIFICATE>();
    processWide.instance->Prepare();
}

HostCredential GetCertificate() {
    auto& processWide = TheProcessWide();
    std::shared_ptr<MARVOLENT_DYNAMIC_HOST_CERTIFICATE> instance;
    {
        std::lock_guard guard(processWide.lock);
        instance = processWide.instance;
    }
    return instance ? instance->GetCertificate() : HostCredential{};
}

void ReleaseHostCertificate() {
    auto& processWide = TheProcessWide();
    std::lock_guard guard(processWide.lock);
    if (processWide.instance) {
        // Other holders may keep the object; the key goes now regardless.
        processWide.instance->ReleaseCertificate();
        processWide.instance.reset();
    }
}

std::unique_ptr<HostCertificate> CreateHostCertificate(std::span<const std::string> names) {
    return CreateHostCertificate(names, L"WebTransportKey_" + std::to_wstring(TickCount()));
}

std::unique_ptr<HostCertificate> CreateHostCertificate(std::span<const std::string> names,
                                                       std::wstring_view keyName) {
    if (names.empty())
        return nullptr;

    gnutls_x509_privkey_t rawKey = nullptr;
    if (gnutls_x509_privkey_init(&rawKey) != 0)
        return nullptr;
    PrivateKey key(rawKey);
    if (gnutls_x509_privkey_generate(rawKey, GNUTLS_PK_ECDSA,
                                     GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) != 0)
        return nullptr;
    gnutls_datum_t keyPem{};
    if (gnutls_x509_privkey_export2_pkcs8(rawKey, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN,
                                          &keyPem) != 0)
        return nullptr;
    std::string privateKeyPem = TakeDatum(keyPem);
    // The key lives in this record only: the QUIC layer loads it from
    // memory, so no file can outlive a run that is killed.
    auto record =
        std::make_unique<HostCertificate>(std::wstring(keyName), std::move(privateKeyPem));
    record->certificatePem = SelfSignedCertificatePem(rawKey, names);
    if (record->certificatePem.empty())
        return nullptr;
    return record;
}

}  // namespace quic
