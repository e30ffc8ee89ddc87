// Time of BuildBlockTree for 1k, 10k and 100k rows in four shapes, and how it grows from 10k
// to 100k rows (linear growth gives 10). Filling the list is not timed.
//   build/bench/engine/tallyvane_engine_bench
#include "BlockForest.h"
#include "ProcessList.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct TRow {
    std::int32_t Spid;
    std::int32_t Blocked;
    std::int32_t WaitTime;
};

// The program's query orders rows by blocked, then waittime.
void QueryOrder(std::vector<TRow>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const TRow& a, const TRow& b) {
        return a.Blocked != b.Blocked ? a.Blocked < b.Blocked : a.WaitTime < b.WaitTime;
    });
}

std::vector<TRow> NoBlocking(std::int32_t n) {
    std::vector<TRow> rows;
    for (std::int32_t k = 1; k <= n; ++k)
        rows.push_back({k, 0, 0});
    return rows;
}

// One row in a hundred blocks; every other row waits on one of those.
std::vector<TRow> WideFans(std::int32_t n) {
    std::mt19937 rng(1);
    const std::int32_t blockers = std::max(1, n / 100);
    std::uniform_int_distribution<std::int32_t> blocker(1, blockers);
    std::uniform_int_distribution<std::int32_t> wait(0, 60000);
    std::vector<TRow> rows;
    for (std::int32_t k = 1; k <= n; ++k)
        rows.push_back({k, k <= blockers ? 0 : blocker(rng), wait(rng)});
    QueryOrder(rows);
    return rows;
}

// 1 blocks 2 blocks 3 ... blocks n: the deepest tree, and in query order the one whose moved
// subtree grows with every row.
std::vector<TRow> OneChain(std::int32_t n) {
    std::vector<TRow> rows;
    for (std::int32_t k = 1; k <= n; ++k)
        rows.push_back({k, k - 1, k});
    return rows;
}

// Random forests: a SPID pool smaller than the row count (parallel sub-threads share a SPID),
// 40% of rows blocked, some by themselves, some by SPIDs not in the snapshot.
std::vector<TRow> RandomWithDuplicates(std::int32_t n) {
    std::mt19937 rng(2);
    const std::int32_t pool = std::max(1, n * 3 / 4);
    std::uniform_int_distribution<std::int32_t> spid(1, pool);
    std::uniform_int_distribution<std::int32_t> percent(0, 99);
    std::uniform_int_distribution<std::int32_t> wait(0, 60000);
    std::vector<TRow> rows;
    for (std::int32_t k = 0; k < n; ++k) {
        const std::int32_t s = spid(rng);
        const std::int32_t p = percent(rng);
        const std::int32_t blocked = p < 60 ? 0 : p < 65 ? s : p < 68 ? pool + 1 : spid(rng);
        rows.push_back({s, blocked, wait(rng)});
    }
    QueryOrder(rows);
    return rows;
}

using TShape = std::vector<TRow> (*)(std::int32_t);

void Sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
    b->Repetitions(5)->DisplayAggregatesOnly(true);
}

void BuildBlockTree(benchmark::State& state, TShape shape) {
    const std::vector<TRow> rows = shape(static_cast<std::int32_t>(state.range(0)));
    TProcessList list;
    for (auto _ : state) {
        state.PauseTiming();
        list.Clear();
        for (const TRow& row : rows) {
            TProcessItem* item = list.Add();
            item->Spid = row.Spid;
            item->Blocked = row.Blocked;
            item->WaitTime = row.WaitTime;
        }
        state.ResumeTiming();
        list.BuildBlockTree();
        benchmark::DoNotOptimize(list.HasWarning());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The arrangement alone, on plain rows: what the algorithm costs apart from reading and
// moving the items, whose 100k copies no longer fit in the cache.
void ArrangeRows(benchmark::State& state, TShape shape) {
    std::vector<TBlockRow> rows;
    for (const TRow& row : shape(static_cast<std::int32_t>(state.range(0))))
        rows.push_back({row.Spid, row.Blocked, 0});
    TBlockForestBuilder builder;
    for (auto _ : state)
        benchmark::DoNotOptimize(builder.Arrange(rows).HasRealBlocks);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK_CAPTURE(BuildBlockTree, no_blocking, NoBlocking)->Apply(Sizes);
BENCHMARK_CAPTURE(BuildBlockTree, wide_fans, WideFans)->Apply(Sizes);
BENCHMARK_CAPTURE(BuildBlockTree, one_chain, OneChain)->Apply(Sizes);
BENCHMARK_CAPTURE(BuildBlockTree, random_with_duplicates, RandomWithDuplicates)->Apply(Sizes);
BENCHMARK_CAPTURE(ArrangeRows, no_blocking, NoBlocking)->Apply(Sizes);
BENCHMARK_CAPTURE(ArrangeRows, wide_fans, WideFans)->Apply(Sizes);
BENCHMARK_CAPTURE(ArrangeRows, one_chain, OneChain)->Apply(Sizes);
BENCHMARK_CAPTURE(ArrangeRows, random_with_duplicates, RandomWithDuplicates)->Apply(Sizes);

// Prints the usual table, then the growth from 10k to 100k rows per shape.
class TGrowthReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // Each case runs several times; the median is the figure.
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median")
                continue;
            Seconds[run.run_name.function_name][std::stol(run.run_name.args)] =
                run.GetAdjustedRealTime() / 1e3; // reported in milliseconds
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nmedian wall time per call\n%-45s %10s %10s %10s %8s\n", "shape", "1k ms",
                    "10k ms", "100k ms", "100k/10k");
        for (const auto& [shape, bySize] : Seconds) {
            auto at = [&](long n) {
                const auto it = bySize.find(n);
                return it == bySize.end() ? 0.0 : it->second * 1e3;
            };
            std::printf("%-45s %10.3f %10.3f %10.3f %8.1f\n", shape.c_str(), at(1000), at(10000),
                        at(100000), at(10000) > 0 ? at(100000) / at(10000) : 0.0);
        }
    }

private:
    std::map<std::string, std::map<long, double>> Seconds;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TGrowthReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
