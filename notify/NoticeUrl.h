// What a notice may be sent to. Only http and https for the webhook and smtp and smtps for
// e-mail; no control characters (a CR or LF could add a header), no blanks, at most 2048
// characters. Addresses are checked the same way before they go into an e-mail's envelope.
// Errors and log lines name a URL only by RedactedUrl, so tokens in it never reach the log.
#pragma once

#include <string>
#include <vector>

enum class TNoticeChannel { Webhook, Mail };

// Empty when the URL is acceptable for the channel, otherwise why not.
std::string CheckNoticeUrl(const std::string& url, TNoticeChannel channel);
// The scheme, host and port alone ("https://hooks.example.com/…"); no user, path or query.
std::string RedactedUrl(const std::string& url);
// A warning for a setting that sends a secret without encryption, or empty:
// an http:// webhook that carries a token (user info, a query, or a long path segment), and
// an smtp:// URL with a password.
std::string WebhookUrlWarning(const std::string& url);
std::string MailUrlWarning(const std::string& url, const std::string& password);
// The addresses of SmtpTo (separated by commas, semicolons or blanks); each must look like
// local@domain without control characters, blanks or angle brackets. Throws Exception.
std::vector<std::string> CheckMailAddresses(const std::string& list, const char* what);
