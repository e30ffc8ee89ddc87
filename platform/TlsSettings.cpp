#include "TlsSettings.h"

#include "DbTypes.h"

#include <algorithm>
#include <initializer_list>

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return s;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// The last value of any of the names (later pieces win, as with the other keywords).
using TPairs = std::vector<std::pair<std::string, std::string>>;

const std::string* Find(const TPairs& pairs, std::initializer_list<const char*> names) {
    const std::string* found = nullptr;
    for (const auto& [name, value] : pairs) {
        const std::string key = Lower(name);
        for (const char* n : names) {
            if (key == n) {
                found = &value;
            }
        }
    }
    return found;
}

[[noreturn]] void Fail(const std::string& message) {
    throw EDbError(MakeDbError(message, "08001"));
}

bool YesNo(const std::string& name, const std::string& value) {
    const std::string v = Lower(Trim(value));
    if (v == "true" || v == "yes" || v == "1") {
        return true;
    }
    if (v == "false" || v == "no" || v == "0" || v.empty()) {
        return false;
    }
    Fail("Invalid value for " + name + ": \"" + value + "\" (use yes or no)");
}

} // namespace

TEncryptionRequest ReadEncryptionRequest(const TPairs& pairs) {
    TEncryptionRequest r;
    if (const std::string* e = Find(pairs, {"encrypt", "use encryption for data"})) {
        const std::string v = Lower(Trim(*e));
        if (v == "yes" || v == "true" || v == "1" || v == "mandatory") {
            r.Mode = TEncryptionRequest::TMode::Mandatory;
        } else if (v == "no" || v == "false" || v == "0" || v == "optional") {
            r.Mode = TEncryptionRequest::TMode::Optional;
        } else if (v == "strict") {
            r.Mode = TEncryptionRequest::TMode::Strict;
        } else if (!v.empty()) {
            Fail("Invalid value for Encrypt: \"" + *e +
                 "\" (use yes/mandatory, no/optional or strict)");
        }
    }
    if (const std::string* t =
            Find(pairs, {"trustservercertificate", "trust server certificate"})) {
        r.TrustServerCertificate = YesNo("TrustServerCertificate", *t);
    }
    if (const std::string* h = Find(pairs, {"hostnameincertificate", "host name in certificate"})) {
        r.HostNameInCertificate = Trim(*h);
    }
    if (const std::string* c = Find(pairs, {"servercertificate", "server certificate"})) {
        r.CaFile = Trim(*c);
        if (r.CaFile.find_first_of("\r\n") != std::string::npos) {
            Fail("Invalid file name for ServerCertificate");
        }
    }
    return r;
}

std::vector<std::pair<std::string, std::string>>
FreeTdsEncryptionKeywords(const TEncryptionRequest& request, const std::string& host) {
    using TMode = TEncryptionRequest::TMode;
    if (request.Mode == TMode::Strict) {
        Fail("Encrypt=strict (TDS 8.0) needs FreeTDS 1.5 or later; the FreeTDS ODBC driver "
             "installed here (1.3) does not support it. Use Encrypt=yes for an encrypted "
             "connection with a checked certificate");
    }
    if (request.ChecksCertificate() && !request.HostNameInCertificate.empty() &&
        Lower(request.HostNameInCertificate) != Lower(host)) {
        // FreeTDS 1.3 matches the certificate against the name it connects to, nothing else.
        Fail("HostNameInCertificate=" + request.HostNameInCertificate +
             " cannot be honoured by the FreeTDS driver, which checks the certificate against "
             "the server name it connects to (" +
             host +
             "). Name the server as its "
             "certificate does in Data Source, or set TrustServerCertificate=yes");
    }
    // "request" (FreeTDS's default when nothing is said) still encrypts the login when the
    // server can, and everything when the server demands it.
    if (request.Mode == TMode::NotAsked) {
        return {};
    }
    return {{"Encryption", request.Demanded() ? "require" : "request"}};
}

std::vector<std::pair<std::string, std::string>>
MicrosoftEncryptionKeywords(const TEncryptionRequest& request) {
    using TMode = TEncryptionRequest::TMode;
    std::vector<std::pair<std::string, std::string>> out;
    // Newer Microsoft drivers encrypt and check the certificate unless told otherwise;
    // strings written for the OLE DB providers mean no encryption.
    out.emplace_back("Encrypt", request.Mode == TMode::Strict      ? "strict"
                                : request.Mode == TMode::Mandatory ? "yes"
                                                                   : "no");
    if (request.TrustServerCertificate) {
        out.emplace_back("TrustServerCertificate", "yes");
    }
    if (!request.HostNameInCertificate.empty()) {
        out.emplace_back("HostNameInCertificate", request.HostNameInCertificate);
    }
    if (!request.CaFile.empty()) {
        out.emplace_back("ServerCertificate", request.CaFile);
    }
    return out;
}

std::string DescribeEncryptionRequest(const TEncryptionRequest& request) {
    if (!request.Demanded()) {
        return "not required (the server may still encrypt; its certificate is not checked)";
    }
    if (!request.ChecksCertificate()) {
        return "required, server certificate trusted without a check";
    }
    return "required, certificate checked against " +
           (request.CaFile.empty() ? std::string("the system's trusted authorities")
                                   : request.CaFile);
}
