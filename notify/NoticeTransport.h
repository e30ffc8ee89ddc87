// Sending one notice over one channel, synchronously: an HTTP(S) POST to the webhook, or an
// e-mail over SMTP with STARTTLS (smtp://, required) or TLS (smtps://). Redirects are not
// followed, an answer is read up to 64 KB, and everything gives up after TimeoutS seconds.
// Builds without libcurl (the Windows cross-build) send nothing: NoticesAvailable is false
// and every send says so.
#pragma once

#include "Notice.h"
#include "NoticeUrl.h"

#include <atomic>
#include <string>

struct TNoticeTarget {
    TNoticeChannel Channel = TNoticeChannel::Webhook;
    std::string Url;
    TWebhookFormat Format = TWebhookFormat::Json;
    std::string From, To, User, Password; // e-mail
    std::string CaFile;                   // an authority to trust besides the system's
    bool LoopbackOnly = false;            // refuse any address off the loopback (tests)
    int TimeoutS = 10;
    const std::atomic<bool>* Cancel = nullptr; // set: the send ends at once
};

bool NoticesAvailable();
// Empty on success, otherwise what went wrong, naming the URL only by RedactedUrl and never
// the password.
std::string SendNotice(const TNoticeTarget& target, const TNotice& notice);
