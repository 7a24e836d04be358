#pragma once
// Handles that QUIC callback threads publish for the shell, which polls them.
// Each is one atomic word; null means "none".
#include <atomic>

#include "quic/api/msquic_api.h"

namespace quic {

// Set once the server's listener has started.
extern std::atomic<HQUIC> serverListener;
// The connection the server accepted last; cleared when an accepted
// connection's shutdown completes.
extern std::atomic<HQUIC> serverConnection;
// The client's connection: set when opened and again when connected, cleared
// when its shutdown completes.
extern std::atomic<HQUIC> clientConnection;
// The first stream the server started on the client's connection.
extern std::atomic<HQUIC> clientControlStream;
// The stream the server opened for deployment; never cleared, so a server
// serves one client connection per run.
extern std::atomic<HQUIC> serverControlStream;

}  // namespace quic
