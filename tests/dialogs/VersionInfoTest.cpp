// The version reader over small fixture files, the version text, and the about dialog.
#include "AboutF.h"
#include "DesktopErrors.h"
#include "FileVersionInfo.h"
#include "ModalDriver.h"
#include "VersionRecord.h"

#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

using namespace dialogtest;
using namespace VersionRecord;

namespace {

constexpr TText AllTexts[] = {
    {"CompanyName", "Acme"},      {"FileDescription", "Monitor"}, {"FileVersion", "1.4.10.44"},
    {"InternalName", "tv"},       {"LegalCopyright", "(C) Acme"}, {"OriginalFilename", "tv.exe"},
    {"ProductName", "Tallyvane"}, {"ProductVersion", "1.4"},      {"Comments", "Ünïcode ok"},
};
constexpr TTranslation Russian[] = {{0x0419, 0x04E3}};
constexpr TTable RussianTable[] = {{"041904E3", AllTexts, std::size(AllTexts)}};

TVersionLayout Layout(std::uint16_t a, std::uint16_t b, std::uint16_t c, std::uint16_t d) {
    TVersionLayout layout;
    layout.Major = a;
    layout.Minor = b;
    layout.Release = c;
    layout.Build = d;
    layout.Translations = Russian;
    layout.TranslationCount = 1;
    layout.Tables = RussianTable;
    layout.TableCount = 1;
    return layout;
}

class VersionFixture : public testing::Test {
protected:
    // A file of some junk, the record, more junk.
    QString Write(const TVersionLayout& layout, const QByteArray& before = QByteArray(100, 'x'),
                  const QByteArray& after = QByteArray(100, 'y')) {
        const TBytes record = Encode(layout);
        return WriteBytes(before +
                          QByteArray(reinterpret_cast<const char*>(record.Data.data()),
                                     static_cast<qsizetype>(record.Size)) +
                          after);
    }
    QString WriteBytes(const QByteArray& bytes) {
        const QString path = Dir.filePath(QStringLiteral("file%1.bin").arg(++Count));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
    QTemporaryDir Dir;
    int Count = 0;
};

template <class E>
std::string ErrorOf(const QString& file) {
    try {
        TFileVersionInfo info;
        info.SetFilename(file);
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("wrong kind: ") + e.what();
    }
    return "no error";
}

} // namespace

TEST_F(VersionFixture, NumbersAreWrittenWithoutLeadingZerosUpTo65535) {
    EXPECT_EQ(GetVersionText(Write(Layout(1, 0, 0, 0))), QStringLiteral("1.0.0.0"));
    EXPECT_EQ(GetVersionText(Write(Layout(2, 10, 300, 65535))), QStringLiteral("2.10.300.65535"));
    EXPECT_EQ(GetVersionText(Write(Layout(65535, 65535, 65535, 65535))),
              QStringLiteral("65535.65535.65535.65535"));
}

TEST_F(VersionFixture, ThePreReleaseFlagAloneAddsBeta) {
    const struct {
        std::uint32_t flags;
        std::uint32_t mask;
        const char* text;
    } cases[] = {
        {2, 0x3F, "1.4.10.44 beta"},    {2, 0, "1.4.10.44 beta"}, // the mask is not consulted
        {0x3F, 0x3F, "1.4.10.44 beta"}, {1, 0x3F, "1.4.10.44"},   {0x3D, 0x3F, "1.4.10.44"},
    };
    for (const auto& c : cases) {
        TVersionLayout layout = Layout(1, 4, 10, 44);
        layout.Flags = c.flags;
        layout.FlagsMask = c.mask;
        EXPECT_EQ(GetVersionText(Write(layout)), QString::fromLatin1(c.text)) << c.flags;
    }
}

TEST_F(VersionFixture, ReadsTheNineTextsOfTheFirstTranslation) {
    TFileVersionInfo info;
    info.SetFilename(Write(Layout(1, 4, 10, 44)));
    EXPECT_EQ(info.LanguageInfo, QStringLiteral("041904E3"));
    EXPECT_EQ(info.CompanyName, QStringLiteral("Acme"));
    EXPECT_EQ(info.FileDescription, QStringLiteral("Monitor"));
    EXPECT_EQ(info.FileVersion, QStringLiteral("1.4.10.44"));
    EXPECT_EQ(info.InternalName, QStringLiteral("tv"));
    EXPECT_EQ(info.LegalCopyright, QStringLiteral("(C) Acme"));
    EXPECT_EQ(info.OriginalFilename, QStringLiteral("tv.exe"));
    EXPECT_EQ(info.ProductName, QStringLiteral("Tallyvane"));
    EXPECT_EQ(info.ProductVersion, QStringLiteral("1.4"));
    EXPECT_EQ(info.Comments, QStringLiteral("Ünïcode ok"));
    EXPECT_EQ(info.MajorVersion, 1);
    EXPECT_EQ(info.Build, 44);
    EXPECT_FALSE(info.PreRelease);
}

TEST_F(VersionFixture, AMissingTextReadsNaForThatPropertyOnly) {
    static constexpr TText Some[] = {{"CompanyName", "Acme"}, {"ProductName", ""}};
    static constexpr TTable Table[] = {{"041904e3", Some, std::size(Some)}}; // keys ignore case
    TVersionLayout layout = Layout(1, 0, 0, 0);
    layout.Tables = Table;
    TFileVersionInfo info;
    info.SetFilename(Write(layout));
    EXPECT_EQ(info.CompanyName, QStringLiteral("Acme"));
    EXPECT_EQ(info.ProductName, QString()); // present but empty is not missing
    EXPECT_EQ(info.FileDescription, QStringLiteral("n/a"));
    EXPECT_EQ(info.Comments, QStringLiteral("n/a"));
}

TEST_F(VersionFixture, TextsAreLookedUpUnderTheFirstTranslationOnly) {
    // The table is there, but under another translation: every text is missing.
    static constexpr TTranslation Two[] = {{0x0409, 0x04B0}, {0x0419, 0x04E3}};
    TVersionLayout layout = Layout(3, 1, 0, 0);
    layout.Translations = Two;
    layout.TranslationCount = 2;
    TFileVersionInfo info;
    info.SetFilename(Write(layout));
    EXPECT_EQ(info.LanguageInfo, QStringLiteral("040904B0"));
    EXPECT_EQ(info.CompanyName, QStringLiteral("n/a"));
    EXPECT_EQ(info.ProductVersion, QStringLiteral("n/a"));
}

TEST_F(VersionFixture, LanguageInfoKeepsFourDigitsEach) {
    static constexpr TTranslation Zeros[] = {{0x0400, 0x0000}};
    TVersionLayout layout = Layout(1, 0, 0, 0);
    layout.Translations = Zeros;
    TFileVersionInfo info;
    info.SetFilename(Write(layout));
    EXPECT_EQ(info.LanguageInfo, QStringLiteral("04000000"));
}

TEST_F(VersionFixture, ErrorsCarryTheirMessages) {
    const QString missing = Dir.filePath(QStringLiteral("missing.exe"));
    EXPECT_EQ(ErrorOf<EFilerError>(missing), "File not found: " + missing.toStdString());
    EXPECT_EQ(ErrorOf<EFilerError>(Dir.path()), "File not found: " + Dir.path().toStdString());
    EXPECT_EQ(ErrorOf<EFilerError>(QString()), "File not found: ");

    const QString plain = WriteBytes("no record in here");
    EXPECT_EQ(ErrorOf<EReadError>(plain),
              "Invalid version info record in file " + plain.toStdString());
    const QString empty = WriteBytes(QByteArray());
    EXPECT_EQ(ErrorOf<EReadError>(empty),
              "Invalid version info record in file " + empty.toStdString());

    // A record cut short (no end signature) is no record.
    const TBytes record = Encode(Layout(1, 0, 0, 0));
    const QString cut = WriteBytes(QByteArray(reinterpret_cast<const char*>(record.Data.data()),
                                              static_cast<qsizetype>(record.Size - 5)));
    EXPECT_EQ(ErrorOf<EReadError>(cut), "Invalid version info record in file " + cut.toStdString());

    // Numbers without a translation entry.
    TVersionLayout noLanguage = Layout(1, 2, 3, 4);
    noLanguage.TranslationCount = 0;
    const QString untranslated = Write(noLanguage);
    EXPECT_EQ(ErrorOf<EReadError>(untranslated),
              "Invalid language info in file " + untranslated.toStdString());
}

TEST_F(VersionFixture, ABrokenCandidateBeforeTheRecordIsSkipped) {
    const auto start = VersionRecordStart();
    const QByteArray decoy =
        QByteArray(reinterpret_cast<const char*>(start.data()), 16) + "\xFF\xFF";
    EXPECT_EQ(GetVersionText(Write(Layout(7, 8, 9, 10), decoy)), QStringLiteral("7.8.9.10"));
}

TEST_F(VersionFixture, RereadingClearsTheTextsOfTheFileBefore) {
    TFileVersionInfo info;
    info.SetFilename(Write(Layout(1, 0, 0, 0)));
    ASSERT_EQ(info.CompanyName, QStringLiteral("Acme"));
    const QString plain = WriteBytes("nothing");
    EXPECT_THROW(info.SetFilename(plain), EReadError);
    EXPECT_EQ(info.Filename(), plain);
    EXPECT_TRUE(info.CompanyName.isEmpty());
}

TEST(VersionOfTheProgram, AnEmptyNameReadsTheRunningProgram) {
    // The test program links the same version record as tallyvane.
    QString expected = QStringLiteral(TALLYVANE_PROJECT_VERSION);
    while (expected.count(u'.') < 3)
        expected += QStringLiteral(".0");
    if (TALLYVANE_TEST_PRERELEASE)
        expected += QStringLiteral(" beta");
    EXPECT_EQ(GetVersionText(QString()), expected);
    TFileVersionInfo info;
    info.SetFilename(QCoreApplication::applicationFilePath());
    EXPECT_EQ(info.ProductName, QStringLiteral("Tallyvane"));
    EXPECT_EQ(info.LanguageInfo, QStringLiteral("0409FDE9"));
}

namespace {

class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void Open(const QUrl& url) { Opened << url; }
};

} // namespace

TEST(AboutDialog, ShowsTheVersionWithoutASpaceAndOpensTheWebAddress) {
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "Open");
    OnNext<TAboutF>([&](TAboutF* f) {
        EXPECT_EQ(f->windowTitle(), QStringLiteral("About Tallyvane"));
        EXPECT_EQ(f->Label1->text(), QStringLiteral("Tallyvane ver.") + GetVersionText(QString()));
        EXPECT_FALSE(f->Image1->pixmap().isNull());
        EXPECT_EQ(f->focusWidget(), f->Button1);
        QTest::mouseClick(f->Label3, Qt::LeftButton);
        f->Button1->click();
    });
    EXPECT_TRUE(ShowAbout());
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    ASSERT_EQ(catcher.Opened.size(), 1);
    EXPECT_EQ(catcher.Opened.front(), QUrl(QStringLiteral("https://tallyvane.example.org/")));
}

#include "VersionInfoTest.moc"
