// The drawing of a deadlock: its layout over a table of report shapes (no box on another,
// every arrow from the border of its box to the border of the other, the victim marked, big
// reports cut), the cycle along the ring, and the victim painted red.
#include "DeadlockGraph.h"

#include "DeadlockFixtures.h"

#include <QApplication>
#include <QImage>
#include <gtest/gtest.h>
#include <set>

namespace {

using namespace deadlocks;

bool OnBorder(const QRectF& box, QPointF point) {
    constexpr double t = 0.5;
    return box.adjusted(-t, -t, t, t).contains(point) &&
           !box.adjusted(t, t, -t, -t).contains(point);
}

// n processes in a ring: each holds key i and wants key i+1.
TDeadlockReport Ring(int n) {
    TDeadlockReport r;
    for (int i = 0; i < n; ++i) {
        r.Processes.push_back(Process("p" + std::to_string(i), 100 + i, i == 0, "l", "h", "app",
                                      "U", "db.dbo.T", "PK", "UPDATE T"));
        r.Resources.push_back(Resource("keylock", "db.dbo.T", "PK",
                                       {{"p" + std::to_string(i), "X"}},
                                       {{"p" + std::to_string((i + n - 1) % n), "U"}}));
    }
    return r;
}

TEST(DeadlockGraphLayout, KeepsBoxesApartAndArrowsOnTheirBordersForEveryShape) {
    TDeadlockReport noVictim = TwoWay(1);
    noVictim.Processes[0].Victim = false;
    TDeadlockReport cut = ThreeWay(1);
    cut.Processes.pop_back(); // a report cut off: its locks still name p72
    cut.Truncated = true;
    TDeadlockReport conversion = TwoWay(1);
    // Both hold a shared lock on one key and want it exclusively.
    conversion.Resources = {Resource("keylock", "HR.dbo.Employees", "PK_Employees",
                                     {{"process1a", "S"}, {"process2b", "S"}},
                                     {{"process1a", "X"}, {"process2b", "X"}})};
    TDeadlockReport longNames = TwoWay(1);
    longNames.Processes[0].ProgramName = std::string(5000, 'W');
    longNames.Resources[0].ObjectName = std::string(3000, 'O') + "\xE2\x80\xAE";
    struct {
        const char* Name;
        TDeadlockReport Report;
        std::size_t Boxes;
        std::size_t Edges;
        int LeftOut;
        std::vector<bool> Victims; // of the process boxes
    } cases[] = {
        {"two-way", TwoWay(1), 4, 4, 0, {true, false}},
        {"three-way", ThreeWay(1), 6, 6, 0, {false, true, false}},
        {"parallel query", Parallel(1), 4, 4, 0, {true, false}},
        {"no victim named", noVictim, 4, 4, 0, {false, false}},
        {"cut off", cut, 5, 4, 0, {false, true}},
        {"conversion", conversion, 3, 4, 0, {true, false}},
        {"long names", longNames, 4, 4, 0, {true, false}},
        {"nothing", TDeadlockReport{}, 0, 0, 0, {}},
        {"one process alone", Ring(1), 2, 2, 0, {true}},
        {"a ring of 30", Ring(30), 48, 47, 12, std::vector<bool>(24, false)},
    };
    cases[std::size(cases) - 1].Victims[0] = true;
    const QFontMetricsF metrics(QApplication::font());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const TGraphLayout layout = TDeadlockGraph::Arrange(c.Report, metrics);
        ASSERT_EQ(layout.Boxes.size(), c.Boxes);
        EXPECT_EQ(layout.Edges.size(), c.Edges);
        EXPECT_EQ(layout.LeftOut, c.LeftOut);
        const QRectF drawing(QPointF(0, 0), layout.Size);
        std::vector<bool> victims;
        for (std::size_t i = 0; i < layout.Boxes.size(); ++i) {
            const TGraphBox& box = layout.Boxes[i];
            EXPECT_TRUE(drawing.contains(box.Rect)) << i;
            EXPECT_LE(box.Rect.width(), TDeadlockGraph::MaxTextWidth + 13) << "elided";
            for (std::size_t k = i + 1; k < layout.Boxes.size(); ++k)
                EXPECT_FALSE(box.Rect.intersects(layout.Boxes[k].Rect)) << i << " on " << k;
            if (box.Process)
                victims.push_back(box.Victim);
            else
                EXPECT_FALSE(box.Victim);
        }
        EXPECT_EQ(victims, c.Victims);
        std::set<std::pair<std::size_t, std::size_t>> pairs;
        for (const TGraphEdge& e : layout.Edges)
            pairs.insert({e.From, e.To});
        for (const TGraphEdge& e : layout.Edges) {
            const TGraphBox& from = layout.Boxes[e.From];
            const TGraphBox& to = layout.Boxes[e.To];
            EXPECT_EQ(from.Process, e.Request) << "a process waits, a resource is owned";
            EXPECT_NE(to.Process, from.Process);
            EXPECT_TRUE(drawing.contains(e.LabelRect));
            EXPECT_FALSE(e.Label.isEmpty());
            if (pairs.count({e.To, e.From}) == 0) { // arrows both ways are drawn side by side
                EXPECT_TRUE(OnBorder(from.Rect, e.Line.p1())) << e.Label.toStdString();
                EXPECT_TRUE(OnBorder(to.Rect, e.Line.p2())) << e.Label.toStdString();
            }
        }
    }
}

