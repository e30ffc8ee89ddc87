// Throw-away certificates for one test run, made with the openssl command line: a CA, a
// server certificate it signed for localhost/127.0.0.1 ("good"), one it signed for another
// host name ("wrong-host"), and a self-signed one for localhost that nobody trusts
// ("self-signed"). The folder goes when the object does.
#pragma once

#include <string>

namespace tallyvane::testsupport {

class TestCertificates {
public:
    TestCertificates(); // throws std::runtime_error when openssl fails
    ~TestCertificates();
    TestCertificates(const TestCertificates&) = delete;
    TestCertificates& operator=(const TestCertificates&) = delete;

    std::string Ca() const { return Dir + "/ca.pem"; }
    std::string Cert(const std::string& name) const { return Dir + "/" + name + ".pem"; }
    std::string Key(const std::string& name) const { return Dir + "/" + name + ".key"; }

private:
    void Leaf(const std::string& name, const std::string& cn, const std::string& san);
    std::string Dir;
};

} // namespace tallyvane::testsupport
