#include "quic/PublishedHandles.h"

namespace quic {

std::atomic<HQUIC> serverListener{nullptr};
std::atomic<HQUIC> serverConnection{nullptr};
std::atomic<HQUIC> clientConnection{nullptr};
std::atomic<HQUIC> clientControlStream{nullptr};
std::atomic<HQUIC> serverControlStream{nullptr};

}  // namespace quic
