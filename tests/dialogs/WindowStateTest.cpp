// The window state store: a save-and-restore round trip of the main window's placement, its
// stored properties and the three grid layouts, and the reading rules of the stored values.
#include "WindowState.h"

#include "WindowStateStore.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QMainWindow>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

const QString Root = QString::fromLatin1(WindowStateRoot);

// The main window's parts as the program lays them out: server list | processes over the error
// log, the error log and the server list keeping their sizes when the window grows.
struct TMockMainWindow {
    TMockMainWindow() {
        Window.setGeometry(197, 196, 1164, 694);
        ShowBlocksA = new QAction(QStringLiteral("Show blocks"), &Window);
        ShowBlocksA->setCheckable(true);
        ServersTL = new QTreeWidget;
        ServersTL->setHeaderLabels({QStringLiteral("Server")});
        ServersTL->setSortingEnabled(true);
        ServersTL->header()->setSortIndicator(-1, Qt::AscendingOrder);
        ProcessesTL = new QTreeView;
        Model.setColumnCount(13);
        for (int r = 0; r < 5; ++r) {
            QList<QStandardItem*> row;
            for (int c = 0; c < 13; ++c)
                row << new QStandardItem(QString::number((r * 7 + c * 3) % 11));
            Model.appendRow(row);
        }
        ProcessesTL->setModel(&Model);
        ProcessesTL->header()->setStretchLastSection(false);
        ProcessesTL->header()->setSortIndicator(-1, Qt::AscendingOrder);
        ProcessesTL->setSortingEnabled(true);
        ErrorsTL = new QTreeWidget;
        ErrorsTL->setColumnCount(3);
        ErrorsTL->setSortingEnabled(false);

        auto* serverSplitter = new QSplitter(Qt::Horizontal);
        serverSplitter->addWidget(ServersTL);
        serverSplitter->addWidget(ProcessesTL);
        serverSplitter->setStretchFactor(0, 0);
        serverSplitter->setStretchFactor(1, 1);
        serverSplitter->setSizes({181, 980});
        auto* errorSplitter = new QSplitter(Qt::Vertical);
        errorSplitter->addWidget(serverSplitter);
        errorSplitter->addWidget(ErrorsTL);
        errorSplitter->setStretchFactor(0, 1);
        errorSplitter->setStretchFactor(1, 0);
        errorSplitter->setSizes({500, 114});
        Window.setCentralWidget(errorSplitter);
    }

    TMainFormState State(bool minimized = false) {
        return {&Window, ShowBlocksA, ServersTL, ErrorsTL, minimized};
    }
    void Restore() {
        RestoreWindowState(State(), Root);
        LoadListLayout(ServersTL, Root + QStringLiteral("ServersTL"));
        LoadListLayout(ProcessesTL, Root + QStringLiteral("ProcessesTL"));
        LoadListLayout(ErrorsTL, Root + QStringLiteral("ErrorsTL"));
    }
    void Save(bool minimized = false) {
        SaveWindowState(State(minimized), Root);
        SaveListLayout(ServersTL, Root + QStringLiteral("ServersTL"));
        SaveListLayout(ProcessesTL, Root + QStringLiteral("ProcessesTL"));
        SaveListLayout(ErrorsTL, Root + QStringLiteral("ErrorsTL"));
    }
    void ShowAndSettle() {
        Window.show();
        QApplication::processEvents();
        QTest::qWait(20);
    }

    QMainWindow Window;
    QAction* ShowBlocksA;
    QTreeWidget* ServersTL;
    QTreeView* ProcessesTL;
    QTreeWidget* ErrorsTL;
    QStandardItemModel Model;
};

std::vector<int> VisualOrder(QHeaderView* header) {
    std::vector<int> order;
    for (int v = 0; v < header->count(); ++v)
        order.push_back(header->logicalIndex(v));
    return order;
}

class WindowStateTest : public testing::Test {
protected:
    WindowStateTest() { SetWindowStateFile(Dir.filePath(QStringLiteral("Tallyvane.conf"))); }
    ~WindowStateTest() override { SetWindowStateFile(QString()); }

    QSettings File() const {
        return QSettings(Dir.filePath(QStringLiteral("Tallyvane.conf")), QSettings::IniFormat);
    }
    static QString Suffix() {
        const QSize size = QGuiApplication::primaryScreen()->geometry().size();
        return QStringLiteral("(%1x%2)").arg(size.width()).arg(size.height());
    }

