// The command line: values, both spellings of a valued option, and the errors a DBA gets.
#include "ExporterOptions.h"

#include <gtest/gtest.h>

namespace {

TEST(ExporterOptions, Defaults) {
    const TOptionsParse parse = ParseExporterOptions({});
    ASSERT_EQ(parse.Error, "");
    EXPECT_EQ(parse.Options.ListenHost, "127.0.0.1");
    EXPECT_EQ(parse.Options.ListenPort, 9187);
    EXPECT_EQ(parse.Options.Shard.Count, 1u);
    EXPECT_FALSE(parse.Options.Once);
}

TEST(ExporterOptions, Values) {
    const TOptionsParse parse = ParseExporterOptions(
        {"--listen", "[::1]:9300", "--servers=/etc/tv/servers.ini", "--settings", "/etc/tv/s.ini",
         "--shard", "2/3", "--once", "--auth-user", "prom", "--auth-password-file=/p", "--tls-cert",
         "c.pem", "--tls-key", "k.pem", "--handshake-timeout", "0.5", "--deadlock-interval", "0"});
    ASSERT_EQ(parse.Error, "");
    const TExporterOptions& o = parse.Options;
    EXPECT_EQ(o.ListenHost, "::1");
    EXPECT_EQ(o.ListenPort, 9300);
    EXPECT_EQ(o.ServersFile, "/etc/tv/servers.ini");
    EXPECT_EQ(o.SettingsFile, "/etc/tv/s.ini");
    EXPECT_EQ(o.Shard.Index, 2u);
    EXPECT_EQ(o.Shard.Count, 3u);
    EXPECT_TRUE(o.Once);
    EXPECT_EQ(o.AuthUser, "prom");
    EXPECT_EQ(o.AuthPasswordFile, "/p");
    EXPECT_EQ(o.TlsCertFile, "c.pem");
    EXPECT_EQ(o.TlsKeyFile, "k.pem");
    EXPECT_EQ(o.HandshakeTimeoutMs, 500u);
    EXPECT_EQ(ParseExporterOptions({}).Options.HandshakeTimeoutMs, 10000u);
    EXPECT_EQ(o.DeadlockIntervalSeconds, 0u);
    EXPECT_EQ(ParseExporterOptions({}).Options.DeadlockIntervalSeconds, 60u);
}

TEST(ExporterOptions, Errors) {
    const std::vector<std::vector<std::string>> cases = {
        {"--listen", "9187"},
        {"--listen", "127.0.0.1:-1"},
        {"--listen", "127.0.0.1:"},
        {"--listen", "127.0.0.1:65536"},
        {"--listen", ":9187"},
        {"--listen", "::1:9187"},
        {"--listen", "[::1]9187"},
        {"--listen"},
        {"--shard", "3/2"},
        {"--bogus"},
        {"--once=yes"},
        {"--auth-user", "prom"},
        {"--auth-password-file", "/p"},
        {"--tls-cert", "c.pem"},
        {"--tls-key", "k.pem"},
        {"servers.ini"},
        {"--handshake-timeout", "0"},
        {"--handshake-timeout", "0.05"},
        {"--handshake-timeout", "301"},
        {"--handshake-timeout", "nan"},
        {"--handshake-timeout", "10s"},
        {"--handshake-timeout", ""},
        {"--deadlock-interval", "-1"},
        {"--deadlock-interval", "86401"},
        {"--deadlock-interval", "1m"},
        {"--deadlock-interval", ""},
    };
    for (const auto& args : cases) {
        EXPECT_NE(ParseExporterOptions(args).Error, "") << args.front();
    }
}

} // namespace
