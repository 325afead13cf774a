// Kestrane's own checks of an FTP server's TLS certificate, the parts that
// are the same on every platform: what a location asks of the certificate,
// what the check tool prints about it, and the plain words of each failure.
//
// A location with pins accepts only a certificate whose SHA-256 fingerprint
// (over its DER bytes) is one of them, whoever issued it and whatever names
// it holds. A location without pins accepts a certificate that Windows trusts
// and that names the host of the location's settings.
#pragma once

#include "settings/certificate_pins.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrane {

struct CertificateReport;
// Told of each server certificate as it is checked, accepted or refused,
// on the thread that checks it.
using CertificateObserver = std::function<void(const CertificateReport&)>;

struct CertificatePolicy {
    // The FTP host of the settings, the name every connection checks,
    // control and data alike, whatever address a data connection goes to.
    std::string host;
    std::vector<Sha256Fingerprint> pins;
    // Told of the certificate, when given; the check tool prints it.
    CertificateObserver observer;
};

bool IsPinned(const Sha256Fingerprint& fingerprint, const std::vector<Sha256Fingerprint>& pins);

enum class CertificateVerdict {
    Pinned,            // its fingerprint is one of the location's pins
    TrustedByWindows,  // Windows trusts its chain, and it names the host
    Refused,           // it failed the checks: the connection's error says why
};

// A certificate that was checked, as the check tool prints it.
struct CertificateReport {
    std::string subject;    // e.g. "CN=ftp.example.com, O=Example"
    std::string notBefore;  // "YYYY-MM-DD hh:mm:ss UTC"
    std::string notAfter;
    Sha256Fingerprint fingerprint{};
    CertificateVerdict verdict = CertificateVerdict::TrustedByWindows;
};

// The report as lines for an administrator, e.g.
//   Server certificate: CN=ftp.example.com
//   Valid from 2026-01-01 00:00:00 UTC to 2027-01-01 00:00:00 UTC
//   SHA-256 fingerprint: AB:CD:...
//   Accepted because Windows trusts it and it names ftp.example.com
// A refused one ends with how to pin it, for an administrator who knows it
// to be the server's.
std::vector<std::string> DescribeCertificate(const CertificateReport& report, std::string_view host);

// The reasons a certificate is refused, in plain words.
std::string PinMismatchReason(const Sha256Fingerprint& fingerprint);
std::string UntrustedReason(std::string_view systemText);
std::string NameMismatchReason(std::string_view host);
std::string RevokedReason();
std::string ChangedCertificateReason(const Sha256Fingerprint& fingerprint);

}  // namespace kestrane
