// The TLS configuration of the endpoint from a PEM certificate (chain) file and a PEM key file.
#pragma once

#include <QSslConfiguration>
#include <string>

// Throws Exception with the file and the reason when either cannot be used.
QSslConfiguration LoadTlsConfiguration(const std::string& certFile, const std::string& keyFile);
