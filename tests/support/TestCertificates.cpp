#include "TestCertificates.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tallyvane::testsupport {

namespace {

void Openssl(const std::string& args) {
    // The paths are our own mkdtemp folder: no quoting surprises.
    const std::string command = "openssl " + args + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("openssl failed: " + command);
    }
}

} // namespace

TestCertificates::TestCertificates() {
    char tmpl[] = "/tmp/tls-certs-XXXXXX";
    if (!mkdtemp(tmpl)) {
        throw std::runtime_error("mkdtemp failed");
    }
    Dir = tmpl;
    Openssl("req -x509 -newkey rsa:2048 -nodes -keyout " + Dir + "/ca.key -out " + Ca() +
            " -days 2 -subj '/CN=Throw-away Test CA' -addext basicConstraints=critical,CA:TRUE"
            " -addext keyUsage=critical,keyCertSign,cRLSign");
    Leaf("good", "localhost", "DNS:localhost,IP:127.0.0.1");
    Leaf("wrong-host", "db.wrong.example", "DNS:db.wrong.example");
    Openssl("req -x509 -newkey rsa:2048 -nodes -keyout " + Key("self-signed") + " -out " +
            Cert("self-signed") +
            " -days 2 -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
}

TestCertificates::~TestCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
}

void TestCertificates::Leaf(const std::string& name, const std::string& cn,
                            const std::string& san) {
    const std::string ext = Dir + "/" + name + ".ext";
    std::ofstream(ext) << "subjectAltName=" << san
                       << "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
    const std::string csr = Dir + "/" + name + ".csr";
    Openssl("req -newkey rsa:2048 -nodes -keyout " + Key(name) + " -out " + csr +
            " -subj /CN=" + cn);
    Openssl("x509 -req -in " + csr + " -CA " + Ca() + " -CAkey " + Dir +
            "/ca.key -CAcreateserial -out " + Cert(name) + " -days 2 -extfile " + ext);
}

} // namespace tallyvane::testsupport
