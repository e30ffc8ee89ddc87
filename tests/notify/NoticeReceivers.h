// The loopback receivers of notice_receivers.py (HTTP, HTTPS, SMTP with STARTTLS, SMTP without
// it, SMTPS) for one test, with what each has received.
#pragma once

#include "TestCertificates.h"

#include <QJsonArray>
#include <QProcess>
#include <QString>
#include <map>
#include <string>

class TNoticeReceivers {
public:
    TNoticeReceivers(); // throws std::runtime_error when they do not come up
    ~TNoticeReceivers();

    int Port(const std::string& via) const { return Ports.at(via); }
    std::string Url(const std::string& via, const std::string& path = "") const;
    std::string CaFile() const { return Certificates.Ca(); }
    // Everything received so far: {"via", "path", "body"} each.
    QJsonArray Received() const;
    // The bodies received by one receiver, waiting up to the time-out for count of them.
    QJsonArray WaitFor(const std::string& via, int count, int timeoutMs = 15000) const;

private:
    tallyvane::testsupport::TestCertificates Certificates;
    QProcess Process;
    std::map<std::string, int> Ports;
};
