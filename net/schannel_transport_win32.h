// The transport of Kestrane's own FTP client on Windows: Winsock connections
// (net/tcp_connection_win32.h) that switch to TLS through Schannel
// (net/tls_connection_win32.h), the server's certificate checked against the
// location's pins, or by Windows and the host name where there are none.
#pragma once

#include "net/byte_stream.h"
#include "net/server_certificate.h"
#include "settings/certificate_pins.h"

#include <memory>
#include <vector>

namespace kestrane::win32 {

// A transport for one FTP session. Its connections share one set of
// Schannel credentials, so that a data connection can resume the control
// connection's TLS session; Abort ends every one of them, and every
// connection asked for afterwards. observer, when given, is told of every
// certificate checked.
std::shared_ptr<Transport> MakeSchannelTransport(std::vector<Sha256Fingerprint> pins,
                                                 CertificateObserver observer = {});

}  // namespace kestrane::win32
