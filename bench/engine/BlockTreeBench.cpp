// Time of BuildBlockTree (and of the blocking analysis after it) for 1k, 10k and 100k rows
// in four shapes, and how it grows from 10k to 100k rows (linear growth gives 10). Filling the list
// is not timed.
//   build/bench/engine/tallyvane_engine_bench
// Each shape runs twice. "warm" builds right after filling, as the monitor does: 10k rows are
// then still in the L2/L3 cache and 100k rows are not, so its growth also counts the step from
// cache to memory. "cold" evicts the caches before every build, so every size starts from
// memory and the growth shows what the algorithm adds. ReadKeys, which only reads the key
// fields of every item, shows the same two growths for the least a build can do.
#include "BlockForest.h"
#include "BlockingAnalysis.h"
#include "ProcessList.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
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

// Writes and reads a buffer three times the size of the last-level cache.
void EvictCaches() {
    static std::vector<std::uint64_t> sweep(96u << 20 >> 3);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < sweep.size(); i += 8) {
        sweep[i] += i;
        sum += sweep[i];
    }
    benchmark::DoNotOptimize(sum);
}

enum class ECache { Warm, Cold };

// The list afresh with the rows' three fields, unarranged.
void Fill(TProcessList& list, const std::vector<TRow>& rows) {
    list.Clear();
    for (const TRow& row : rows) {
        TProcessItem* item = list.Add();
        item->Spid = row.Spid;
        item->Blocked = row.Blocked;
        item->WaitTime = row.WaitTime;
    }
}

// Timed by hand around the build alone: filling and evicting take far longer than the build.
void BuildBlockTree(benchmark::State& state, TShape shape, ECache cache) {
    const std::vector<TRow> rows = shape(static_cast<std::int32_t>(state.range(0)));
    TProcessList list;
    for (auto _ : state) {
        Fill(list, rows);
        if (cache == ECache::Cold)
            EvictCaches();
        const auto start = std::chrono::steady_clock::now();
        list.BuildBlockTree();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        benchmark::DoNotOptimize(list.HasWarning());
        state.SetIterationTime(took.count());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The analysis the monitor works out right after the build, on the arranged list, warm as
// the monitor runs it: what a refresh adds to BuildBlockTree.
void AnalyzeBlocking(benchmark::State& state, TShape shape) {
    const std::vector<TRow> rows = shape(static_cast<std::int32_t>(state.range(0)));
    TProcessList list;
    TBlockingAnalysis analysis;
    for (auto _ : state) {
        Fill(list, rows);
        list.BuildBlockTree();
        const auto start = std::chrono::steady_clock::now();
        analysis.Analyze(list);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        benchmark::DoNotOptimize(analysis.BlockedSessions());
        state.SetIterationTime(took.count());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// A fixed count: filling (and evicting) would otherwise be repeated until the build alone
// added up to the minimum time.
void TimedSizes(benchmark::internal::Benchmark* b) {
    Sizes(b);
    b->UseManualTime()->Iterations(40);
}

// What any build has to do at least: read the three key fields of every item once. Its growth
// from 10k to 100k rows is the part the cache alone adds.
void ReadKeys(benchmark::State& state, ECache cache) {
    const std::vector<TRow> rows = NoBlocking(static_cast<std::int32_t>(state.range(0)));
    TProcessList list;
    for (auto _ : state) {
        list.Clear();
        for (const TRow& row : rows)
            list.Add()->Spid = row.Spid;
        if (cache == ECache::Cold)
            EvictCaches();
        const auto start = std::chrono::steady_clock::now();
        std::int64_t sum = 0;
        for (std::int32_t i = list.Count(); i-- > 0;) {
            const TProcessItem& item = *list.Item(i);
            sum += item.Spid + item.Blocked + item.WaitTime;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        benchmark::DoNotOptimize(sum);
        state.SetIterationTime(took.count());
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

BENCHMARK_CAPTURE(BuildBlockTree, warm_no_blocking, NoBlocking, ECache::Warm)->Apply(TimedSizes);
BENCHMARK_CAPTURE(BuildBlockTree, warm_wide_fans, WideFans, ECache::Warm)->Apply(TimedSizes);
BENCHMARK_CAPTURE(BuildBlockTree, warm_one_chain, OneChain, ECache::Warm)->Apply(TimedSizes);
BENCHMARK_CAPTURE(BuildBlockTree, warm_random_with_duplicates, RandomWithDuplicates, ECache::Warm)
    ->Apply(TimedSizes);
BENCHMARK_CAPTURE(BuildBlockTree, cold_no_blocking, NoBlocking, ECache::Cold)->Apply(TimedSizes);
BENCHMARK_CAPTURE(BuildBlockTree, cold_wide_fans, WideFans, ECache::Cold)->Apply(TimedSizes);
BENCHMARK_CAPTURE(BuildBlockTree, cold_one_chain, OneChain, ECache::Cold)->Apply(TimedSizes);
BENCHMARK_CAPTURE(BuildBlockTree, cold_random_with_duplicates, RandomWithDuplicates, ECache::Cold)
    ->Apply(TimedSizes);
BENCHMARK_CAPTURE(AnalyzeBlocking, no_blocking, NoBlocking)->Apply(TimedSizes);
BENCHMARK_CAPTURE(AnalyzeBlocking, wide_fans, WideFans)->Apply(TimedSizes);
BENCHMARK_CAPTURE(AnalyzeBlocking, one_chain, OneChain)->Apply(TimedSizes);
BENCHMARK_CAPTURE(AnalyzeBlocking, random_with_duplicates, RandomWithDuplicates)->Apply(TimedSizes);
BENCHMARK_CAPTURE(ReadKeys, warm, ECache::Warm)->Apply(TimedSizes);
BENCHMARK_CAPTURE(ReadKeys, cold, ECache::Cold)->Apply(TimedSizes);
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
