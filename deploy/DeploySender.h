#pragma once
// The server side of RemoteSync: the deployment table, the RemoteSync thread
// and the sender that the `deploy` command runs on the console thread.
#include <string>
#include <vector>

#include "deploy/DeployChannel.h"

namespace deploy {

// One entry per "local,remote" text, split at the first comma, nothing
// trimmed; texts without a comma are skipped.
std::vector<DeployEntry> BuildTable(const std::vector<std::wstring>& files);

// Body of the RemoteSync thread. `filesCopy` is the thread's own copy of the
// file list, so that the `file` command cannot race the table. Over TCP it
// then serves the channel (ServeRemoteSyncChannel).
void RunRemoteSyncServer(DeployChannel& server, std::vector<std::wstring> filesCopy, bool quic,
                         int port1);

// The TCP side of the server's channel: listens on port1 (dual stack,
// backlog 3; port 0 picks a free port, see DeployChannel::ListeningPort) and
// accepts exactly one connection (with a secret: the first that passes the
// exchange, see net/AuthGate.h); returns once that is stored or the channel
// was closed.
void ServeRemoteSyncChannel(DeployChannel& server, int port1);

// One deployment run over the channel: one console line per table entry,
// "Local: <local> to <remote>... " followed by
// "Uploading <n> -> <c> bytes... Done\r\n" or "Patch <n> -> <c> bytes... Done\r\n",
// or "Failed\r\n" at the point where the entry failed. A patch whose rebuilt
// file the client could not verify is followed, on the same line, by
// "Patch did not verify, uploading whole... " and the whole file's part.
void RunSender(DeployChannel& server, bool quic);

}  // namespace deploy
