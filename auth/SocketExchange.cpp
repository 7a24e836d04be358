#include "auth/SocketExchange.h"

#include <array>
#include <cstdint>
#include <vector>

#include "platform/SocketPoll.h"

namespace auth {

namespace {

using Clock = std::chrono::steady_clock;
using platform::LastSocketError;
using platform::SocketError;
using platform::SocketHandle;

// Sends what the exchange has due in one call; false when it did not all go.
bool SendDue(SocketHandle socket, Exchange& exchange) {
    const std::vector<std::uint8_t> due = exchange.TakeOutgoing();
    if (due.empty())
        return true;
    long sent;
    do {
        sent = platform::SendBytes(socket, due.data(), due.size(), false);
    } while (sent < 0 && LastSocketError() == SocketError::Interrupted);
    return sent == static_cast<long>(due.size());
}

// Reads what has arrived, up to what the exchange wants, and returns how
// many bytes it took; -1 when the connection ended or failed.
long ReceiveSome(SocketHandle socket, Exchange& exchange) {
    std::array<std::uint8_t, kChallengeSize> buffer{};
    long taken = 0;
    while (exchange.Wanted() > 0) {
        const long got = platform::ReceiveBytes(socket, buffer.data(), exchange.Wanted(), false);
        if (got > 0) {
            exchange.Feed(std::span(buffer.data(), static_cast<std::size_t>(got)));
            taken += got;
            continue;
        }
        const SocketError error = got < 0 ? LastSocketError() : SocketError::None;
        if (error == SocketError::WouldBlock || error == SocketError::Interrupted)
            return taken;
        return -1;
    }
    return taken;
}

}  // namespace

void StepOnSocket(SocketHandle descriptor, Exchange& exchange) {
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

AuthError RunOnSocket(SocketHandle descriptor, Exchange& exchange, Clock::time_point deadline) {
    for (;;) {
        StepOnSocket(descriptor, exchange);
        if (exchange.Done())
            return exchange.Error();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            exchange.Fail(AuthError::Timeout);
            return exchange.Error();
        }
        platform::PollEntry wait = platform::MakePollEntry(descriptor, platform::kPollIn);
        if (platform::PollSockets(std::span(&wait, 1), static_cast<int>(left.count())) < 0) {
            exchange.Fail(AuthError::Closed);
            return exchange.Error();
        }
    }
}

}  // namespace auth
