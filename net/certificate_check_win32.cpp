// The chain's parameters carry a time limit for fetching revocation lists
// only when this is defined before wincrypt.h.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "net/certificate_check_win32.h"

#include "net/transport_error.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kestrane::win32 {
namespace {

// How long Windows may spend fetching revocation lists for one chain; past it
// the revocation is unknown, which is let pass.
constexpr DWORD kRevocationFetchMilliseconds = 15'000;

void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm)
{
    static_cast<void>(::BCryptCloseAlgorithmProvider(algorithm, 0));
}
using UniqueAlgorithm = UniqueHandle<BCRYPT_ALG_HANDLE, CloseAlgorithm>;
using UniqueHash = UniqueHandle<BCRYPT_HASH_HANDLE, ::BCryptDestroyHash>;

void CheckStatus(NTSTATUS status, const char* call)
{
    if (status < 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
        throw TransportError(TransportFailure::Other, std::string(call) + " failed with status " + code);
    }
}

std::string TimeText(const FILETIME& time)
{
    SYSTEMTIME utc{};
    ThrowLastErrorIf(!::FileTimeToSystemTime(&time, &utc), "FileTimeToSystemTime");
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", utc.wYear, utc.wMonth, utc.wDay,
                  utc.wHour, utc.wMinute, utc.wSecond);
    return text;
}

std::string SubjectText(PCCERT_CONTEXT certificate)
{
    CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    const DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, subject, type, nullptr, 0);
    // The length counts the closing null: 1 for an empty name.
    if (length <= 1) {
        return "(no subject)";
    }
    std::wstring text(length, L'\0');
    if (::CertNameToStrW(X509_ASN_ENCODING, subject, type, text.data(), length) != length) {
        return "(no subject)";
    }
    text.resize(length - 1);
    return Narrow(text);
}

[[noreturn]] void Refuse(const std::string& reason)
{
    throw TransportError(TransportFailure::Security, reason);
}

using UniqueLocalMemory = UniqueHandle<void*, ::LocalFree>;

// Whether host is an IP address that the certificate names among its
// alternative names. Windows' SSL policy may match an address only against
// names (Wine's does): an address the certificate holds must not count as
// another's name.
bool NamesAddress(PCCERT_CONTEXT certificate, const std::string& host)
{
    std::uint8_t address[16] = {};
    std::size_t length = 0;
    if (::InetPtonA(AF_INET, host.c_str(), address) == 1) {
        length = 4;
    } else if (::InetPtonA(AF_INET6, host.c_str(), address) == 1) {
        length = 16;
    } else {
        return false;
    }
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* names =
        ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (names == nullptr) {
        return false;
    }
    UniqueLocalMemory decoded;
    DWORD size = 0;
    if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, names->Value.pbData,
                               names->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, decoded.Put(), &size)) {
        return false;
    }
    const auto* alternatives = static_cast<const CERT_ALT_NAME_INFO*>(decoded.Get());
    for (DWORD i = 0; i < alternatives->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = alternatives->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == length
            && std::memcmp(entry.IPAddress.pbData, address, length) == 0) {
            return true;
        }
    }
    return false;
}

// The chain's error in words an administrator can act on, with the system's
// own description when it has one.
std::string ChainErrorText(DWORD code)
{
    static constexpr struct {
        HRESULT code;
        const char* words;
    } kKnown[] = {
        {CERT_E_UNTRUSTEDROOT, "it comes from an authority that Windows does not trust (a self-signed "
                               "certificate, for one)"},
        {CERT_E_CHAINING, "it does not lead to an authority that Windows knows"},
        {CERT_E_EXPIRED, "it has expired, or is not valid yet"},
        {CERT_E_WRONG_USAGE, "it is not meant for a server"},
        {TRUST_E_CERT_SIGNATURE, "its signature is not valid"},
    };
    char number[24];
    std::snprintf(number, sizeof number, "error 0x%08lX", static_cast<unsigned long>(code));
    std::string system = SystemErrorText(code);
    // Without a description the text is the code alone, in decimal.
    system = system.rfind("error ", 0) == 0 ? number : system;
    for (const auto& known : kKnown) {
        if (static_cast<HRESULT>(code) == known.code) {
            return std::string(known.words) + " (" + system + ")";
        }
    }
    return system;
}

