#pragma once
// The one error type of deployment. Only the acknowledgement's result field
// keeps the wire's own values (1 written, 0 not); the receiver maps to it
// when it replies, the sender maps every outcome to its console line.
#include "net/NetError.h"

namespace deploy {

enum class DeployError {
    None,        // success
    Channel,     // the channel failed or was closed: short read or write, closed inbox, no stream
    Oversize,    // a header announced more than this side can hold
    BadMessage,  // a header's size does not match its payload
    Closed,      // the channel was closed before a socket could be stored
    Source,      // the local file cannot be opened, read, or is not a regular file below 4 GiB
    Engine,      // signing, comparing, patching or (de)compression failed
    Target,      // the file to write cannot be created, written, flushed or renamed
    Refused,     // the peer acknowledged a failure
    Unauthenticated,  // the peer failed the shared-secret check
    Unverified,       // the bytes that came do not make the file the sender stated
};

inline bool Ok(DeployError error) {
    return error == DeployError::None;
}

// The socket library's failures as the channel's.
inline DeployError FromNet(net::NetError error) {
    return net::Ok(error) ? DeployError::None : DeployError::Channel;
}

}  // namespace deploy
