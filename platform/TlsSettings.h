// What a connection string asks of encryption, read with the meaning Microsoft's drivers
// give the keywords, and the keywords that carry it to the chosen driver.
//
//   Encrypt / Use Encryption for Data: yes, true, mandatory -> encrypt and check the
//     certificate; no, false, optional, absent -> encrypt only if the server demands it (no
//     check); strict (TDS 8.0) -> refused for FreeTDS, which supports it from 1.5 only.
//   TrustServerCertificate / Trust Server Certificate: yes -> no certificate check.
//   HostNameInCertificate / Host Name In Certificate: the name the certificate must carry.
//   ServerCertificate / Server Certificate: a PEM file with the server's certificate or the
//     CA that signed it, instead of the system's trusted authorities.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct TEncryptionRequest {
    enum class TMode { NotAsked, Optional, Mandatory, Strict };
    TMode Mode = TMode::NotAsked;
    bool TrustServerCertificate = false;
    std::string HostNameInCertificate;
    std::string CaFile; // empty: the system's trusted authorities

    // Encryption asked for and the certificate to be checked.
    bool ChecksCertificate() const {
        return (Mode == TMode::Mandatory || Mode == TMode::Strict) && !TrustServerCertificate;
    }
    bool Demanded() const { return Mode == TMode::Mandatory || Mode == TMode::Strict; }
};

// pairs: the connection string's name=value pieces in order. Throws EDbError for a value
// none of the drivers accepts.
TEncryptionRequest
ReadEncryptionRequest(const std::vector<std::pair<std::string, std::string>>& pairs);

// FreeTDS: Encryption=request|require. A certificate check needs a configuration section
// (FreeTdsConfig), which the caller connects through. Throws EDbError for what FreeTDS 1.3
// cannot do (strict, a certificate name other than the server's).
std::vector<std::pair<std::string, std::string>>
FreeTdsEncryptionKeywords(const TEncryptionRequest& request, const std::string& host);

// Microsoft's ODBC drivers: the keywords as they are (Encrypt=no when the string says
// nothing, as OLE DB strings mean).
std::vector<std::pair<std::string, std::string>>
MicrosoftEncryptionKeywords(const TEncryptionRequest& request);

// One line for the user: "Encryption: required, certificate checked against ..." — what the
// string asks, not what the server gave.
std::string DescribeEncryptionRequest(const TEncryptionRequest& request);
