// "Deadlocks" in the history window: a history file written by the store, read by the pane:
// the list under the window's filter, the selected deadlock's processes and statements, its
// drawing, and the report saved as an .xdl file through the file dialog.
#include "CountText.h"
#include "DeadlockFixtures.h"
#include "DeadlockGraph.h"
#include "DeadlockParser.h"
#include "DeadlockZoom.h"
#include "DeadlocksPane.h"
#include "HistoryF.h"
#include "HistoryStore.h"
#include "ModalDriver.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QWheelEvent>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

namespace {

using namespace dialogtest;

std::string Column(QTreeWidget* tree, int column) {
    std::string text;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        text += (i ? "|" : "") + tree->topLevelItem(i)->text(column).toStdString();
    return text;
}

QByteArray FileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no file)");
}

class DeadlocksView : public testing::Test {
protected:
    QTemporaryDir Dir;
    std::string File = Dir.filePath("h.sqlite").toStdString();
    const std::int64_t Hour = 3600 * 1000;
    const std::int64_t Now = QDateTime::currentMSecsSinceEpoch();
    TDeadlockReport Hostile = deadlocks::TwoWay(Now - 3 * Hour, 66);

    void SetUp() override {
        // A program name that would turn the text around it, a statement with a control
        // character and many lines.
        Hostile.Processes[1].ProgramName = "Report\xE2\x80\xAE"
                                           "Builder";
        Hostile.Processes[0].Statement = "\n\n  SET NOCOUNT ON\x07\nUPDATE dbo.Employees SET a = 1";
        Hostile.Xml = deadlocks::XmlOf(Hostile);
        THistoryStore store(File, THistoryStore::TMode::Write);
        store.Transaction([&] {
            store.SaveDeadlock("PROD-SQL01", deadlocks::TwoWay(Now - Hour));
            store.SaveDeadlock("QA", deadlocks::ThreeWay(Now - 2 * Hour));
            store.SaveDeadlock("PROD-SQL01", Hostile);
            store.SaveDeadlock("PROD-SQL01", deadlocks::TwoWay(Now - 30 * Hour, 58));
        });
    }
};

TEST_F(DeadlocksView, ListsTheWindowsServersAndTimeNewestFirst) {
    THistoryF f(File, {"DEV"});
    TDeadlocksPane* p = f.DeadlocksP;
    EXPECT_EQ(f.PagesTC->tabText(f.PagesTC->indexOf(p)), "&Deadlocks");
    EXPECT_EQ(f.ServerCB->count(), 4) << "all, DEV, and the servers with deadlocks alone";
    EXPECT_EQ(Column(p->DeadlocksTV, TDeadlocksPane::ServerC), "PROD-SQL01|QA|PROD-SQL01")
        << "the last day";
    EXPECT_EQ(Column(p->DeadlocksTV, TDeadlocksPane::VictimC),
              "57 (HR Portal)|71 (Shop)|66 (HR Portal)");
    EXPECT_EQ(Column(p->DeadlocksTV, TDeadlocksPane::SurvivorsC),
              "59 (Report Builder)|70 (Nightly Load), 72|59 (Report<U+202E>Builder)");
    EXPECT_EQ(Column(p->DeadlocksTV, TDeadlocksPane::ObjectsC),
              "HR.dbo.Employees, HR.dbo.Payroll|Sales.dbo.Orders, Sales.dbo.Stock, "
              "Sales.dbo.Customers|HR.dbo.Employees, HR.dbo.Payroll");
    EXPECT_EQ(p->StatusL->text(), "3 deadlocks.");

    f.ServerCB->setCurrentText("QA");
    f.ShowB->click();
    EXPECT_EQ(Column(p->DeadlocksTV, TDeadlocksPane::ServerC), "QA");
    EXPECT_EQ(p->StatusL->text(), "1 deadlock.");
    f.ServerCB->setCurrentIndex(0);
    f.FromDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Now - 48 * Hour));
    f.ToDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Now - 29 * Hour));
    f.ShowB->click();
    EXPECT_EQ(Column(p->DeadlocksTV, TDeadlocksPane::VictimC), "58 (HR Portal)");
    f.ToDTE->setDateTime(QDateTime::fromMSecsSinceEpoch(Now - 40 * Hour));
    f.ShowB->click();
    EXPECT_EQ(p->DeadlocksTV->topLevelItemCount(), 0);
    EXPECT_FALSE(p->SaveXdlB->isEnabled()) << "nothing to save";
}

