// Parsing request heads: what is complete, what needs more bytes, what is too large or bad.
#include "HttpRequest.h"

#include <gtest/gtest.h>

namespace {

TEST(HttpRequest, Status) {
    const std::string big(8200, 'x');
    const struct {
        std::string Bytes;
        THeadStatus Status;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", THeadStatus::Complete},
        {"GET /metrics HTTP/1.0\n\n", THeadStatus::Complete},
        {"\r\nGET / HTTP/1.1\r\n\r\n", THeadStatus::Complete},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n", THeadStatus::Incomplete},
        {"GET /metr", THeadStatus::Incomplete},
        {"", THeadStatus::Incomplete},
        {"GET /metrics HTTP/2.0\r\n\r\n", THeadStatus::Bad},
        {"GET /metrics\r\n\r\n", THeadStatus::Bad},
        {"GET  /metrics HTTP/1.1\r\n\r\n", THeadStatus::Bad},
        {"G(T /metrics HTTP/1.1\r\n\r\n", THeadStatus::Bad},
        {"GET /a\x01 HTTP/1.1\r\n\r\n", THeadStatus::Bad},
        {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", THeadStatus::Bad},
        {"GET / HTTP/1.1\r\nno colon\r\n\r\n", THeadStatus::Bad},
        {"GET / HTTP/1.1\r\n folded: x\r\n\r\n", THeadStatus::Bad},
        {std::string("\x16\x03\x01\x02\x00\x01\n", 7), THeadStatus::Bad}, // TLS to plain HTTP
        {"GET / HTTP/1.1\r\nX: " + big + "\r\n\r\n", THeadStatus::TooLarge},
        {"GET / HTTP/1.1\r\nX: " + big, THeadStatus::TooLarge},
        {std::string(8192, '\n'), THeadStatus::TooLarge},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseRequestHead(c.Bytes, 8192).Status, c.Status) << c.Bytes.substr(0, 60);
    }
}

TEST(HttpRequest, LimitCountsTheWholeHead) {
    const std::string line = "GET / HTTP/1.1\r\n";
    std::string head = line + "X: " + std::string(8192 - line.size() - 7, 'y') + "\r\n\r\n";
    ASSERT_EQ(head.size(), 8192u);
    EXPECT_EQ(ParseRequestHead(head, 8192).Status, THeadStatus::Complete);
    head.insert(line.size() + 3, "y");
    EXPECT_EQ(ParseRequestHead(head, 8192).Status, THeadStatus::TooLarge);
}

TEST(HttpRequest, FieldsAndPipelining) {
    const std::string bytes = "GET /metrics?name=x HTTP/1.1\r\nAccept:  text/plain \r\n"
                              "ACCEPT: other\r\nHost: h\r\n\r\nGET /-/healthy HTTP/1.1\r\n\r\n";
    const THeadParse first = ParseRequestHead(bytes, 8192);
    ASSERT_EQ(first.Status, THeadStatus::Complete);
    EXPECT_EQ(first.Request.Method, "GET");
    EXPECT_EQ(first.Request.Target, "/metrics?name=x");
    EXPECT_EQ(first.Request.Path(), "/metrics");
    EXPECT_EQ(first.Request.Header("accept"), "text/plain");
    EXPECT_FALSE(first.Request.HasHeader("Authorization"));
    const THeadParse second =
        ParseRequestHead(std::string_view(bytes).substr(first.Consumed), 8192);
    ASSERT_EQ(second.Status, THeadStatus::Complete);
    EXPECT_EQ(second.Request.Path(), "/-/healthy");
}

TEST(HttpRequest, KeepAlive) {
    const struct {
        const char* Head;
        bool KeepAlive;
    } cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", true},
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nConnection: Close\r\n\r\n", false},
        {"GET / HTTP/1.0\r\n\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
    };
    for (const auto& c : cases) {
        const THeadParse parse = ParseRequestHead(c.Head, 8192);
        ASSERT_EQ(parse.Status, THeadStatus::Complete) << c.Head;
        EXPECT_EQ(parse.Request.KeepAlive(), c.KeepAlive) << c.Head;
    }
}

} // namespace