    QTemporaryDir Dir;
};

} // namespace

TEST_F(WindowStateTest, AStartWithoutStoredStateKeepsTheDesignedLayout) {
    TMockMainWindow designed, restored;
    restored.Restore();
    EXPECT_EQ(restored.Window.geometry(), designed.Window.geometry());
    EXPECT_FALSE(restored.ShowBlocksA->isChecked());
    EXPECT_EQ(VisualOrder(restored.ProcessesTL->header()),
              VisualOrder(designed.ProcessesTL->header()));
    EXPECT_EQ(restored.ProcessesTL->header()->sortIndicatorSection(), -1);
    restored.ShowAndSettle();
    EXPECT_EQ(restored.ServersTL->width(), 181);
    EXPECT_EQ(restored.ErrorsTL->height(), 114);
}

TEST_F(WindowStateTest, WindowPanesAndColumnsComeBackAsTheyWereLeft) {
    {
        TMockMainWindow before;
        before.ShowAndSettle();
        before.Window.setGeometry(120, 80, 1000, 640);
        auto* serverSplitter = qobject_cast<QSplitter*>(before.ServersTL->parentWidget());
        serverSplitter->setSizes({260, 737});
        auto* errorSplitter = qobject_cast<QSplitter*>(before.ErrorsTL->parentWidget());
        errorSplitter->setSizes({400, 170});
        before.ShowBlocksA->setChecked(true);
        QHeaderView* h = before.ProcessesTL->header();
        h->moveSection(h->visualIndex(3), 0); // moved
        h->hideSection(5);                    // hidden
        h->resizeSection(2, 177);             // resized
        h->resizeSection(5, 66);
        before.ProcessesTL->sortByColumn(4, Qt::DescendingOrder); // sorted
        before.ServersTL->sortByColumn(0, Qt::AscendingOrder);
        before.ErrorsTL->header()->resizeSection(1, 140);
        QApplication::processEvents();
        ASSERT_EQ(before.ServersTL->width(), 260);
        ASSERT_EQ(before.ErrorsTL->height(), 170);
        before.Save();
    }
    TMockMainWindow after;
    after.Restore();
    after.ShowAndSettle();
    EXPECT_EQ(after.Window.geometry(), QRect(120, 80, 1000, 640));
    EXPECT_TRUE(after.ShowBlocksA->isChecked());
    EXPECT_EQ(after.ServersTL->width(), 260);
    EXPECT_EQ(after.ErrorsTL->height(), 170);
    QHeaderView* h = after.ProcessesTL->header();
    EXPECT_EQ(h->logicalIndex(0), 3);
    EXPECT_EQ(h->logicalIndex(1), 0);
    EXPECT_TRUE(h->isSectionHidden(5));
    EXPECT_EQ(h->sectionSize(2), 177);
    EXPECT_EQ(h->sortIndicatorSection(), 4);
    EXPECT_EQ(h->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(after.ServersTL->header()->sortIndicatorSection(), 0);
    EXPECT_EQ(after.ErrorsTL->header()->sectionSize(1), 140);
    // A hidden column keeps its width for when it is shown again.
    h->showSection(5);
    EXPECT_EQ(h->sectionSize(5), 66);

    // The values stand under the names and keys the store documents.
    QSettings file = File();
    EXPECT_EQ(file.value(QStringLiteral("MainForm/ShowBlocksA_Checked")).toString(),
              QStringLiteral("TRUE"));
    EXPECT_EQ(file.value(QStringLiteral("MainForm/NormPos")).toString(),
              QStringLiteral("120,80,1120,720"));
    EXPECT_EQ(file.value(QStringLiteral("MainForm/NormPos") + Suffix()).toString(),
              QStringLiteral("120,80,1120,720"));
    EXPECT_EQ(file.value(QStringLiteral("MainForm/ShowCmd")).toInt(), 1);
    EXPECT_EQ(file.value(QStringLiteral("MainForm/FormVersion")).toInt(), 0);
    EXPECT_EQ(file.value(QStringLiteral("MainForm/ServersTL_Width")).toInt(), 260);
    EXPECT_EQ(file.value(QStringLiteral("ProcessesTL/Columns/BlockSpidTLC/Index")).toString(),
              QStringLiteral("8"));
    EXPECT_EQ(file.value(QStringLiteral("ProcessesTL/Columns/StatusTLC/Sorted")).toString(),
              QStringLiteral("2"));
    EXPECT_EQ(file.value(QStringLiteral("ProcessesTL/Columns/HostNameTLC/Visible")).toString(),
              QStringLiteral("0"));
    EXPECT_EQ(file.value(QStringLiteral("ProcessesTL/Band/Band0/ID")).toString(),
              QStringLiteral("0"));
    EXPECT_EQ(file.value(QStringLiteral("ErrorsTL/Columns/ErrServerTLC/Width")).toString(),
              QStringLiteral("140"));
    EXPECT_EQ(file.value(QStringLiteral("ErrorsTL/Columns/ErrTimeTLC/Sorted")).toString(),
              QStringLiteral("0"));
}

TEST_F(WindowStateTest, ShowBlocksIsReadFromItsTexts) {
    const struct {
        const char* text;
        int expected; // -1: left as it was
    } cases[] = {{"TRUE", 1},  {"yes", 1}, {"Y", 1}, {"1", 1}, {"-3", 1},
                 {"false", 0}, {"No", 0},  {"n", 0}, {"0", 0}, {"maybe", -1}};
    for (const auto& c : cases) {
        for (const bool start : {false, true}) {
            {
                QSettings file = File();
                file.setValue(QStringLiteral("MainForm/ShowBlocksA_Checked"),
                              QString::fromLatin1(c.text));
            }
            TMockMainWindow w;
            w.ShowBlocksA->setChecked(start);
            RestoreWindowState(w.State(), Root);
            EXPECT_EQ(w.ShowBlocksA->isChecked(), c.expected < 0 ? start : c.expected == 1)
                << c.text << " from " << start;
        }
    }
}

TEST_F(WindowStateTest, ThePlacementForTheCurrentScreenSizeWinsOverThePlainOne) {
    {
        QSettings file = File();
        file.setValue(QStringLiteral("MainForm/NormPos"), QStringLiteral("10,20,810,620"));
        file.setValue(QStringLiteral("MainForm/NormPos(1x1)"), QStringLiteral("1,1,2,2"));
    }
    TMockMainWindow plain;
    RestoreWindowState(plain.State(), Root);
    EXPECT_EQ(plain.Window.geometry(), QRect(10, 20, 800, 600));
    {
        QSettings file = File();
        file.setValue(QStringLiteral("MainForm/NormPos") + Suffix(),
                      QStringLiteral("30,40,930,740"));
    }
    TMockMainWindow sized;
    RestoreWindowState(sized.State(), Root);
    EXPECT_EQ(sized.Window.geometry(), QRect(30, 40, 900, 700));
}

TEST_F(WindowStateTest, APlacementOfAnotherPixelDensityIsNotAppliedButTheRestIs) {
    const int ppi = qRound(QGuiApplication::primaryScreen()->logicalDotsPerInch());
    {
        QSettings file = File();
        file.setValue(QStringLiteral("MainForm/NormPos"), QStringLiteral("10,20,810,620"));
        file.setValue(QStringLiteral("MainForm/PixelsPerInch"), ppi + 24);
        file.setValue(QStringLiteral("MainForm/ShowCmd"), 3);
        file.setValue(QStringLiteral("MainForm/ShowBlocksA_Checked"), QStringLiteral("TRUE"));
    }
    TMockMainWindow w;
    const QRect designed = w.Window.geometry();
    RestoreWindowState(w.State(), Root);
    EXPECT_EQ(w.Window.geometry(), designed);
    EXPECT_TRUE(w.Window.windowState() & Qt::WindowMaximized);
    EXPECT_TRUE(w.ShowBlocksA->isChecked());
}

TEST_F(WindowStateTest, BadFieldsFallBackAndAnEmptyRectangleIsNotApplied) {
    {
        QSettings file = File();
        file.setValue(QStringLiteral("MainForm/NormPos"), QStringLiteral("50,x,850,"));
    }
    TMockMainWindow w;
    const QRect designed = w.Window.geometry();
    RestoreWindowState(w.State(), Root);
    EXPECT_EQ(w.Window.geometry(),
              QRect(QPoint(50, designed.top()), QPoint(849, designed.bottom())));
    {
        QSettings file = File();
        file.setValue(QStringLiteral("MainForm/NormPos"), QStringLiteral("500,20,400,620"));
    }
    TMockMainWindow inverted;
    RestoreWindowState(inverted.State(), Root);
    EXPECT_EQ(inverted.Window.geometry(), designed);
}

TEST_F(WindowStateTest, MaximizedComesBackMaximizedAndMinimizedStartsNormalThenMinimizes) {
    {
        TMockMainWindow w;
        w.ShowAndSettle();
        w.Window.showMaximized();
        QApplication::processEvents();
        w.Save();
    }
    EXPECT_EQ(File().value(QStringLiteral("MainForm/ShowCmd")).toInt(), 3);
    {
        TMockMainWindow w;
        w.Restore();
        EXPECT_TRUE(w.Window.windowState() & Qt::WindowMaximized);
        // Hidden to the tray at the end counts as minimized.
        w.Save(true);
    }
    // Minimized from maximized: it comes back maximized, then minimizes.
    EXPECT_EQ(File().value(QStringLiteral("MainForm/ShowCmd")).toInt(), 2);
    EXPECT_EQ(File().value(QStringLiteral("MainForm/Flags")).toInt(), 2);
    {
        TMockMainWindow w;
        w.Restore();
        EXPECT_EQ(w.Window.windowState(), Qt::WindowMaximized);
        w.ShowAndSettle();
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.Window.isMinimized(); }, 2000));
    }
    {
        TMockMainWindow w;
        w.Save(true);
    }
    EXPECT_EQ(File().value(QStringLiteral("MainForm/Flags")).toInt(), 0);
    TMockMainWindow w;
    w.Restore();
    EXPECT_EQ(w.Window.windowState(), Qt::WindowNoState);
    w.ShowAndSettle();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.Window.isMinimized(); }, 2000));
}

