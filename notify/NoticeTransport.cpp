#include "NoticeTransport.h"

#include "Errors.h"
#include "NoticePayload.h"

#include <chrono>
#include <cstring>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr std::size_t kMaxAnswer = 64 * 1024;

struct TTransfer {
    const TNoticeTarget* Target = nullptr;
    std::size_t Received = 0;
    bool TooLong = false;
    bool OffLoopback = false;
    std::string Upload; // e-mail
    std::size_t Sent = 0;
};

std::size_t Discard(char*, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<TTransfer*>(user);
    t->Received += size * count;
    if (t->Received > kMaxAnswer) {
        t->TooLong = true;
        return 0; // stops the transfer
    }
    return size * count;
}

std::size_t ReadMail(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* t = static_cast<TTransfer*>(user);
    const std::size_t n = std::min(size * count, t->Upload.size() - t->Sent);
    std::memcpy(buffer, t->Upload.data() + t->Sent, n);
    t->Sent += n;
    return n;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* t = static_cast<TTransfer*>(user);
    return t->Target->Cancel && t->Target->Cancel->load() ? 1 : 0;
}

bool IsLoopback(const curl_sockaddr* address) {
    if (address->family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address->addr);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address->addr);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    }
    return false;
}

curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto* t = static_cast<TTransfer*>(user);
    if (t->Target->LoopbackOnly && !IsLoopback(address)) {
        t->OffLoopback = true;
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype, address->protocol);
}

// No secret leaves through an error text: the URL is named by its host, the password never.
std::string Scrubbed(std::string message, const TNoticeTarget& target) {
    const auto replace = [&message](const std::string& secret, const std::string& by) {
        if (secret.size() < 3)
            return;
        for (std::size_t at = message.find(secret); at != std::string::npos;
             at = message.find(secret, at + by.size()))
            message.replace(at, secret.size(), by);
    };
    replace(target.Url, RedactedUrl(target.Url));
    replace(target.Password, "***");
    return message;
}

struct TCurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct TListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::string CurlError(CURLcode code, const char* buffer) {
    std::string text = buffer && *buffer ? buffer : curl_easy_strerror(code);
    return text;
}

} // namespace

bool NoticesAvailable() {
    return true;
}

std::string SendNotice(const TNoticeTarget& target, const TNotice& notice) {
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    const bool webhook = target.Channel == TNoticeChannel::Webhook;
    const std::string name = webhook ? "Webhook " + RedactedUrl(target.Url)
                                     : "E-mail through " + RedactedUrl(target.Url);
    if (const std::string bad = CheckNoticeUrl(target.Url, target.Channel); !bad.empty())
        return bad;
    std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
    if (!curl)
        return name + ": libcurl could not start a transfer";
    CURL* c = curl.get();
    TTransfer transfer;
    transfer.Target = &target;
    char errors[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, TListDeleter> headers, recipients;

    curl_easy_setopt(c, CURLOPT_URL, target.Url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, static_cast<long>(target.TimeoutS));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(std::min(target.TimeoutS, 5)));
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    if (target.LoopbackOnly)
        curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    if (!target.CaFile.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, target.CaFile.c_str());
    std::string body;
    if (webhook) {
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        body = NoticeBody(notice, target.Format);
        headers.reset(curl_slist_append(nullptr, "Content-Type: application/json; charset=utf-8"));
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(c, CURLOPT_USERAGENT, "Tallyvane");
    } else {
        std::vector<std::string> to;
        try {
            CheckMailAddresses(target.From, "The sender (SmtpFrom)");
            to = CheckMailAddresses(target.To, "The recipients (SmtpTo)");
        } catch (const Exception& error) {
            return error.what();
        }
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
        curl_easy_setopt(c, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        const std::string from = "<" + target.From + ">";
        curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
        curl_slist* list = nullptr;
        for (const std::string& address : to)
            list = curl_slist_append(list, ("<" + address + ">").c_str());
        recipients.reset(list);
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());
        if (!target.User.empty()) {
            curl_easy_setopt(c, CURLOPT_USERNAME, target.User.c_str());
            curl_easy_setopt(c, CURLOPT_PASSWORD, target.Password.c_str());
        }
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        transfer.Upload = NoticeMail(notice, target.From, target.To, now);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, ReadMail);
        curl_easy_setopt(c, CURLOPT_READDATA, &transfer);
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    }

    const CURLcode code = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    std::string error;
    if (transfer.OffLoopback)
        error = "refused: the name resolves to an address off the loopback";
    else if (transfer.TooLong)
        error = "the answer is longer than 64 KB; it was not read further";
    else if (code == CURLE_OPERATION_TIMEDOUT)
        error = "no answer within " + std::to_string(target.TimeoutS) + " s";
    else if (code == CURLE_USE_SSL_FAILED)
        error = "the server refused STARTTLS; nothing was sent unencrypted";
    else if (code == CURLE_LOGIN_DENIED)
        error = "the server refused the user name or password";
    else if (code == CURLE_UNSUPPORTED_PROTOCOL)
        error = "the scheme is not accepted";
    else if (code != CURLE_OK)
        error = CurlError(code, errors);
    else if (webhook && status >= 300 && status < 400)
        error = "answered HTTP " + std::to_string(status) +
                " (a redirect); redirects are not followed: set the URL it names";
    else if (webhook && (status < 200 || status >= 300))
        error = "answered HTTP " + std::to_string(status);
    if (error.empty())
        return {};
    return Scrubbed(name + ": " + error, target);
}
