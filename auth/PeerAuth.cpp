#include "auth/PeerAuth.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <array>
#include <utility>

namespace auth {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'V', 'T', 'R', 'A', 'U', 'T', 'H', '1'};
constexpr std::string_view kServerLabel = "vtr232 server proof";
constexpr std::string_view kClientLabel = "vtr232 client proof";

bool RandomBytes(std::vector<std::uint8_t>& out) {
    out.resize(kNonceSize);
    return gnutls_rnd(GNUTLS_RND_RANDOM, out.data(), out.size()) == 0;
}

// Equal without a timing that tells how many leading bytes matched.
bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (a.size() != b.size())
        return false;
    volatile std::uint8_t difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference = static_cast<std::uint8_t>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

}  // namespace

std::wstring FailureLine(std::wstring_view peer, AuthError error) {
    const auto reason = [&]() -> std::wstring_view {
        switch (error) {
            case AuthError::Refused:
                return L"wrong secret";
            case AuthError::Protocol:
                return L"not an authentication request";
            case AuthError::Timeout:
                return L"no proof in time";
            case AuthError::Closed:
                return L"connection closed";
            default:
                return L"internal error";
        }
    };
    std::wstring line = L"Authentication failed: ";
    line += peer;
    line += L" (";
    line += reason();
    line += L")\r\n";
    return line;
}

// ---------------------------------------------------------------- Secret

Secret::Secret(std::string_view text) : bytes_(text.begin(), text.end()) {}

Secret::~Secret() {
    Wipe();
}

Secret::Secret(const Secret& other) : bytes_(other.bytes_) {}

Secret& Secret::operator=(const Secret& other) {
    if (this != &other) {
        Wipe();
        bytes_ = other.bytes_;
    }
    return *this;
}

Secret::Secret(Secret&& other) noexcept : bytes_(std::move(other.bytes_)) {
    other.bytes_.clear();
}

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        Wipe();
        bytes_ = std::move(other.bytes_);
        other.bytes_.clear();
    }
    return *this;
}

void Secret::Wipe() {
    if (!bytes_.empty())
        gnutls_memset(bytes_.data(), 0, bytes_.size());
    bytes_.clear();
}

// ---------------------------------------------------------------- Exchange

std::vector<std::uint8_t> ChannelBinding(std::string_view channel) {
    return {channel.begin(), channel.end()};
}

Exchange::Exchange(Role role, const Secret& secret, std::span<const std::uint8_t> binding)
    : role_(role), secret_(secret), binding_(binding.begin(), binding.end()) {
    if (secret_.Empty()) {
        error_ = AuthError::Crypto;
        return;
    }
    if (role_ == Role::Client) {
        if (!RandomBytes(clientNonce_)) {
            error_ = AuthError::Crypto;
            return;
        }
        outgoing_.assign(kMagic.begin(), kMagic.end());
        outgoing_.insert(outgoing_.end(), clientNonce_.begin(), clientNonce_.end());
        expected_ = kChallengeSize;
    } else {
        expected_ = kHelloSize;
    }
}

namespace {

// The proof of one side over both nonces and the binding; empty on failure.
std::vector<std::uint8_t> Proof(const Secret& secret, std::string_view label,
                                std::span<const std::uint8_t> binding,
                                std::span<const std::uint8_t> clientNonce,
                                std::span<const std::uint8_t> serverNonce) {
    std::vector<std::uint8_t> text(label.begin(), label.end());
    text.push_back(0);
    const auto length = static_cast<std::uint32_t>(binding.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        text.push_back(static_cast<std::uint8_t>(length >> shift));
    text.insert(text.end(), binding.begin(), binding.end());
    text.insert(text.end(), clientNonce.begin(), clientNonce.end());
    text.insert(text.end(), serverNonce.begin(), serverNonce.end());
    std::vector<std::uint8_t> digest(kProofSize);
    const auto key = secret.Bytes();
    if (gnutls_hmac_fast(GNUTLS_MAC_SHA256, key.data(), key.size(), text.data(), text.size(),
                         digest.data()) != 0)
        return {};
    return digest;
}

}  // namespace

std::vector<std::uint8_t> Exchange::TakeOutgoing() {
    return std::exchange(outgoing_, {});
}

std::size_t Exchange::Wanted() const {
    return Done() ? 0 : expected_ - incoming_.size();
}

std::size_t Exchange::Feed(std::span<const std::uint8_t> bytes) {
    const std::size_t take = std::min(bytes.size(), Wanted());
    incoming_.insert(incoming_.end(), bytes.begin(), bytes.begin() + static_cast<long>(take));
    if (take > 0 && incoming_.size() == expected_)
        OnMessage();
    return take;
}

void Exchange::Fail(AuthError error) {
    if (Done() && !passed_)
        return;
    passed_ = false;
    outgoing_.clear();
    error_ = error;
}

void Exchange::OnMessage() {
    const std::span<const std::uint8_t> message = incoming_;
    const auto magicMatches = [&] {
        return std::equal(kMagic.begin(), kMagic.end(), message.begin());
    };
    if (role_ == Role::Client) {
        // The challenge: the server's nonce and its proof.
        if (!magicMatches()) {
            Fail(AuthError::Protocol);
            return;
        }
        serverNonce_.assign(message.begin() + 8, message.begin() + 8 + kNonceSize);
        const auto expected = Proof(secret_, kServerLabel, binding_, clientNonce_, serverNonce_);
        const auto mine = Proof(secret_, kClientLabel, binding_, clientNonce_, serverNonce_);
        if (expected.empty() || mine.empty()) {
            Fail(AuthError::Crypto);
            return;
        }
        // This side's proof goes out either way: a server that knows the
        // secret then learns that this client's secret differs.
        outgoing_ = mine;
        if (!SameBytes(expected, message.subspan(8 + kNonceSize))) {
            error_ = AuthError::Refused;
            return;
        }
        passed_ = true;
    } else if (clientNonce_.empty()) {
        // The hello: answer with this side's nonce and proof.
        if (!magicMatches()) {
            Fail(AuthError::Protocol);
            return;
        }
        clientNonce_.assign(message.begin() + 8, message.end());
        const auto proof = RandomBytes(serverNonce_)
                               ? Proof(secret_, kServerLabel, binding_, clientNonce_, serverNonce_)
                               : std::vector<std::uint8_t>{};
        if (proof.empty()) {
            Fail(AuthError::Crypto);
            return;
        }
        outgoing_.assign(kMagic.begin(), kMagic.end());
        outgoing_.insert(outgoing_.end(), serverNonce_.begin(), serverNonce_.end());
        outgoing_.insert(outgoing_.end(), proof.begin(), proof.end());
        incoming_.clear();
        expected_ = kProofSize;
    } else {
        // The client's proof.
        const auto expected = Proof(secret_, kClientLabel, binding_, clientNonce_, serverNonce_);
        if (expected.empty()) {
            Fail(AuthError::Crypto);
            return;
        }
        if (!SameBytes(expected, message)) {
            Fail(AuthError::Refused);
            return;
        }
        passed_ = true;
    }
}

}  // namespace auth
