// How many statements the monitor sends per refresh, beside the process query, for a calm
// server and for one that shows blocking (the history recorder attached, as in the program),
// and how many opening the process info card costs. Counted in tdssim's client log. The
// "Blocking now" board and the notices are attached as in the program (the board shown, a
// webhook set), so their cost is counted too.
// Usage: bench_card_statements [refreshes] (default 20). Prints figures; passes or fails
// nothing.
#include "BlockingBoard.h"
#include "HistoryRecorder.h"
#include "NoticeRelay.h"
#include "ProcessInfoF.h"
#include "ServerData.h"
#include "ServerOwner.h"
#include "Settings.h"
#include "TdsSimProcess.h"
#include "WindowStateStore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <map>
#include <string>

using tallyvane::testsupport::TdsSimProcess;

namespace {

class Owner : public IServerOwner {
public:
    Owner() {
        Board.Servers = [this] {
            return Server ? std::vector<TServerData*>{Server} : std::vector<TServerData*>{};
        };
        Board.show();
        Relay.LoopbackOnly = true;
        Relay.ApplySettings();
    }
    void ServerChanged(TServerData& server) override {
        Server = &server;
        Recorder.ServerChanged(server, {true, 3000, 3000});
        Relay.ServerChanged(server);
        Board.ServerChanged(server);
        Board.Update();
    }
    bool Warn(TServerData&) override { return false; }
    void LogError(const std::string&, const std::exception&) override {}
    THistoryRecorder Recorder;
    TServerData* Server = nullptr;
    TBlockingBoard Board;
    TNoticeRelay Relay{[](const std::string&) {}};
};

const std::string ProcessQueryStart = "select spid, blocked, d.name";

// Batches in the log so far, by kind: the process query, or the statement's first words.
std::map<std::string, int> Batches(const TdsSimProcess& sim) {
    std::map<std::string, int> kinds;
    for (const auto& e : sim.logEntries()) {
        if (e.at("event") != "batch")
            continue;
        const std::string& text = e.at("text");
        kinds[text.rfind(ProcessQueryStart, 0) == 0 ? "process query" : text.substr(0, 48)]++;
    }
    return kinds;
}

int Total(const std::map<std::string, int>& kinds) {
    int n = 0;
    for (const auto& [kind, count] : kinds)
        n += count;
    return n;
}

void Wait(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

TServerInfo Info(const TdsSimProcess& sim) {
    TServerInfo info;
    info.Name = "Bench";
    info.Enabled = true;
    info.Timeout = 10;
    info.ConnectionString = sim.oledbConnectionString();
    return info;
}

void Print(const char* what, const std::map<std::string, int>& before,
           const std::map<std::string, int>& after, int refreshes) {
    std::printf("%s: %d refreshes\n", what, refreshes);
    int extra = 0;
    for (const auto& [kind, count] : after) {
        const auto b = before.find(kind);
        const int n = count - (b == before.end() ? 0 : b->second);
        if (n == 0)
            continue;
        std::printf("  %5d  %s\n", n, kind.c_str());
        if (kind != "process query")
            extra += n;
    }
    std::printf("  extra statements per refresh: %.3f\n",
                refreshes ? 1.0 * extra / refreshes : 0.0);
}

// One refresh per step of the scenario clock, so a whole timeline passes in a few seconds.
void Refreshes(TdsSimProcess& sim, TServerData& server, int refreshes, double step) {
    for (int i = 0; i < refreshes; ++i) {
        if (step > 0)
            sim.setClock(0, refreshes == 1 ? step : i * step);
        server.Refresh();
        Wait([&] { return !server.Busy; });
    }
    // Answers of statements sent at the last refresh.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 300)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

void Card(TdsSimProcess& sim, TServerData& server, std::int32_t spid, const char* what) {
    const auto before = Batches(sim);
    QTimer::singleShot(0, [] {
        QTimer::singleShot(50, [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
    });
    // The row as the main window hands it over, wait resource included.
    TProcessDetails details;
    details.Spid = spid;
    if (const TProcessItem* row = server.ProcessList.FindBySpid(spid)) {
        details.Known = true;
        details.Login = row->LoginName;
        details.Host = row->HostName;
        details.Program = row->ProgramName;
        details.WaitResource = row->WaitResource;
    }
    ShowProcessInfo(server, details);
    const auto after = Batches(sim);
    std::printf("card of %s (SPID %d): %d statements\n", what, spid, Total(after) - Total(before));
    for (const auto& [kind, count] : after) {
        const auto b = before.find(kind);
        const int n = count - (b == before.end() ? 0 : b->second);
        if (n != 0)
            std::printf("  %5d  %s\n", n, kind.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int refreshes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    std::printf("Goal: extra statements per refresh of a calm and of a blocking server, as the "
                "server counts them; the card's reads beside.\n");
    ResetSettings();
    // A receiver that is not there: the notices cost their sending thread, not the server.
    WebhookUrl = "http://127.0.0.1:9/hook";
    // The card remembers its size: not in the user's store.
    QTemporaryDir state;
    SetWindowStateFile(state.filePath(QStringLiteral("state.ini")));

    {
        TdsSimProcess sim("gen:sessions=60,blocked=0");
        Owner owner;
        TServerData server(owner, Info(sim));
        Refreshes(sim, server, 1, 0); // the connect and its questions
        const auto before = Batches(sim);
        Refreshes(sim, server, refreshes, 0);
        Print("calm server (60 sessions, none blocked)", before, Batches(sim), refreshes);
    }
    {
        TdsSimProcess sim("demo");
        Owner owner;
        TServerData server(owner, Info(sim));
        Refreshes(sim, server, 1, 0);
        const auto before = Batches(sim);
        // The demo's 30-second timeline, passed through in equal steps.
        Refreshes(sim, server, refreshes, 30.0 / refreshes);
        Print("blocking server (demo, one 30 s round)", before, Batches(sim), refreshes);

        // The database names are learned once per server, not per card.
        server.DatabaseNames = server.ReadDatabaseNames();
        Refreshes(sim, server, 1, 11);
        Card(sim, server, 51, "a head blocker with an open transaction");
        Card(sim, server, 53, "a blocked session (KEY wait)");
        Card(sim, server, 60, "an idle session");
    }
    return 0;
}
