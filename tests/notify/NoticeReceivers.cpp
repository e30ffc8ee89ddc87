#include "NoticeReceivers.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <curl/curl.h>
#include <stdexcept>

TNoticeReceivers::TNoticeReceivers() {
    Process.setProgram(TALLYVANE_SYSTEM_PYTHON);
    Process.setArguments({TALLYVANE_NOTICE_RECEIVERS, "--cert",
                          QString::fromStdString(Certificates.Cert("good")), "--key",
                          QString::fromStdString(Certificates.Key("good"))});
    Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Process.start();
    if (!Process.waitForStarted(10000))
        throw std::runtime_error("the notice receivers did not start");
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 20000) {
        if (!Process.canReadLine() && !Process.waitForReadyRead(500))
            continue;
        while (Process.canReadLine()) {
            const QString line = QString::fromUtf8(Process.readLine()).trimmed();
            if (line == "ready")
                return;
            const QStringList parts = line.split(' ');
            if (parts.size() == 2)
                Ports[parts[0].toStdString()] = parts[1].toInt();
        }
    }
    throw std::runtime_error("the notice receivers did not come up");
}

TNoticeReceivers::~TNoticeReceivers() {
    Process.closeWriteChannel(); // stdin's end stops them
    if (!Process.waitForFinished(5000)) {
        Process.kill();
        Process.waitForFinished(2000);
    }
}

std::string TNoticeReceivers::Url(const std::string& via, const std::string& path) const {
    const bool http = via == "http" || via == "https";
    const std::string scheme = via == "smtp-plain" ? "smtp" : via;
    return scheme + "://127.0.0.1:" + std::to_string(Port(via)) + (http ? path : std::string());
}

namespace {
std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}
} // namespace

QJsonArray TNoticeReceivers::Received() const {
    CURL* curl = curl_easy_init();
    std::string body;
    const std::string url = Url("http", "/received");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return QJsonDocument::fromJson(QByteArray::fromStdString(body)).array();
}

QJsonArray TNoticeReceivers::WaitFor(const std::string& via, int count, int timeoutMs) const {
    QElapsedTimer timer;
    timer.start();
    QJsonArray mine;
    do {
        mine = {};
        for (const QJsonValue& v : Received())
            if (v.toObject()["via"].toString().toStdString() == via)
                mine.append(v);
        if (mine.size() >= count)
            break;
        QThread::msleep(50);
    } while (timer.elapsed() < timeoutMs);
    return mine;
}