TEST(DeadlockGraphLayout, LaysTheCycleAlongTheRingFromTheVictimWithModesOnTheArrows) {
    const TGraphLayout layout =
        TDeadlockGraph::Arrange(TwoWay(1), QFontMetricsF(QApplication::font()));
    ASSERT_EQ(layout.Boxes.size(), 4u);
    // Boxes: 57, 59, then the keys of Employees and Payroll. The ring: 57 top left, the key it
    // wants top right, 59 that holds it bottom right, the key 59 wants bottom left.
    const QPointF victim = layout.Boxes[0].Rect.center();
    const QPointF survivor = layout.Boxes[1].Rect.center();
    const QPointF employees = layout.Boxes[2].Rect.center();
    const QPointF payroll = layout.Boxes[3].Rect.center();
    EXPECT_LT(victim.x(), employees.x());
    EXPECT_NEAR(victim.y(), employees.y(), 1);
    EXPECT_LT(employees.y(), survivor.y());
    EXPECT_NEAR(employees.x(), survivor.x(), 1);
    EXPECT_LT(payroll.x(), survivor.x());
    EXPECT_NEAR(payroll.y(), survivor.y(), 1);
    EXPECT_EQ(layout.Boxes[0].Lines, QStringList({"SPID 57 (victim)", "HR Portal", "hr_app"}));
    EXPECT_EQ(layout.Boxes[2].Lines, QStringList({"Key lock", "HR.dbo.Employees", "PK_Employees"}));

    std::vector<std::string> arrows;
    for (const TGraphEdge& e : layout.Edges)
        arrows.push_back(std::to_string(e.From) + ">" + std::to_string(e.To) + " " +
                         e.Label.toStdString());
    EXPECT_EQ(arrows, (std::vector<std::string>{"0>2 request: U", "2>1 owner: X", "1>3 request: S",
                                                "3>0 owner: X"}));

    const TGraphLayout exchange =
        TDeadlockGraph::Arrange(Parallel(1), QFontMetricsF(QApplication::font()));
    EXPECT_EQ(exchange.Edges[0].Label, "request: e_waitPipeGetRow");
    EXPECT_EQ(exchange.Edges[1].Label, "owns");
    EXPECT_EQ(exchange.Boxes[2].Lines, QStringList({"Exchange", "e_waitPipeGetRow"}));
}

TEST(DeadlockGraphWidget, PaintsTheVictimRedAndGrowsToItsDrawing) {
    TDeadlockGraph graph;
    const TDeadlockReport report = ThreeWay(1);
    graph.SetReport(&report);
    const TGraphLayout& layout = graph.Layout();
    EXPECT_GE(graph.minimumWidth(), static_cast<int>(layout.Size.width()));
    graph.resize(graph.sizeHint());
    const QImage image = graph.grab().toImage();
    const auto red = [&](const QRectF& box) {
        int count = 0;
        const int y = static_cast<int>(box.center().y());
        for (int x = static_cast<int>(box.left()) - 2; x <= static_cast<int>(box.left()) + 2; ++x) {
            const QColor c = image.pixelColor(x, y);
            count += c.red() > 150 && c.green() < 100 && c.blue() < 100;
        }
        return count > 0;
    };
    EXPECT_TRUE(red(layout.Boxes[1].Rect)) << "the victim's border";
    EXPECT_FALSE(red(layout.Boxes[0].Rect));
    graph.SetReport(nullptr);
    EXPECT_TRUE(graph.Layout().Boxes.empty());
    EXPECT_EQ(graph.minimumSize(), QSize(0, 0)) << "nothing drawn takes no room";
}

} // namespace
