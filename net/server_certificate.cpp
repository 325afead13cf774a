#include "net/server_certificate.h"

#include <algorithm>

namespace kestrane {

bool IsPinned(const Sha256Fingerprint& fingerprint, const std::vector<Sha256Fingerprint>& pins)
{
    return std::find(pins.begin(), pins.end(), fingerprint) != pins.end();
}

std::vector<std::string> DescribeCertificate(const CertificateReport& report, std::string_view host)
{
    std::string verdict;
    switch (report.verdict) {
    case CertificateVerdict::Pinned:
        verdict = "Accepted because this location's settings pin it";
        break;
    case CertificateVerdict::TrustedByWindows:
        verdict = "Accepted because Windows trusts it and it names " + std::string(host);
        break;
    case CertificateVerdict::Refused:
        verdict =
            "Refused. If this is the server's own certificate, pin it: kestrane-location write ... --pin "
            + FingerprintText(report.fingerprint);
        break;
    }
    return {
        "Server certificate: " + report.subject,
        "Valid from " + report.notBefore + " to " + report.notAfter,
        "SHA-256 fingerprint: " + FingerprintText(report.fingerprint),
        std::move(verdict),
    };
}

std::string PinMismatchReason(const Sha256Fingerprint& fingerprint)
{
    return "the server's certificate is not the one this location's settings pin (its SHA-256 fingerprint is "
           + FingerprintText(fingerprint) + ")";
}

std::string UntrustedReason(std::string_view systemText)
{
    return "Windows does not trust the server's certificate: " + std::string(systemText);
}

std::string NameMismatchReason(std::string_view host)
{
    return "the server's certificate does not name " + std::string(host);
}

std::string RevokedReason()
{
    return "the server's certificate has been revoked by its issuer";
}

std::string ChangedCertificateReason(const Sha256Fingerprint& fingerprint)
{
    return "the server presented another certificate during the connection (its SHA-256 fingerprint is "
           + FingerprintText(fingerprint) + ")";
}

}  // namespace kestrane
