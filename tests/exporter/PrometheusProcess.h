// Debian's Prometheus on the loopback with its own configuration and data folder, for the tests
// that check what it makes of the exporter's metrics; stopped when the object goes.
#pragma once

#include "../config/TempFolder.h"
#include "ExporterProcess.h"
#include "HttpClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QUrl>
#include <map>
#include <string>

namespace exportertest {

using tallyvane::testsupport::SpinUntil;

inline quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class TPrometheus {
public:
    TPrometheus(const QString& program, const TTempFolder& folder, const std::string& config)
        : Port(FreePort()) {
        WriteFile(folder.File("prometheus.yml"), config);
        Process.setProcessChannelMode(QProcess::MergedChannels);
        Process.start(program,
                      {"--config.file=" + QString::fromStdString(folder.File("prometheus.yml")),
                       "--storage.tsdb.path=" + QString::fromStdString(folder.File("data")),
                       "--web.listen-address=127.0.0.1:" + QString::number(Port),
                       "--log.level=warn"});
    }
    ~TPrometheus() {
        if (Process.state() != QProcess::NotRunning) {
            Process.terminate();
            if (!Process.waitForFinished(20000)) {
                Process.kill();
                Process.waitForFinished();
            }
        }
    }
    bool WaitReady() {
        return SpinUntil(
                   [&] {
                       if (Process.state() == QProcess::NotRunning) {
                           return true;
                       }
                       TClient client(Port);
                       return client.Get("/-/ready").Status == 200;
                   },
                   std::chrono::seconds(60)) &&
               Process.state() != QProcess::NotRunning;
    }
    // The answer of the query API as Prometheus gave it: status, error, data.
    QJsonObject Answer(const std::string& query) {
        TClient client(Port);
        const auto answer =
            client.Get("/api/v1/query?query=" +
                       QUrl::toPercentEncoding(QString::fromStdString(query)).toStdString());
        return QJsonDocument::fromJson(QByteArray::fromStdString(answer.Body)).object();
    }
    // The instant vector of a query, by the value of one label.
    std::map<std::string, double> Query(const std::string& query, const std::string& label) {
        std::map<std::string, double> values;
        const QJsonObject root = Answer(query);
        for (const QJsonValue& item : root["data"].toObject()["result"].toArray()) {
            const QJsonObject sample = item.toObject();
            values[sample["metric"]
                       .toObject()[QString::fromStdString(label)]
                       .toString()
                       .toStdString()] = sample["value"].toArray()[1].toString().toDouble();
        }
        return values;
    }
    std::string Output() { return Process.readAll().toStdString(); }

    quint16 Port;
    QProcess Process;
};

} // namespace exportertest
