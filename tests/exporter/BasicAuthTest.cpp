// Basic authentication: which Authorization headers pass, the password file, and the
// comparison itself.
#include "BasicAuth.h"

#include "../config/TempFolder.h"

#include <QByteArray>
#include <gtest/gtest.h>

namespace {

TEST(BasicAuth, AuthorizationHeaders) {
    const TBasicAuth auth("prometheus", "s3cret:with colon");
    const std::string good = QByteArray("prometheus:s3cret:with colon").toBase64().toStdString();
    const struct {
        std::string Header;
        bool Accepted;
    } cases[] = {
        {"Basic " + good, true},
        {"basic " + good, true},
        {"  BASIC   " + good + "  ", true},
        {"", false},
        {"Basic", false},
        {"Basic ", false},
        {"Bearer " + good, false},
        {"Basic " + QByteArray("prometheus:s3cret").toBase64().toStdString(), false},
        {"Basic " + QByteArray("prometheus:s3cret:with colonX").toBase64().toStdString(), false},
        {"Basic " + QByteArray("Prometheus:s3cret:with colon").toBase64().toStdString(), false},
        {"Basic " + QByteArray(":").toBase64().toStdString(), false},
        {"Basic !!notbase64!!", false},
        {"Basic " + good.substr(0, good.size() - 4), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(auth.Accepts(c.Header), c.Accepted) << c.Header;
    }
}

TEST(BasicAuth, PasswordFile) {
    TTempFolder folder;
    const struct {
        std::string Content;
        std::string Password; // empty: refused
    } cases[] = {
        {"pw\n", "pw"}, {"pw\r\n", "pw"},
        {"pw", "pw"},   {" with blanks \nsecond line\n", " with blanks "},
        {"\npw\n", ""}, {"", ""},
    };
    for (const auto& c : cases) {
        const std::string path = folder.File("password");
        std::ofstream(path, std::ios::binary) << c.Content;
        if (c.Password.empty()) {
            EXPECT_THROW(TBasicAuth::ReadPasswordFile(path), std::exception) << c.Content;
        } else {
            EXPECT_EQ(TBasicAuth::ReadPasswordFile(path), c.Password);
        }
    }
    EXPECT_THROW(TBasicAuth::ReadPasswordFile(folder.File("missing")), std::exception);
}

TEST(BasicAuth, ConstantTimeEqual) {
    EXPECT_TRUE(ConstantTimeEqual("", ""));
    EXPECT_TRUE(ConstantTimeEqual("abc", "abc"));
    EXPECT_FALSE(ConstantTimeEqual("abc", "abd"));
    EXPECT_FALSE(ConstantTimeEqual("abc", "ab"));
    EXPECT_FALSE(ConstantTimeEqual("", "a"));
    EXPECT_FALSE(ConstantTimeEqual(std::string("a\0b", 3), std::string("a\0c", 3)));
    // A longer input whose first bytes match is no match.
    EXPECT_FALSE(ConstantTimeEqual(std::string("abc\0", 4), "abc"));
}

} // namespace
