// Records episodes into a history file as fast as it can and says on standard output which
// keys are committed: "committed <key>". The kill test ends it with SIGKILL at any moment.
#include "EpisodeDetector.h"
#include "HistoryTestSupport.h"
#include "HistoryWriter.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const std::string file = argv[1];
    std::uint64_t key = std::strtoull(argv[2], nullptr, 10);
    THistoryWriter writer(file, 14, TEpisodeDetector::SystemClock);
    writer.Start();
    const std::int64_t now = TEpisodeDetector::SystemClock();
    for (;; ++key) {
        // One episode that goes on (updated every time) and one that ends, per batch.
        TEpisode open =
            MakeEpisode("K", now, now + static_cast<std::int64_t>(key), 3, TEpisodeEnd::Open);
        TEpisode ended = MakeEpisode("K", now, now + 1000, 2, TEpisodeEnd::Ended);
        ended.Head.LoginName = std::to_string(key);
        const std::uint64_t before = writer.CommittedBatches();
        writer.Submit({{1, open, std::nullopt, {}}, {key + 1, ended, std::string("UPDATE t"), {}}});
        if (!writer.Flush())
            return 1;
        if (writer.CommittedBatches() > before) {
            std::printf("committed %llu\n", static_cast<unsigned long long>(key));
            std::fflush(stdout);
        }
    }
}