// Windows' verdict on the certificate for host; returns when it is trusted.
void CheckTrustAndName(PCCERT_CONTEXT certificate, const std::string& host)
{
    LPSTR serverUse[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = serverUse;
    chainPara.dwUrlRetrievalTimeout = kRevocationFetchMilliseconds;
    UniqueCertificateChain chain;
    // The certificate's own store holds the intermediate certificates the server sent.
    ThrowLastErrorIf(
        !::CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara,
                                   CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT
                                       | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                                   nullptr, chain.Put()),
        [](DWORD code) {
            return TransportError(TransportFailure::Security,
                                  UntrustedReason("its chain could not be built: " + SystemErrorText(code)));
        });
    if ((chain.Get()->TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED) != 0) {
        Refuse(RevokedReason());
    }

    std::wstring serverName = Widen(host);
    const auto verify = [&](DWORD checks) {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = checks;
        ssl.pwszServerName = serverName.data();
        CERT_CHAIN_POLICY_PARA policyPara{};
        policyPara.cbSize = sizeof policyPara;
        // Offline, the revocation of the chain is unknown: that alone refuses nothing.
        policyPara.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
        policyPara.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status{};
        status.cbSize = sizeof status;
        ThrowLastErrorIf(
            !::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.Get(), &policyPara, &status),
            [](DWORD code) {
                return TransportError(
                    TransportFailure::Security,
                    UntrustedReason("its chain could not be checked: " + SystemErrorText(code)));
            });
        return static_cast<HRESULT>(status.dwError);
    };
    HRESULT error = verify(0);
    if (error == CERT_E_CN_NO_MATCH && NamesAddress(certificate, host)) {
        // The name was the address, which the certificate holds: all else is
        // checked again without the names.
        error = verify(SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
    }
    switch (error) {
    case S_OK:
        return;
    case CERT_E_CN_NO_MATCH:
        Refuse(NameMismatchReason(host));
    case CRYPT_E_REVOKED:
        Refuse(RevokedReason());
    default:
        Refuse(UntrustedReason(ChainErrorText(static_cast<DWORD>(error))));
    }
}

}  // namespace

Sha256Fingerprint CertificateFingerprint(PCCERT_CONTEXT certificate)
{
    UniqueAlgorithm algorithm;
    CheckStatus(::BCryptOpenAlgorithmProvider(algorithm.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0),
                "BCryptOpenAlgorithmProvider");
    // Windows Vista wants the hash object's memory from its caller.
    DWORD objectSize = 0;
    ULONG written = 0;
    CheckStatus(::BCryptGetProperty(algorithm.Get(), BCRYPT_OBJECT_LENGTH,
                                    reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize, &written, 0),
                "BCryptGetProperty");
    std::vector<UCHAR> object(objectSize);
    UniqueHash hash;
    CheckStatus(::BCryptCreateHash(algorithm.Get(), hash.Put(), object.data(), objectSize, nullptr, 0, 0),
                "BCryptCreateHash");
    CheckStatus(::BCryptHashData(hash.Get(), certificate->pbCertEncoded, certificate->cbCertEncoded, 0),
                "BCryptHashData");
    Sha256Fingerprint fingerprint{};
    CheckStatus(::BCryptFinishHash(hash.Get(), fingerprint.data(), static_cast<ULONG>(fingerprint.size()), 0),
                "BCryptFinishHash");
    return fingerprint;
}

CertificateReport DescribeServerCertificate(PCCERT_CONTEXT certificate)
{
    CertificateReport report;
    report.subject = SubjectText(certificate);
    report.notBefore = TimeText(certificate->pCertInfo->NotBefore);
    report.notAfter = TimeText(certificate->pCertInfo->NotAfter);
    report.fingerprint = CertificateFingerprint(certificate);
    return report;
}

CertificateReport CheckServerCertificate(PCCERT_CONTEXT certificate, const CertificatePolicy& policy)
{
    CertificateReport report = DescribeServerCertificate(certificate);
    const auto tell = [&policy, &report](CertificateVerdict verdict) {
        report.verdict = verdict;
        if (policy.observer) {
            policy.observer(report);
        }
    };
    try {
        if (!policy.pins.empty()) {
            if (!IsPinned(report.fingerprint, policy.pins)) {
                Refuse(PinMismatchReason(report.fingerprint));
            }
            tell(CertificateVerdict::Pinned);
            return report;
        }
        CheckTrustAndName(certificate, policy.host);
    } catch (const TransportError&) {
        tell(CertificateVerdict::Refused);
        throw;
    }
    tell(CertificateVerdict::TrustedByWindows);
    return report;
}

}  // namespace kestrane::win32
