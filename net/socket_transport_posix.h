// A transport over POSIX sockets, for the native build: Kestrane's own FTP
// client against real FTP servers on this machine. Plain TCP only: it has
// no TLS, and StartTls fails as a security failure.
#pragma once

#include "net/byte_stream.h"

#include <memory>

namespace kestrane {

std::shared_ptr<Transport> MakeSocketTransport();

}  // namespace kestrane
