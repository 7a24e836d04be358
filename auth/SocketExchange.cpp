#include "auth/SocketExchange.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace auth {

namespace {

using Clock = std::chrono::steady_clock;

// Sends what the exchange has due in one call; false when it did not all go.
bool SendDue(int descriptor, Exchange& exchange) {
    const std::vector<std::uint8_t> due = exchange.TakeOutgoing();
    if (due.empty())
        return true;
    ssize_t sent;
    do {
        sent = ::send(descriptor, due.data(), due.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(due.size());
}

// Reads what has arrived, up to what the exchange wants, and returns how
// many bytes it took; -1 when the connection ended or failed.
long ReceiveSome(int descriptor, Exchange& exchange) {
    std::array<std::uint8_t, kChallengeSize> buffer{};
    long taken = 0;
    while (exchange.Wanted() > 0) {
        const ssize_t got = ::recv(descriptor, buffer.data(), exchange.Wanted(), MSG_DONTWAIT);
        if (got > 0) {
            exchange.Feed(std::span(buffer.data(), static_cast<std::size_t>(got)));
            taken += got;
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return taken;
        return -1;
    }
    return taken;
}

}  // namespace

void StepOnSocket(int descriptor, Exchange& exchange) {
    for (;;) {
        if (!SendDue(descriptor, exchange)) {
            exchange.Fail(AuthError::Closed);
            return;
        }
        if (exchange.Done())
            return;
        const long taken = ReceiveSome(descriptor, exchange);
        if (taken < 0) {
            exchange.Fail(AuthError::Closed);
            return;
        }
        // Nothing arrived: wait for more. Otherwise an answer may be due.
        if (taken == 0)
            return;
    }
}

AuthError RunOnSocket(int descriptor, Exchange& exchange, Clock::time_point deadline) {
    for (;;) {
        StepOnSocket(descriptor, exchange);
        if (exchange.Done())
            return exchange.Error();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            exchange.Fail(AuthError::Timeout);
            return exchange.Error();
        }
        pollfd wait{descriptor, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            exchange.Fail(AuthError::Closed);
            return exchange.Error();
        }
    }
}

}  // namespace auth
