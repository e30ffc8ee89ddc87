// The history window over what a real monitor recorded of the demo: the replay shows the tree
// refresh by refresh (53 appears under 52 under 51 at the refresh after it began to wait), the
// keyboard steps through it, the causes rank payroll first, and the timeline has the episode
// under its bars. A picture of the replay is kept beside the test for a look.
#include "CausesPane.h"
#include "EpisodeReplay.h"
#include "HistoryF.h"
#include "HistoryRecorder.h"
#include "HistoryWriter.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "TimelineStrip.h"
#include "UiTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <atomic>
#include <gtest/gtest.h>

using tallyvane::testsupport::TdsSimProcess;

namespace {

class RecordingOwner : public IServerOwner {
public:
    explicit RecordingOwner(THistoryRecorder& recorder) : Recorder(recorder) {}
    void ServerChanged(TServerData& server) override {
        Recorder.ServerChanged(server, {true, 3000, 3000});
    }
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string&, const std::exception&) override {}
    THistoryRecorder& Recorder;
};

// The row of the replay with that SPID, or -1.
int RowOf(const TProcessModel& model, std::int32_t spid) {
    for (int row = 0; row < model.RowCount(); ++row)
        if (model.Spid(row) == spid)
            return row;
    return -1;
}

// SPIDs from the row up to its top, "53<52<51".
std::string Path(const TProcessModel& model, std::int32_t spid) {
    std::string path;
    for (int row = RowOf(model, spid); row >= 0; row = model.Parent(row))
        path += (path.empty() ? "" : "<") + std::to_string(model.Spid(row));
    return path;
}

class HistoryReplayTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    std::string File = Dir.filePath("history.sqlite").toStdString();
    const std::int64_t Base = (TEpisodeDetector::SystemClock() - 3600'000) / 1000 * 1000;
    std::atomic<std::int64_t> Now{Base};

    void SetUp() override {
        ResetSettings();
        TdsSimProcess sim("demo");
        THistoryWriter writer(File, 14, [this] { return Now.load(); });
        writer.Start();
        THistoryRecorder recorder([this] { return Now.load(); });
        recorder.SetWriter(&writer);
        RecordingOwner owner(recorder);
        TServerData server(
            owner, {"PROD-SQL01", true, sim.oledbConnectionString(0, "sa", "Sim-Admin-1"), 5});
        for (double t = 0.5; t < 31; t += 1) {
            sim.setClock(0, t);
            Now = Base + std::llround(t * 1000);
            server.Refresh();
            ASSERT_TRUE(
                WaitUntil([&] { return !server.Busy && !server.ADOConnection.HasPendingWork(); }));
        }
        recorder.StopAll();
        recorder.SetWriter(nullptr);
        ASSERT_TRUE(writer.Flush());
    }
};