TEST_F(DeadlocksView, ShowsTheSelectedDeadlocksProcessesStatementsAndDrawing) {
    TDeadlocksPane p(File);
    p.Show({});
    ASSERT_EQ(p.Count(), 4u);
    EXPECT_EQ(Column(p.ProcessesTV, TDeadlocksPane::SpidC), "57|59") << "the newest is selected";
    EXPECT_EQ(Column(p.ProcessesTV, TDeadlocksPane::RoleC), "victim|went on");
    EXPECT_EQ(Column(p.ProcessesTV, TDeadlocksPane::LockModeC), "U|S");
    EXPECT_EQ(Column(p.ProcessesTV, TDeadlocksPane::ObjectC),
              "HR.dbo.Employees (PK_Employees)|HR.dbo.Payroll (IX_Payroll_Employee)");
    EXPECT_EQ(Column(p.ProcessesTV, TDeadlocksPane::StatementC),
              "UPDATE dbo.Employees SET Salary = Salary * 1.1 WHERE Id = 7|"
              "SELECT * FROM dbo.Payroll p JOIN dbo.Employees e ON e.Id = p.EmployeeId");
    EXPECT_EQ(p.StatementE->toPlainText(),
              "UPDATE dbo.Employees SET Salary = Salary * 1.1 WHERE Id = 7");
    p.ProcessesTV->setCurrentItem(p.ProcessesTV->topLevelItem(1));
    EXPECT_TRUE(p.StatementE->toPlainText().startsWith("SELECT * FROM dbo.Payroll"));

    const TGraphLayout& drawn = p.GraphW->Layout();
    EXPECT_EQ(drawn.Boxes.size(), 4u);
    EXPECT_EQ(drawn.Edges.size(), 4u);
    EXPECT_TRUE(drawn.Boxes[0].Victim);

    // The hostile one: its statement's first line that says something, control characters
    // shown, never acted on.
    p.DeadlocksTV->setCurrentItem(p.DeadlocksTV->topLevelItem(2));
    EXPECT_EQ(Column(p.ProcessesTV, TDeadlocksPane::StatementC).substr(0, 22),
              "SET NOCOUNT ON<U+0007>");
    EXPECT_EQ(p.ProcessesTV->topLevelItem(1)->text(TDeadlocksPane::ProgramC),
              "Report<U+202E>Builder");
    EXPECT_EQ(p.StatementE->toPlainText(),
              "\n\n  SET NOCOUNT ON<U+0007>\nUPDATE dbo.Employees SET a = 1");
    EXPECT_EQ(p.GraphW->Layout().Boxes[1].Lines.value(1), "Report<U+202E>Builder");

    // A deadlock that retention took meanwhile.
    {
        THistoryStore writer(File, THistoryStore::TMode::Write);
        writer.DeleteDeadlocksBefore(Now);
    }
    p.DeadlocksTV->setCurrentItem(p.DeadlocksTV->topLevelItem(1));
    EXPECT_EQ(p.ProcessesTV->topLevelItemCount(), 0);
    EXPECT_EQ(p.GraphW->Layout().Boxes.size(), 0u);
    EXPECT_FALSE(p.SaveXdlB->isEnabled());
    EXPECT_EQ(p.StatusL->text(), "This deadlock is no longer in the history.");
}

TEST_F(DeadlocksView, SavesTheReportAsTheServerWroteItThroughTheFileDialog) {
    TDeadlocksPane p(File);
    p.Show({});
    const TDeadlockReport& newest = deadlocks::TwoWay(Now - Hour);
    ASSERT_TRUE(p.SaveXdlB->isEnabled());
    EXPECT_TRUE(p.SuggestedFileName().startsWith("deadlock-PROD_SQL01-"));

    const QString path = Dir.filePath("newest.xdl");
    OnNext<QFileDialog>([&](QFileDialog* d) {
        EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(d->selectedFiles().value(0), QDir::home().filePath(p.SuggestedFileName()));
        ChooseFile(d, path);
    });
    p.SaveXdlB->click();
    const QByteArray saved = FileBytes(path);
    EXPECT_EQ(saved.toStdString(), newest.Xml) << "byte for byte, UTF-8";
    // What SSMS opens: one well-formed <deadlock> document that reads back the same.
    QXmlStreamReader xml(saved);
    ASSERT_TRUE(xml.readNextStartElement());
    EXPECT_EQ(xml.name(), QStringLiteral("deadlock"));
    xml.skipCurrentElement();
    while (!xml.atEnd())
        xml.readNext();
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    std::string error;
    const TDeadlockReport reread = ParseDeadlockReport(saved.toStdString(), &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(reread.Processes.size(), 2u);
    EXPECT_EQ(reread.Processes[1].ProgramName, "Report Builder");
    EXPECT_EQ(p.StatusL->text(), "The report was saved to " + path + ".");

    // Cancelled: nothing written.
    const QString other = Dir.filePath("cancelled.xdl");
    OnNext<QFileDialog>([&](QFileDialog* d) { d->reject(); });
    p.SaveXdlB->click();
    EXPECT_FALSE(QFile::exists(other));

    // A folder that is not there: an error, no file, and the pane goes on. What the server
    // wrote goes out as it came, whatever it holds.
    EXPECT_THROW(p.SaveXdlTo(Dir.filePath("missing/out.xdl")), THistoryError);
    EXPECT_FALSE(QFile::exists(Dir.filePath("missing")));
    p.DeadlocksTV->setCurrentItem(p.DeadlocksTV->topLevelItem(2));
    p.SaveXdlTo(other);
    EXPECT_EQ(FileBytes(other).toStdString(), Hostile.Xml);
}

TEST_F(DeadlocksView, SuggestsAFileNameNoServerNameCanTurnIntoAPath) {
    {
        THistoryStore store(File, THistoryStore::TMode::Write);
        store.Transaction([&] {
            store.SaveDeadlock("../../.ssh/authorized_keys", deadlocks::TwoWay(Now - 60000));
            store.SaveDeadlock("C:\\Windows\\x\xE2\x80\xAE", deadlocks::TwoWay(Now - 120000));
        });
    }
    TDeadlocksPane p(File);
    p.Show({});
    for (int row = 0; row < 2; ++row) {
        p.DeadlocksTV->setCurrentItem(p.DeadlocksTV->topLevelItem(row));
        const QString name = p.SuggestedFileName();
        SCOPED_TRACE(name.toStdString());
        EXPECT_FALSE(name.contains('/') || name.contains('\\') || name.contains(".."));
        EXPECT_TRUE(name.endsWith(".xdl"));
        for (const QChar c : name)
            EXPECT_LT(c.unicode(), 128);
    }
}

TEST_F(DeadlocksView, AHistoryWithoutDeadlocksSaysSo) {
    TDeadlocksPane p(Dir.filePath("none.sqlite").toStdString());
    p.Show({});
    EXPECT_EQ(p.DeadlocksTV->topLevelItemCount(), 0);
    EXPECT_TRUE(p.StatusL->text().startsWith("No blocking history has been recorded yet"));
    EXPECT_FALSE(p.SaveXdlB->isEnabled());
}

} // namespace

