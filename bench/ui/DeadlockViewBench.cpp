// What the Deadlocks page of the history window costs: the memory it adds and the time it
// takes with 100 reports in the history (two or three processes each, statements of up to
// 2 KB, about 6 KB of XML), the page empty for comparison. Run on the offscreen platform:
//   QT_QPA_PLATFORM=offscreen build/bench/ui/bench_deadlock_view
// Heap is glibc's bytes in use (mallinfo2), RSS the resident set from /proc.
#include "DeadlockFixtures.h"
#include "DeadlockGraph.h"
#include "DeadlocksPane.h"
#include "HistoryStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <fstream>
#include <malloc.h>
#include <string>

namespace {

double HeapKb() {
    return static_cast<double>(mallinfo2().uordblks) / 1024.0;
}

double RssKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6));
    return 0;
}

TDeadlockReport Report(int i, std::int64_t time) {
    TDeadlockReport r = i % 3 == 0 ? deadlocks::ThreeWay(time) : deadlocks::TwoWay(time, 50 + i);
    for (std::size_t p = 0; p < r.Processes.size(); ++p)
        r.Processes[p].Statement +=
            "\n" +
            std::string(static_cast<std::size_t>(200 + (i * 37 + static_cast<int>(p) * 500) % 1800),
                        'x');
    r.Xml = deadlocks::XmlOf(r);
    return r;
}

void Line(const char* what, double heapBefore, double rssBefore, double ms = -1) {
    std::printf("%-46s heap %+8.0f KB  RSS %+8.0f KB", what, HeapKb() - heapBefore,
                RssKb() - rssBefore);
    if (ms >= 0)
        std::printf("  %7.1f ms", ms);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string file = dir.filePath("h.sqlite").toStdString();
    const std::string empty = dir.filePath("empty.sqlite").toStdString();
    std::size_t xmlBytes = 0;
    {
        THistoryStore store(file, THistoryStore::TMode::Write);
        store.Transaction([&] {
            for (int i = 0; i < 100; ++i) {
                const TDeadlockReport r = Report(i, 1'800'000'000'000 + i * 60'000);
                xmlBytes += r.Xml.size();
                store.SaveDeadlock("PROD-SQL0" + std::to_string(i % 4), r);
            }
        });
        THistoryStore none(empty, THistoryStore::TMode::Write);
    }
    std::printf("Goal: the memory the Deadlocks view adds with 100 reports (and the time to "
                "list and draw them).\n");
    std::printf("100 reports, %zu bytes of XML in all\n", xmlBytes);
    {
        // The first page pays for fonts, styles and the SQLite driver: not the page's own.
        TDeadlocksPane warm(empty);
        warm.Show({});
        warm.grab();
    }

    const double heap0 = HeapKb();
    const double rss0 = RssKb();
    {
        TDeadlocksPane page(empty);
        page.resize(1000, 640);
        page.Show({});
        page.grab();
        Line("page without deadlocks", heap0, rss0);
    }

    const double heap1 = HeapKb();
    const double rss1 = RssKb();
    TDeadlocksPane page(file);
    page.resize(1000, 640);
    QElapsedTimer timer;
    timer.start();
    page.Show({});
    const double listMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    page.grab();
    Line("100 listed, the newest selected and drawn", heap1, rss1, listMs);

    timer.restart();
    for (int i = 0; i < page.DeadlocksTV->topLevelItemCount(); ++i) {
        page.DeadlocksTV->setCurrentItem(page.DeadlocksTV->topLevelItem(i));
        page.GraphW->grab();
    }
    const double each = static_cast<double>(timer.nsecsElapsed()) / 1e6 / 100;
    Line("after selecting and drawing each in turn", heap1, rss1);
    std::printf("selecting one (read whole, listed, drawn): %.2f ms on average\n", each);
    return 0;
}
