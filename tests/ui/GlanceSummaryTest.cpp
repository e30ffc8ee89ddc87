// The blocking picture outside the process view: the summary line, the tray tooltip's worst
// server, the error log folding repeats, muting a server, and the CSV snapshot.
#include "DisplayText.h"
#include "ErrorLog.h"
#include "Errors.h"
#include "Icons.h"
#include "MuteState.h"
#include "ProcessExport.h"
#include "ProcessList.h"
#include "StatusSummary.h"
#include "UiTestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QLocale>
#include <QTest>
#include <QTextDocument>
#include <algorithm>
#include <gtest/gtest.h>

namespace {

class GlanceSummaryTest : public testing::Test {
protected:
    TNullOwner Owner;
    QLocale Saved;
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(Saved); }
    std::unique_ptr<TServerData> Server(const std::string& name,
                                        const std::vector<TTestRow>& rows) {
        auto s = MakeMonitor(Owner, name);
        s->Enabled = true;
        FillSnapshot(*s, rows);
        for (const TTestRow& r : rows) // as the monitor reads it
            if (r.Blocked > 0)
                s->MaxWaitTime = std::max(s->MaxWaitTime, r.WaitTime);
        return s;
    }
};

TEST_F(GlanceSummaryTest, SummaryLineOfAServer) {
    // 51 heads 52 <- 53 and blocks 54; 60 heads 61; 70 is idle.
    auto prod = Server("PROD-SQL01", {{51, 0},
                                      {60, 0},
                                      {70, 0},
                                      {52, 51, 26000},
                                      {53, 52, 9000},
                                      {54, 51, 4000},
                                      {61, 60, 500}});
    EXPECT_EQ(ServerSummary(*prod), "PROD-SQL01 · 7 sessions · 2 head blockers · 4 blocked · "
                                    "longest wait 26.0 s (SPID 52 ← 51)");
    auto calm = Server("CALM", {{51, 0}});
    EXPECT_EQ(ServerSummary(*calm), "CALM · 1 session · 0 head blockers · 0 blocked");
    auto one = Server("ONE", {{51, 0}, {52, 51, 1234}});
    EXPECT_EQ(ServerSummary(*one),
              "ONE · 2 sessions · 1 head blocker · 1 blocked · longest wait 1.2 s (SPID 52 ← 51)");

    calm->State = 2;
    EXPECT_EQ(ServerSummary(*calm), "CALM · error (see the error log)");
    calm->Enabled = false;
    EXPECT_EQ(ServerSummary(*calm), "CALM · monitoring off");

    MuteServer(*one, TMuteSpan::UntilRestart);
    EXPECT_TRUE(ServerSummary(*one).endsWith(" · muted until restart"));
    MuteServer(*one, TMuteSpan::Minutes15);
    EXPECT_TRUE(ServerSummary(*one).contains(" · muted until "))
        << ServerSummary(*one).toStdString();
    MuteServer(*one, TMuteSpan::Off);
    EXPECT_FALSE(ServerSummary(*one).contains("muted"));
}

TEST_F(GlanceSummaryTest, TrayTooltipListsLiveBlockingFirstThenErrorsWithinTheLimit) {
    auto calm = Server("CALM", {{51, 0}});
    auto small = Server("SMALL", {{51, 0}, {52, 51, 1000}});
    auto big = Server("BIG", {{51, 0}, {52, 51, 9000}, {53, 51, 2000}});
    auto dr = Server("DR", {});
    dr->State = 2;
    const QString caption = "MS Tallyvane ver.1.2.3.4";
    EXPECT_EQ(TrayToolTip(caption, {}), caption);
    EXPECT_EQ(TrayToolTip(caption, {calm.get()}), caption);
    // Worst blocking first whatever the node order; an error follows and hides none of it.
    EXPECT_EQ(TrayToolTip(caption, {dr.get(), calm.get(), small.get(), big.get()}),
              caption + "\nBIG: 2 blocked, longest wait 9.0 s\nSMALL: 1 blocked, longest wait 1.0 s"
                        "\nDR: error");
    // Muted servers come after live blocking, be it an error or blocking of their own.
    MuteServer(*dr, TMuteSpan::UntilRestart);
    MuteServer(*big, TMuteSpan::UntilRestart);
    EXPECT_EQ(TrayToolTip(caption, {dr.get(), big.get(), small.get()}),
              caption +
                  "\nSMALL: 1 blocked, longest wait 1.0 s\nBIG: 2 blocked, longest wait 9.0 s "
                  "(muted)\nDR: error (muted)");
    // Switched off: not listed.
    small->Enabled = false;
    EXPECT_EQ(TrayToolTip(caption, {small.get()}), caption);
}

