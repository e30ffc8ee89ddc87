// ShowProcesses on large snapshots: N processes of which a fifth are blocked, in chains of 1 to
// 50 waiters under unblocked heads, with the remembered process at the end of the deepest
// chain (so the re-selection expands 50 ancestors). Run on the offscreen platform:
//   QT_QPA_PLATFORM=offscreen build/bench/ui/tallyvane_ui_bench
// For comparison, BM_TreeWidgetFill fills a QTreeWidget with the same rows (13 texts each) and
// sorts it by one column, which is the least a widget-per-row view would cost.
#include "Icons.h"
#include "ProcessView.h"
#include "ServerData.h"
#include "ServerOwner.h"

#include <QApplication>
#include <QHeaderView>
#include <QTreeWidget>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

class TNullOwner : public IServerOwner {
public:
    void ServerChanged(TServerData&) override {}
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string&, const std::exception&) override {}
};

struct TRowSpec {
    int Spid, Blocked, WaitTime;
};

// Rows in the order the process query returns them (blocked, waittime), and the SPID at the
// end of the deepest chain.
std::vector<TRowSpec> MakeRows(int count, int& deepest) {
    const int blockedTotal = count / 5;
    std::vector<TRowSpec> rows;
    int spid = 51;
    for (int i = 0; i < count - blockedTotal; ++i)
        rows.push_back({spid++, 0, 0});
    int blocked = 0, head = 0, depth = 1, deepestDepth = 0;
    while (blocked < blockedTotal) {
        int blocker = rows[static_cast<std::size_t>(head++)].Spid;
        for (int d = 0; d < depth && blocked < blockedTotal; ++d, ++blocked) {
            rows.push_back({spid, blocker, 100 * (d + 1)});
            if (d + 1 > deepestDepth) {
                deepestDepth = d + 1;
                deepest = spid;
            }
            blocker = spid++;
        }
        depth = depth % 50 + 1;
    }
    std::stable_sort(rows.begin(), rows.end(), [](const TRowSpec& a, const TRowSpec& b) {
        return a.Blocked != b.Blocked ? a.Blocked < b.Blocked : a.WaitTime < b.WaitTime;
    });
    return rows;
}

void Fill(TServerData& server, const std::vector<TRowSpec>& rows) {
    server.ProcessList.Clear();
    for (const TRowSpec& r : rows) {
        TProcessItem& item = *server.ProcessList.Add();
        item.Spid = r.Spid;
        item.Blocked = r.Blocked;
        item.WaitTime = r.WaitTime;
        item.DBName = "Sales";
        item.LastWaitType = r.Blocked ? "LCK_M_X" : "MISCELLANEOUS";
        item.WaitResource = r.Blocked ? "KEY: 5:72057594043301888 (8194443284a0)" : "";
        item.Status = r.Blocked ? "suspended" : "sleeping";
        item.HostName = "APP-SRV-" + std::to_string(r.Spid % 37);
        item.ProgramName = "Payroll Service " + std::to_string(r.Spid % 11);
        item.Cmd = "AWAITING COMMAND";
        item.LoginName = "payroll";
        item.Cpu = (r.Spid * 7919) % 100000;
        item.PhysicalIo = (r.Spid * 104729) % 50000;
        item.MemUsage = r.Spid % 97;
    }
    server.ProcessList.BuildBlockTree();
    server.State = 1;
}

struct TFixture {
    TNullOwner Owner;
    std::unique_ptr<TServerData> Server;
    TImageList Images = MakeProcessesIL();
    std::unique_ptr<TProcessView> View;
    int Deepest = 0;