TEST_F(WindowStateTest, KeyPathsIgnoreEmptyElementsAndMapOntoTheStoresGroups) {
    EXPECT_EQ(
        TWindowStateStore::KeyElements(QStringLiteral("\\Software\\\\Tallyvane\\ServersTL\\")),
        QStringList({QStringLiteral("Software"), QStringLiteral("Tallyvane"),
                     QStringLiteral("ServersTL")}));
    TWindowStateStore store;
    store.WriteString(QStringLiteral("Software\\Tallyvane\\\\ProcessesTL\\"),
                      QStringLiteral("ShowGrid"), QStringLiteral("0"));
    store.WriteInteger(QStringLiteral("Software\\Tallyvane\\MainForm"), QStringLiteral("ShowCmd"),
                       3);
    store.Flush();
    EXPECT_TRUE(store.KeyExists(QStringLiteral("\\Software\\Tallyvane\\ProcessesTL")));
    EXPECT_FALSE(store.KeyExists(QStringLiteral("Software\\Tallyvane\\ErrorsTL")));
    EXPECT_EQ(store.ReadInteger(QStringLiteral("Software\\Tallyvane\\MainForm"),
                                QStringLiteral("ShowCmd")),
              3);
    // A number stored as text reads as a number; other text does not.
    store.WriteString(QStringLiteral("Software\\Tallyvane\\MainForm"), QStringLiteral("Flags"),
                      QStringLiteral(" 2 "));
    EXPECT_EQ(
        store.ReadInteger(QStringLiteral("Software\\Tallyvane\\MainForm"), QStringLiteral("Flags")),
        2);
    store.WriteString(QStringLiteral("Software\\Tallyvane\\MainForm"), QStringLiteral("Flags"),
                      QStringLiteral("two"));
    EXPECT_FALSE(store.ReadInteger(QStringLiteral("Software\\Tallyvane\\MainForm"),
                                   QStringLiteral("Flags")));
    EXPECT_EQ(File().value(QStringLiteral("ProcessesTL/ShowGrid")).toString(), QStringLiteral("0"));
}

TEST_F(WindowStateTest, AStoreThatCannotBeWrittenIsAnError) {
    SetWindowStateFile(Dir.filePath(QStringLiteral("missing/folder/and/file.conf")));
    QFile blocker(Dir.filePath(QStringLiteral("missing")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    TMockMainWindow w;
    EXPECT_THROW(SaveWindowState(w.State(), Root), std::exception);
}
