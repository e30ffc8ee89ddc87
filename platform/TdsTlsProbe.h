// A short look at a server's encryption, beside the driver's own connection: PRELOGIN with
// the same encryption wish as the driver, then (when the server offers it) a TLS handshake
// inside PRELOGIN packets, checked with the connection string's trust settings. It sends no
// login. It tells the user what the driver cannot: whether the connection is encrypted, with
// which TLS version, and why a certificate was refused.
#pragma once

#include "TlsSettings.h"

#include <cstdint>
#include <string>

struct TTlsProbeResult {
    std::string Error;             // the probe could not look (unreachable, not TDS, ...)
    bool Oversized = false;        // the server sent more than any answer holds: dropped
    std::uint8_t ServerAnswer = 2; // PRELOGIN ENCRYPTION: 0 login only, 1 on, 2 none, 3 required
    bool Encrypted = false;        // TLS was negotiated (login only or everything)
    bool LoginOnly = false;        // only the login travels encrypted
    std::string TlsVersion;        // "TLSv1.2"
    std::string Cipher;
    bool CertificateTrusted = false; // chain and host name check out under the string's trust
    std::string CertificateProblem;  // why not ("self-signed certificate", ...)
    std::string CertificateSubject;  // "CN=db1.example" and its other names
};

// host, port: the server's TCP address. Blocks for at most timeoutMs.
TTlsProbeResult ProbeTdsEncryption(const std::string& host, unsigned port,
                                   const TEncryptionRequest& request, int timeoutMs);

// For a connection that succeeded: "Encrypted (TLSv1.2), certificate verified", ...
std::string DescribeEncryptionState(const TTlsProbeResult& probe,
                                    const TEncryptionRequest& request);

// For a connection that failed: a sentence that names the encryption problem, or "" when
// encryption is not what stopped it.
std::string ExplainEncryptionFailure(const TTlsProbeResult& probe,
                                     const TEncryptionRequest& request, const std::string& host);
