#include "ftp/ftp_client_choice_win32.h"

#include "ftp/stream_ftp_client.h"
#include "ftp/wininet_ftp_client_win32.h"
#include "net/schannel_transport_win32.h"
#include "settings/certificate_pins.h"

namespace kestrane {

std::unique_ptr<FtpClient> MakeFtpClientFor(const LocationSettings& settings, MessagePump& pump,
                                            LocalFiles& files, Clock& clock, CertificateObserver observer)
{
    const FtpTls tls = SplitHostAndPort(settings.host).value().tls;
    if (tls == FtpTls::None) {
        return MakeWinInetFtpClient(pump, files, clock);
    }
    // Each FTP session gets a transport of its own: its connections share
    // one set of TLS credentials, and checks the certificate by the pins.
    std::vector<Sha256Fingerprint> pins = ParseCertificatePins(settings.pins).value();
    return MakeStreamFtpClient([pins, observer] { return win32::MakeSchannelTransport(pins, observer); }, tls,
                               pump, files, clock);
}

}  // namespace kestrane
