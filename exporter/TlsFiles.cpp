#include "TlsFiles.h"

#include "Errors.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

namespace {

QByteArray ReadAll(const std::string& path, const char* what) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        throw Exception(std::string("Cannot open the TLS ") + what + " file \"" + path +
                        "\": " + file.errorString().toStdString());
    }
    return file.readAll();
}

} // namespace

QSslConfiguration LoadTlsConfiguration(const std::string& certFile, const std::string& keyFile) {
    if (!QSslSocket::supportsSsl()) {
        throw Exception("TLS is not available: Qt found no TLS library");
    }
    const QList<QSslCertificate> chain =
        QSslCertificate::fromData(ReadAll(certFile, "certificate"));
    if (chain.isEmpty()) {
        throw Exception("The TLS certificate file \"" + certFile + "\" holds no PEM certificate");
    }
    const QByteArray keyBytes = ReadAll(keyFile, "key");
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa}) {
        key = QSslKey(keyBytes, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            break;
        }
    }
    if (key.isNull()) {
        throw Exception("The TLS key file \"" + keyFile +
                        "\" holds no unencrypted PEM private key (RSA, EC or DSA)");
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    return config;
}
