#pragma once
// The client side of RemoteSync: answers signature requests and writes the
// files that arrive whole or as patches. Runs on the client's receiver
// thread, over TCP or over the QUIC control stream's inbox.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "deploy/DeployChannel.h"

namespace deploy {

// Handles messages until a read fails, then returns. Console trace:
// "Requested signature for <path>... ", then " Writing ... \r\n" or
// " Patching ... \r\n".
void RunReceiver(DeployChannel& client, bool quic);

// Body of the client's TCP receiver thread (-d host:port): connects an
// AF_INET6 socket by name and runs the receiver. When it cannot connect it
// shows "ZADAZ Client: Could not connect to Remote Sync Server". With the
// channel's secret, the server must pass the exchange first, or nothing is
// received (Unauthenticated). Either way it returns; stopping the monitor
// and ending the process is the caller's (the shell's) job.
DeployError RunTcpReceiverThread(DeployChannel& client, const std::string& host, int port);

// Replaces `target` with `content` without ever losing the old file: the
// bytes go to a fresh file beside it (".<name>.vtrXXXXXX"), are flushed, and
// the fresh file is renamed over the target only then. An existing target's
// permission bits are kept, without setuid, setgid and sticky. fileTime (FILETIME, 100 ns since
// 1601), when not 0, becomes the last-write time. Missing parent directories are created. Target
// when anything of it fails.
DeployError ReplaceFileContents(const std::filesystem::path& target,
                                std::span<const std::uint8_t> content, std::uint64_t fileTime = 0);

}  // namespace deploy