namespace {

TEST_F(DeadlocksView, TheDrawingFitsItsPaneAndZoomsWithCtrlWheelAndKeys) {
    TDeadlocksPane p(File);
    p.resize(500, 400);
    p.show();
    p.Show({});
    // The three-way deadlock is wider than its pane.
    p.DeadlocksTV->setCurrentItem(p.DeadlocksTV->topLevelItem(1));
    TDeadlockZoom& zoom = *p.ZoomW;
    const QSizeF drawing = p.GraphW->Layout().Size;
    ASSERT_GT(drawing.width(), zoom.viewport()->width());
    EXPECT_TRUE(zoom.Fitting());
    EXPECT_LT(zoom.Scale(), 1.0);
    EXPECT_LE(p.GraphW->width(), zoom.maximumViewportSize().width());
    EXPECT_LE(p.GraphW->height(), zoom.maximumViewportSize().height());
    const double fitted = zoom.Scale();

    QWheelEvent in(QPointF(10, 10), zoom.mapToGlobal(QPointF(10, 10)), QPoint(), QPoint(0, 120),
                   Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(zoom.viewport(), &in);
    EXPECT_FALSE(zoom.Fitting());
    EXPECT_NEAR(zoom.Scale(), fitted * TDeadlockZoom::Step, 1e-9);
    QTest::keyClick(&zoom, Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_NEAR(zoom.Scale(), fitted * TDeadlockZoom::Step * TDeadlockZoom::Step, 1e-9);
    QTest::keyClick(&zoom, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_NEAR(zoom.Scale(), fitted * TDeadlockZoom::Step, 1e-9);
    QTest::keyClick(&zoom, Qt::Key_0, Qt::ControlModifier);
    EXPECT_TRUE(zoom.Fitting());
    EXPECT_NEAR(zoom.Scale(), fitted, 1e-9);
    // A small drawing is not blown up.
    p.resize(1400, 1000);
    QApplication::processEvents();
    EXPECT_LE(zoom.Scale(), 1.0);
}

TEST_F(DeadlocksView, TheListFollowsNewReportsAndKeepsTheSelection) {
    TDeadlocksPane p(File);
    p.Show({});
    p.DeadlocksTV->setCurrentItem(p.DeadlocksTV->topLevelItem(1));
    const QString selected = p.DeadlocksTV->currentItem()->text(TDeadlocksPane::VictimC);
    {
        THistoryStore store(File, THistoryStore::TMode::Write);
        store.Transaction([&] { store.SaveDeadlock("PROD-SQL01", deadlocks::TwoWay(Now, 77)); });
    }
    p.Follow({});
    ASSERT_EQ(p.Count(), 5u);
    EXPECT_EQ(p.DeadlocksTV->topLevelItem(0)->text(TDeadlocksPane::VictimC), "77 (HR Portal)");
    EXPECT_EQ(p.DeadlocksTV->currentItem()->text(TDeadlocksPane::VictimC), selected);
    EXPECT_EQ(p.StatusL->text(), "5 deadlocks.");
}

TEST(CountTexts, SayOneThingInTheSingular) {
    EXPECT_EQ(CountText(1, "kill.", "kills."), "1 kill.");
    EXPECT_EQ(CountText(0, "kill.", "kills."), "0 kills.");
    EXPECT_EQ(CountText(2, "deadlock.", "deadlocks."), "2 deadlocks.");
}

} // namespace