    explicit TFixture(int count) {
        TServerInfo info;
        info.Name = "BENCH";
        info.Enabled = false;
        Server = std::make_unique<TServerData>(Owner, info);
        Fill(*Server, MakeRows(count, Deepest));
        // The user opened the first 100 chains: their heads stay expanded at every rebuild.
        for (int i = 0, opened = 0; i < Server->ProcessList.Count() && opened < 100; ++i) {
            const TProcessItem& item = *Server->ProcessList.Item(i);
            if (!item.Children.empty()) {
                Server->ExpandedPaths.insert({item.Spid});
                ++opened;
            }
        }
        View = std::make_unique<TProcessView>(Images);
        View->FocusedServer = [this] { return Server.get(); };
        View->resize(1100, 600);
        View->show();
        QApplication::processEvents();
    }
};

// Arguments: rows, sort column (-1 none), 1 to include the repaint that follows.
void BM_ShowProcesses(benchmark::State& state) {
    TFixture f(static_cast<int>(state.range(0)));
    const int column = static_cast<int>(state.range(1));
    f.View->header()->setSortIndicator(column, Qt::DescendingOrder);
    for (auto _ : state) {
        f.Server->SelectedSpid = f.Deepest;
        f.View->ShowProcesses(f.Server.get(), false);
        if (state.range(2))
            f.View->viewport()->repaint();
    }
    if (f.View->FocusedRow() < 0 || f.Server->SelectedSpid != f.Deepest)
        state.SkipWithError("the deep row was not re-selected");
    state.counters["rows"] = static_cast<double>(f.View->Model().RowCount());
}
BENCHMARK(BM_ShowProcesses)
    ->ArgNames({"rows", "sort", "paint"})
    ->Args({10000, -1, 0})
    ->Args({10000, TProcessModel::SpidTLC, 0})
    ->Args({10000, TProcessModel::HostNameTLC, 0})
    ->Args({10000, TProcessModel::WaitInfoTLC, 1})
    ->Args({100000, TProcessModel::SpidTLC, 0})
    ->Args({100000, TProcessModel::HostNameTLC, 1})
    ->Unit(benchmark::kMillisecond);

void BM_TreeWidgetFill(benchmark::State& state) {
    TFixture f(static_cast<int>(state.range(0)));
    QTreeWidget tree;
    tree.setColumnCount(TProcessModel::ColumnCount);
    tree.setUniformRowHeights(true);
    tree.resize(1100, 600);
    tree.show();
    for (auto _ : state) {
        tree.clear();
        // Only the texts: no icons, no re-selection, the widget's own sort.
        std::vector<std::pair<const TProcessItem*, QTreeWidgetItem*>> stack;
        QList<QTreeWidgetItem*> top;
        const TProcessList& list = f.Server->ProcessList;
        for (int i = 0; i < list.Count(); ++i)
            stack.emplace_back(list.Item(i), nullptr);
        while (!stack.empty()) {
            auto [item, parent] = stack.back();
            stack.pop_back();
            auto* node = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem();
            if (!parent)
                top.push_back(node);
            node->setText(0, QString::number(item->Spid));
            node->setText(1, QString::fromStdString(item->DBName));
            node->setText(2, TProcessModel::WaitInfoText(item->WaitTime, item->LastWaitType,
                                                         item->WaitResource));
            node->setText(3, QString::number(item->OpenTran));
            node->setText(4, QString::fromStdString(item->Status));
            node->setText(5, QString::fromStdString(item->HostName));
            node->setText(6, QString::fromStdString(item->ProgramName));
            node->setText(7, QString::fromStdString(item->Cmd));
            node->setText(8, QString::number(item->Blocked));
            node->setText(9, QString::fromStdString(item->LoginName));
            node->setText(10, QString::number(item->Cpu));
            node->setText(11, QString::number(item->PhysicalIo));
            node->setText(12, QString::number(item->MemUsage));
            for (const auto& child : item->Children)
                stack.emplace_back(child.get(), node);
        }
        tree.addTopLevelItems(top);
        tree.sortItems(TProcessModel::HostNameTLC, Qt::AscendingOrder);
    }
}
BENCHMARK(BM_TreeWidgetFill)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    std::printf("goal: ShowProcesses of 10,000 rows (SPID fitting, head blockers, expanded rows "
                "kept) under 30 ms\n");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
