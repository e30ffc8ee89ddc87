// Notices sent for real to receivers on the loopback: a webhook over HTTP and HTTPS in its
// three shapes, e-mail with STARTTLS and TLS, and every way a receiver can fail. Each failure
// gives a clear error without a secret in it, and the sender keeps going.
#include "NoticeReceivers.h"
#include "NoticeSender.h"
#include "NoticeTransport.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

namespace {

TNotice Sample(const std::string& event = "blocking") {
    TNotice n;
    n.Event = event;
    n.Server = "PROD-SQL01";
    n.HeadSpid = 51;
    n.Login = "sales_app";
    n.Host = "WS-17";
    n.Program = "Order Entry";
    n.Statement = "update Orders set Status = 2 where Id = 7";
    n.Blocked = 3;
    n.LongestWaitMs = 26'000;
    n.SummedWaitMs = 40'000;
    n.TimeMs = 1'796'980'502'000;
    return n;
}

class NoticeSend : public testing::Test {
protected:
    static void SetUpTestSuite() { Receivers = new TNoticeReceivers; }
    static void TearDownTestSuite() {
        delete Receivers;
        Receivers = nullptr;
    }
    static TNoticeReceivers* Receivers;

    TNoticeTarget Webhook(const std::string& via, const std::string& path,
                          TWebhookFormat format = TWebhookFormat::Json) const {
        TNoticeTarget t;
        t.Channel = TNoticeChannel::Webhook;
        t.Url = Receivers->Url(via, path);
        t.Format = format;
        t.CaFile = Receivers->CaFile();
        t.LoopbackOnly = true;
        t.TimeoutS = 2;
        return t;
    }
    TNoticeTarget Mail(const std::string& via, const std::string& password = "Mail-Pass-1") const {
        TNoticeTarget t;
        t.Channel = TNoticeChannel::Mail;
        t.Url = Receivers->Url(via);
        t.From = "tallyvane@example.com";
        t.To = "dba@example.com";
        t.User = "notify";
        t.Password = password;
        t.CaFile = Receivers->CaFile();
        t.LoopbackOnly = true;
        t.TimeoutS = 5;
        return t;
    }
    // The bodies a receiver got on one path.
    static int CountOn(const std::string& via, const std::string& path) {
        int n = 0;
        for (const QJsonValue& v : Receivers->Received())
            n += v.toObject()["via"].toString().toStdString() == via &&
                 v.toObject()["path"].toString().toStdString() == path;
        return n;
    }
};
TNoticeReceivers* NoticeSend::Receivers = nullptr;

TEST_F(NoticeSend, WebhookInEachShapeOverHttpAndHttps) {
    ASSERT_TRUE(NoticesAvailable());
    EXPECT_EQ(SendNotice(Webhook("http", "/ok"), Sample()), "");
    EXPECT_EQ(SendNotice(Webhook("https", "/slack", TWebhookFormat::Slack), Sample()), "");
    EXPECT_EQ(SendNotice(Webhook("https", "/teams", TWebhookFormat::Teams), Sample()), "");
    const QJsonArray http = Receivers->WaitFor("http", 1);
    ASSERT_GE(http.size(), 1);
    const QJsonObject plain =
        QJsonDocument::fromJson(http[0].toObject()["body"].toString().toUtf8()).object();
    EXPECT_EQ(plain["event"].toString(), "blocking");
    EXPECT_EQ(plain["head_spid"].toInt(), 51);
    EXPECT_EQ(plain["program"].toString(), "Order Entry");
    bool slack = false, teams = false;
    for (const QJsonValue& v : Receivers->WaitFor("https", 2)) {
        const QJsonObject body =
            QJsonDocument::fromJson(v.toObject()["body"].toString().toUtf8()).object();
        slack = slack || body["text"].toString().contains("head blocker SPID 51");
        teams = teams || body["type"].toString() == "message";
    }
    EXPECT_TRUE(slack);
    EXPECT_TRUE(teams);
}

TEST_F(NoticeSend, HttpsWithAnUntrustedCertificateIsRefused) {
    TNoticeTarget t = Webhook("https", "/ok");
    t.CaFile = "/nonexistent-authority.pem";
    const std::string error = SendNotice(t, Sample());
    EXPECT_NE(error, "");
    EXPECT_EQ(error.rfind("Webhook https://127.0.0.1:", 0), 0u) << error;
}

TEST_F(NoticeSend, BadReceiversGiveClearErrors) {
    struct TRow {
        const char* Path;
        const char* ErrorPart;
    };
    const TRow rows[] = {
        {"/hang", "no answer within 2 s"},
        {"/500", "answered HTTP 500"},
        {"/redirect", "redirects are not followed"},
        {"/huge", "longer than 64 KB"},
    };
    for (const TRow& row : rows) {
        const std::string error = SendNotice(Webhook("http", row.Path), Sample());
        EXPECT_NE(error.find(row.ErrorPart), std::string::npos) << row.Path << ": " << error;
        // The URL is named by its host alone.
        EXPECT_EQ(error.find(row.Path), std::string::npos) << error;
    }
    // The redirect's target was not visited, and nothing was sent twice.
    EXPECT_EQ(CountOn("http", "/500"), 1);
    // Off the loopback, with the tests' guard on: refused before connecting.
    TNoticeTarget off = Webhook("http", "/ok");
    off.Url = "http://192.0.2.1:9/hook";
    EXPECT_NE(SendNotice(off, Sample()).find("off the loopback"), std::string::npos);
    // Schemes libcurl could speak but we do not, and a line break, never reach the network.
    off.Url = "gopher://127.0.0.1:" + std::to_string(Receivers->Port("http")) + "/_x";
    EXPECT_NE(SendNotice(off, Sample()).find("http:// or https://"), std::string::npos);
    off.Url = Receivers->Url("http", "/ok\r\nX-Evil: 1");
    EXPECT_NE(SendNotice(off, Sample()).find("line break"), std::string::npos);
}

TEST_F(NoticeSend, MailWithStartTlsAndWithTls) {
    EXPECT_EQ(SendNotice(Mail("smtp"), Sample()), "");
    EXPECT_EQ(SendNotice(Mail("smtps"), Sample("cleared")), "");
    const QJsonArray starttls = Receivers->WaitFor("smtp", 1);
    ASSERT_GE(starttls.size(), 1);
    const QString message = starttls[0].toObject()["body"].toString();
    EXPECT_TRUE(message.contains("Subject: Tallyvane: Blocking on =?UTF-8?B?"))
        << message.toStdString();
    EXPECT_EQ(starttls[0].toObject()["path"].toString(), "dba@example.com");
    const QString body =
        QString::fromUtf8(QByteArray::fromBase64(message.section("\r\n\r\n", 1).toUtf8()));
    EXPECT_TRUE(body.contains("Head blocker: SPID 51")) << body.toStdString();
    EXPECT_TRUE(body.contains("Program: Order Entry"));
    EXPECT_EQ(Receivers->WaitFor("smtps", 1).size(), 1);
}

TEST_F(NoticeSend, MailServersThatRefuse) {
    // No STARTTLS offered: nothing goes out in clear, the password least of all.
    const std::string plain = SendNotice(Mail("smtp-plain"), Sample());
    EXPECT_NE(plain.find("refused STARTTLS"), std::string::npos) << plain;
    const std::string denied = SendNotice(Mail("smtp", "Wrong-Pass-9"), Sample());
    EXPECT_NE(denied.find("refused the user name or password"), std::string::npos) << denied;
    EXPECT_EQ(denied.find("Wrong-Pass-9"), std::string::npos);
    TNoticeTarget t = Mail("smtp");
    t.To = "dba@example.com\r\nRCPT TO:<evil@example.com>";
    EXPECT_NE(SendNotice(t, Sample()).find("cannot hold"), std::string::npos);
    EXPECT_EQ(CountOn("smtp-plain", "dba@example.com"), 0);
}

TEST_F(NoticeSend, SenderBacksOffLogsOnceDropsAndRecovers) {
    std::mutex m;
    std::vector<std::string> log;
    TNoticeSender sender([&](const std::string& line) {
        std::lock_guard lock(m);
        log.push_back(line);
    });
    sender.FirstBackOff = std::chrono::milliseconds(50);
    sender.MaxAttempts = 3;
    TNoticeTarget down = Webhook("http", "/500");
    down.Url = Receivers->Url("http", "/500?token=Secret-Token-1");
    sender.SetTargets({down});
    sender.Post(Sample());
    sender.Post(Sample("cleared"));
    QElapsedTimer t;
    t.start();
    while (sender.Dropped() < 2 && t.elapsed() < 20000)
        QThread::msleep(20);
    EXPECT_EQ(sender.Dropped(), 2u);
    EXPECT_EQ(sender.Failures(), 6u);
    {
        std::lock_guard lock(m);
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find("answered HTTP 500"), std::string::npos) << log[0];
        EXPECT_EQ(log[0].find("Secret-Token-1"), std::string::npos) << log[0];
    }
    // The channel comes back: the next notice goes through.
    sender.SetTargets({Webhook("http", "/back")});
    sender.Post(Sample());
    t.restart();
    while (sender.Delivered() < 1 && t.elapsed() < 10000)
        QThread::msleep(20);
    EXPECT_EQ(sender.Delivered(), 1u);
    EXPECT_EQ(CountOn("http", "/back"), 1);
}

TEST_F(NoticeSend, AHangingChannelNeverHoldsUpThePosterAndTheOtherGetsItsTurn) {
    TNoticeSender sender([](const std::string&) {});
    sender.MaxQueued = 4;
    sender.FirstBackOff = std::chrono::seconds(30);
    sender.SetTargets({Webhook("http", "/hang"), Webhook("http", "/beside")});
    for (int i = 0; i < 10; ++i)
        sender.Post(Sample()); // returns at once, whatever the channels do
    QElapsedTimer t;
    t.start();
    while (CountOn("http", "/beside") < 4 && t.elapsed() < 15000)
        QThread::msleep(20);
    EXPECT_EQ(CountOn("http", "/beside"), 4); // the queue kept the newest four
    EXPECT_GE(sender.Dropped(), 12u);         // six for each channel
}

} // namespace
