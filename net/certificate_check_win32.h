// Kestrane's own check of an FTP server's certificate on Windows, made
// because Schannel is told to make none (Wine's never does): a pinned
// fingerprint, or else Windows' trust in the chain and the host's name in
// the certificate (CertGetCertificateChain, then the SSL policy of
// CertVerifyCertificateChainPolicy). A revocation that cannot be checked,
// with no network to the issuer, is let pass; a revoked certificate is not.
#pragma once

#include "common/win32_support.h"
#include "net/server_certificate.h"

#include <bcrypt.h>
#include <wincrypt.h>

namespace kestrane::win32 {

using UniqueCertificate = UniqueHandle<PCCERT_CONTEXT, ::CertFreeCertificateContext>;
using UniqueCertificateChain = UniqueHandle<PCCERT_CHAIN_CONTEXT, ::CertFreeCertificateChain>;

// The SHA-256 of the certificate's DER bytes.
Sha256Fingerprint CertificateFingerprint(PCCERT_CONTEXT certificate);

// What the check tool shows of a certificate; the verdict is left as given.
CertificateReport DescribeServerCertificate(PCCERT_CONTEXT certificate);

// The certificate's report when policy accepts it; otherwise throws
// TransportError(Security) with the reason in plain words.
CertificateReport CheckServerCertificate(PCCERT_CONTEXT certificate, const CertificatePolicy& policy);

}  // namespace kestrane::win32
