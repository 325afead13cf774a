// How a network connection failed, as the FTP client needs to tell it: the
// connection layers (plain TCP and TLS over it) throw TransportError, whose
// kind the client maps to its own words:
//
//   NameNotResolved, Refused -> cannot reach the server
//   LostOrTimedOut           -> the connection was lost or timed out
//   Security                 -> security (TLS, or the server's certificate)
//   Abandoned                -> the caller's own Abort: nothing went wrong
//   Other                    -> anything else
#pragma once

#include <stdexcept>
#include <string>

namespace kestrane {

enum class TransportFailure {
    NameNotResolved,  // the server's name does not resolve to any address
    Refused,          // no address of the server accepts a connection, or none can be reached
    LostOrTimedOut,   // the server did not answer in time, or the connection broke
    Security,         // the TLS handshake failed, or the server's certificate failed Kestrane's checks
    Abandoned,        // Abort was called on the connection
    Other,
};

// what() is a plain-words reason that names no password.
class TransportError : public std::runtime_error {
public:
    TransportError(TransportFailure kind, const std::string& reason) : std::runtime_error(reason), kind_(kind)
    {
    }
    TransportFailure Kind() const { return kind_; }

private:
    TransportFailure kind_;
};

}  // namespace kestrane