TEST_F(GlanceSummaryTest, TrayTooltipCountsWhatDoesNotFitAndCutsOnlyALoneLongName) {
    const QString caption = "MS Tallyvane ver.1.2.3.4";
    std::vector<std::unique_ptr<TServerData>> many;
    std::vector<TServerData*> servers;
    for (int i = 0; i < 9; ++i) {
        many.push_back(Server("SRV" + std::to_string(i), {{51, 0}, {52, 51, 1000 * (i + 1)}}));
        servers.push_back(many.back().get());
    }
    // (63, where the notification area has no balloons, holds the worst server alone.)
    for (int limit : {127, 255}) {
        const QString tip = TrayToolTip(caption, servers, limit);
        EXPECT_LE(tip.size(), limit);
        const QStringList lines = tip.split('\n');
        ASSERT_GE(lines.size(), 2) << tip.toStdString();
        EXPECT_TRUE(lines[1].startsWith("SRV8: ")) << tip.toStdString(); // the longest wait
        // Every server is either listed or counted, and the counted ones named as far as
        // their names fit, in the same order.
        const int listed = static_cast<int>(lines.size()) - 2;
        const QString more = "+" + QString::number(9 - listed) + " more";
        EXPECT_TRUE(lines.last() == more ||
                    lines.last().startsWith(more + ": SRV" + QString::number(8 - listed)))
            << tip.toStdString();
    }
    // Server names are no markup, controls show as codes, a long name is shortened, and a
    // lone line that still does not fit is cut.
    auto hostile = Server("<b>X\u202E</b>" + std::string(150, 'N'), {{51, 0}, {52, 51, 5000}});
    const QString name = QString("<b>X<U+202E></b>") + QString(23, 'N') + QChar(0x2026);
    EXPECT_EQ(TrayToolTip(caption, {hostile.get()}, 127),
              caption + "\n" + name + ": 1 blocked, longest wait 5.0 s");
    const QString cut = TrayToolTip(caption, {hostile.get()}, 63);
    EXPECT_EQ(cut.size(), 63);
    EXPECT_TRUE(cut.startsWith(caption + "\n" + name.left(20))) << cut.toStdString();
    EXPECT_TRUE(cut.endsWith(QChar(0x2026)));
}

TEST_F(GlanceSummaryTest, ErrorLogFoldsRepeatsOfAServersLatestError) {
    TImageList images = MakeLogImages();
    TErrorLog log(images);
    log.show();
    log.LogError("DR", Exception("refused"));
    log.LogError("PROD", Exception("timeout"));
    // DR fails the same way 720 times (an hour of refreshes): one row, counting.
    for (int i = 0; i < 720; ++i)
        log.LogError("DR", Exception("refused"));
    ASSERT_EQ(log.topLevelItemCount(), 2);
    EXPECT_EQ(log.topLevelItem(0)->text(TErrorLog::ErrServerTLC), "DR");
    EXPECT_TRUE(log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).endsWith(") ×721"))
        << log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).toStdString();
    // The cell cuts a long text off before the count; the tooltip keeps it, with the first time.
    EXPECT_TRUE(
        log.topLevelItem(0)->toolTip(TErrorLog::ErrDescriptionTLC).contains("\n721 times since "))
        << log.topLevelItem(0)->toolTip(TErrorLog::ErrDescriptionTLC).toStdString();
    QCoreApplication::sendPostedEvents(); // the newest row is focused once the loop runs
    EXPECT_EQ(log.currentItem(), log.topLevelItem(0));
    EXPECT_EQ(log.topLevelItem(1)->text(TErrorLog::ErrServerTLC), "PROD");

    // Another error of the same server is a new row; so is the old one coming back after it.
    log.LogError("DR", Exception("login failed"));
    log.LogError("DR", Exception("refused"));
    ASSERT_EQ(log.topLevelItemCount(), 4);
    EXPECT_FALSE(log.topLevelItem(0)->text(TErrorLog::ErrDescriptionTLC).contains("×"));
    // The same message from another server never folds into this one's row.
    log.LogError("PROD", Exception("refused"));
    EXPECT_EQ(log.topLevelItemCount(), 5);

    // Ctrl+C copies the selected row with the header.
    log.setCurrentItem(log.topLevelItem(0));
    log.setFocus();
    QTest::keyClick(&log, Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = QApplication::clipboard()->text().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], "Time\tServer\tDescription");
    EXPECT_TRUE(lines[1].contains("\tPROD\trefused ("));
}

