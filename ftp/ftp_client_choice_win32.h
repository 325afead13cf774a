// Which FTP client serves a location: WinINet for plain FTP, as ever, and
// Kestrane's own client over Schannel for FTP over TLS, which WinINet lacks.
// The program and kestrane-location's check choose alike.
#pragma once

#include "common/clock.h"
#include "common/job_window.h"
#include "common/local_files.h"
#include "ftp/ftp_client.h"
#include "net/server_certificate.h"
#include "settings/location_settings.h"

#include <memory>

namespace kestrane {

// The client for settings that LoadLocationSettings accepted. Over TLS,
// observer, when given, is told of every server certificate checked.
std::unique_ptr<FtpClient> MakeFtpClientFor(const LocationSettings& settings, MessagePump& pump,
                                            LocalFiles& files, Clock& clock,
                                            CertificateObserver observer = {});

}  // namespace kestrane