TEST_F(HistoryReplayTest, TheReplayShowsTheTreeAsItStoodAtEachRefresh) {
    THistoryF window(File, {});
    window.FromDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Base - 60'000));
    window.ShowB_Click();
    window.resize(1200, 800);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    // The demo's long episode: head 51.
    int index = -1;
    for (int i = 0; i < window.EpisodesTV->topLevelItemCount(); ++i)
        if (window.EpisodesTV->topLevelItem(i)->text(THistoryF::LoginC) == "payroll")
            index = i;
    ASSERT_GE(index, 0);
    window.EpisodesTV->setCurrentItem(window.EpisodesTV->topLevelItem(index));
    window.DetailsTC->setCurrentWidget(window.ReplayP);
    TEpisodeReplay& replay = *window.ReplayP;
    ASSERT_EQ(replay.FrameCount(), 23) << "a frame per refresh from 3.5 s to 25.5 s";
    EXPECT_EQ(replay.CurrentFrame(), 22) << "the last refresh first";

    // Home on the slider, then step by step with the keyboard.
    QTest::keyClick(replay.FrameS, Qt::Key_Home);
    EXPECT_EQ(replay.CurrentFrame(), 0);
    EXPECT_EQ(Path(replay.Model(), 52), "52<51");
    EXPECT_EQ(RowOf(replay.Model(), 53), -1) << "3.5 s: 53 does not wait yet";
    QTest::keyClick(replay.FrameS, Qt::Key_Right);
    QTest::keyClick(replay.FrameS, Qt::Key_Right);
    EXPECT_EQ(RowOf(replay.Model(), 53), -1) << "5.5 s";
    // Alt+Right anywhere on the page, here from the tree.
    window.activateWindow();
    (void)QTest::qWaitForWindowActive(&window); // offscreen windows may never be active
    replay.ReplayTL->setFocus();
    QTest::keyClick(replay.ReplayTL, Qt::Key_Right, Qt::AltModifier);
    EXPECT_EQ(replay.CurrentFrame(), 3);
    EXPECT_EQ(Path(replay.Model(), 53), "53<52<51") << "6.5 s: 53 waits behind 52";
    EXPECT_NE(replay.FrameL->text().indexOf("Refresh 4 of 23"), -1)
        << replay.FrameL->text().toStdString();
    EXPECT_NE(replay.FrameL->text().indexOf("2 blocked"), -1);
    // The head is drawn as the live view draws it: it holds up two sessions.
    EXPECT_EQ(replay.Model().HeadBlocking(RowOf(replay.Model(), 51)), 2);
    QApplication::processEvents();
    const QString picture =
        QDir(QStringLiteral(TALLYVANE_ARTIFACTS_DIR)).filePath("history-replay.png");
    QDir().mkpath(QStringLiteral(TALLYVANE_ARTIFACTS_DIR));
    EXPECT_TRUE(window.grab().save(picture)) << picture.toStdString();
    replay.NextB->click();
    EXPECT_EQ(replay.CurrentFrame(), 4);
    replay.LastB->click();
    EXPECT_EQ(RowOf(replay.Model(), 53), -1) << "25.5 s: 53 went at 20 s";

    // The causes rank the demo's head login first; a double click lists its episodes.
    window.PagesTC->setCurrentWidget(window.CausesP);
    ASSERT_GT(window.CausesP->CausesTV->topLevelItemCount(), 0)
        << window.CausesP->StatusL->text().toStdString();
    QTreeWidgetItem* top = window.CausesP->CausesTV->topLevelItem(0);
    EXPECT_EQ(top->text(TCausesPane::CauseC).toStdString(), "payroll");
    window.CausesP->ListEpisodes(0);
    EXPECT_EQ(window.CausesP->EpisodesTV->topLevelItemCount(), 1);
    const QString csv = Dir.filePath("causes.csv");
    window.CausesP->ExportTo(csv);
    QFile file(csv);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[1].startsWith("1,Head login,payroll,1,")) << lines[1].toStdString();

    // The timeline: one strip, and a click on the episode's minute selects it.
    window.PagesTC->setCurrentIndex(0);
    TTimelineStrip& timeline = *window.TimelineS;
    ASSERT_EQ(timeline.ServerCount(), 1) << timeline.Message().toStdString();
    std::int64_t episode = 0;
    const QString figures = timeline.FiguresAt(timeline.PointOf(0, Base + 10'000), &episode);
    EXPECT_NE(figures.indexOf("Blocked waits added up"), -1) << figures.toStdString();
    EXPECT_NE(episode, 0);
    window.EpisodesTV->setCurrentItem(nullptr);
    QTest::mouseClick(&timeline, Qt::LeftButton, {}, timeline.PointOf(0, Base + 10'000));
    ASSERT_NE(window.EpisodesTV->currentItem(), nullptr);

    // On a dark theme the strip takes the palette's colours: a picture to look at (run with
    // QT_SCALE_FACTOR=2 for the 200 % one), and the labels must not vanish into the ground.
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Window, QColor(45, 45, 45));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(80, 150, 255));
    timeline.setPalette(dark);
    window.FromDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Base - 60'000));
    window.ToDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Base + 120'000));
    window.ShowB_Click();
    timeline.resize(1000, 120);
    const QImage image = timeline.grab().toImage();
    EXPECT_TRUE(image.save(
        QDir(QStringLiteral(TALLYVANE_ARTIFACTS_DIR)).filePath("history-timeline-dark.png")));
    int light = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width() / 8; ++x)
            light += qGray(image.pixel(x, y)) > 150;
    EXPECT_GT(light, 20) << "the server's name is drawn in the light text colour";
}

// A file of nothing: every page says so instead of failing.
TEST(HistoryReplayEmpty, ARangeWithNoEpisodesSaysSo) {
    QTemporaryDir dir;
    const std::string file = dir.filePath("history.sqlite").toStdString();
    { THistoryStore store(file, THistoryStore::TMode::Write); }
    THistoryF window(file, {});
    EXPECT_EQ(window.EpisodesTV->topLevelItemCount(), 0);
    EXPECT_EQ(window.ReplayP->FrameCount(), 0);
    EXPECT_NE(window.CausesP->StatusL->text().indexOf("No blocking episodes"), -1)
        << window.CausesP->StatusL->text().toStdString();
    EXPECT_NE(window.TimelineS->Message().indexOf("No blocking"), -1);
}

} // namespace