TEST_F(GlanceSummaryTest, MuteSpansAndTheMutedIcon) {
    auto s = Server("S", {{51, 0}});
    const auto now = std::chrono::system_clock::now();
    struct TCase {
        TMuteSpan Span;
        std::chrono::minutes Later; // still muted this long after now
        std::chrono::minutes Over;  // no more muted this long after now
    } cases[] = {{TMuteSpan::Minutes15, std::chrono::minutes(14), std::chrono::minutes(16)},
                 {TMuteSpan::Hour1, std::chrono::minutes(59), std::chrono::minutes(61)}};
    for (const TCase& c : cases) {
        MuteServer(*s, c.Span, now);
        EXPECT_GT(s->MutedUntil, now + c.Later);
        EXPECT_LT(s->MutedUntil, now + c.Over);
        EXPECT_TRUE(s->Muted());
    }
    MuteServer(*s, TMuteSpan::UntilRestart, now);
    EXPECT_EQ(s->MutedUntil, std::chrono::system_clock::time_point::max());
    MuteServer(*s, TMuteSpan::Off, now);
    EXPECT_FALSE(s->Muted());

    TImageList states = MakeServerStatesIL();
    const QImage plain = states.Icon(3).pixmap(16, 16).toImage();
    const QImage muted = MutedIcon(states.Icon(3)).pixmap(16, 16).toImage();
    EXPECT_EQ(muted.size(), plain.size());
    EXPECT_NE(muted, plain);
}

TEST(DisplayTextTest, ControlsShowAsCodesAndMarkupAsCharacters) {
    const struct {
        QString In;
        QString Shown;
    } cases[] = {
        {"plain, Grüße 世界 \U0001F600", "plain, Grüße 世界 \U0001F600"},
        {"HOST-\u202Egnp.exe", "HOST-<U+202E>gnp.exe"},
        {"\u202A\u202B\u202C\u202D\u2066\u2067\u2068\u2069\u200E\u200F\u061C",
         "<U+202A><U+202B><U+202C><U+202D><U+2066><U+2067><U+2068><U+2069><U+200E><U+200F>"
         "<U+061C>"},
        {QString("a") + QChar(0) + "\x1b[2J\x7f\u0085\u009b",
         "a<U+0000><U+001B>[2J<U+007F><U+0085><U+009B>"},
        {"tab\tand\r\nbreaks", "tab\tand\r\nbreaks"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DisplayText(c.In), c.Shown);
        EXPECT_EQ(DisplayText(c.In.toStdString()), c.Shown);
    }
    // A tooltip that Qt would render as HTML comes as HTML that shows the characters.
    for (const QString& text : {QString("<img src=/etc/passwd>"), QString("<b>x</b>\nline 2"),
                                QString("&lt;not a tag"), QString("a < b"), QString("plain")}) {
        const QString tip = ToolTipText(text);
        QTextDocument document;
        if (Qt::mightBeRichText(tip))
            document.setHtml(tip);
        else
            document.setPlainText(tip);
        EXPECT_EQ(document.toPlainText(), text);
    }
    EXPECT_EQ(ToolTipText("plain\ntext"), "plain\ntext"); // left as it was
}

TEST_F(GlanceSummaryTest, CsvSnapshotRebuildsTheTree) {
    EXPECT_EQ(CsvField("plain"), "plain");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField("two\r\nlines"), "\"two\r\nlines\"");
    EXPECT_EQ(CsvField(""), "");

    auto s = Server("S", {{51, 0}, {60, 0, 0, 0, "HÖST, Süd"}, {52, 51, 1500}, {53, 52, 700}});
    s->ProcessList.FindBySpid(52)->LastWaitType = "LCK_M_U";
    s->ProcessList.FindBySpid(52)->WaitResource = "KEY: 5:1 (a)";
    const QString csv = ProcessTreeCsv(s->ProcessList);
    const QStringList lines = csv.split("\r\n");
    ASSERT_EQ(lines.size(), 6); // header, four rows, nothing after the last CR LF
    EXPECT_EQ(lines[0], "Depth,Parent SPID,SPID,DBName,Wait Info,Open Tran,Status,Host Name,App "
                        "Name,Command,Blocked by,Login Name,CPU,Physical IO,MemUsage");
    // Pre-order with depth and the SPID each row hangs under.
    EXPECT_TRUE(lines[1].startsWith("0,,51,"));
    EXPECT_TRUE(lines[2].startsWith("1,51,52,,1.500 sec - LCK_M_U (KEY: 5:1 (a)),"))
        << lines[2].toStdString();
    EXPECT_TRUE(lines[3].startsWith("2,52,53,"));
    EXPECT_TRUE(lines[4].startsWith("0,,60,"));
    EXPECT_TRUE(lines[4].contains(",\"HÖST, Süd\","));
    EXPECT_EQ(lines[5], "");
}

} // namespace
