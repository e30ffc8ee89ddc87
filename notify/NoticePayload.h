// The bodies a notice travels in: JSON for a webhook in one of three shapes, and an e-mail.
// Server text is cleaned first (CleanServerText) and every string is JSON-escaped, so markup,
// bidirectional overrides and control characters reach the receiver as harmless text. The
// e-mail's headers carry no server text: the subject names the event and the server's display
// name as an encoded word, and everything from the server goes in the base64 body.
#pragma once

#include "Notice.h"

#include <cstdint>
#include <string>
#include <string_view>

// Valid UTF-8 (bad bytes become U+FFFD), control characters and bidirectional formatting
// characters replaced (line breaks and tabs by a blank), blanks run together, at most
// maxChars characters (an ellipsis marks a cut).
std::string CleanServerText(std::string_view text, std::size_t maxChars);

// A JSON string literal, quotes included; also escapes <, >, & and U+2028/U+2029.
std::string JsonString(std::string_view text);

// 2026-12-11T09:15:02Z
std::string IsoUtcTime(std::int64_t msSince1970);

// The plain JSON object: event, server, head_spid, login, host, program, statement, blocked,
// longest_wait_s, summed_wait_s, time, and for deadlocks victim_spid and survivors.
std::string NoticeJson(const TNotice& notice);
// Slack's incoming-webhook shape ({"text": ...}) and a Teams adaptive card in the message
// shape that both connectors and workflows take.
std::string NoticeSlack(const TNotice& notice);
std::string NoticeTeams(const TNotice& notice);
std::string NoticeBody(const TNotice& notice, TWebhookFormat format);

// One line naming what happened: "Blocking on PROD-SQL01: head blocker SPID 51".
std::string NoticeHeadline(const TNotice& notice);
// The notice as lines of text (the e-mail's body, Slack's text).
std::string NoticeText(const TNotice& notice);

// A whole RFC 5322 message with CRLF line ends. from and the addresses in to must have passed
// CheckMailAddresses.
std::string NoticeMail(const TNotice& notice, const std::string& from, const std::string& to,
                       std::int64_t nowMs);
