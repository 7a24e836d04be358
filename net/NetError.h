#pragma once
// The one error type of the socket library and the relay. Byte counts of the
// single-call Send/Receive stay counts; everything else that can fail says
// how with one of these.
namespace net {

enum class NetError {
    None,         // success
    NoSocket,     // the value holds no socket, or the system gave none
    BadArgument,  // empty or overlong host name, port out of range
    Resolve,      // the host name did not resolve
    Connect,      // no resolved address took the connection
    Bind,         // the port could not be bound
    Closed,       // the connection ended before every byte went or came
    Oversize,     // a peer announced more than the reader accepts
    Thread,       // the system refused a thread
    Refused,      // the peer failed the shared-secret check (AuthGate.h)
};

inline bool Ok(NetError error) {
    return error == NetError::None;
}

}  // namespace net
