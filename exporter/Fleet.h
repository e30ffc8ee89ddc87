// The fleet: one monitor per enabled server of the server list (those of this exporter's
// shard), driven as the desktop program drives them: every poll interval each monitor that is
// not busy is refreshed. The monitors report to the fleet as their owner; it keeps per server
// what the metrics publish, and writes one line to its log when a server goes down, comes up
// or fails differently. Everything runs on the thread of the Qt event loop.
#pragma once

#include "FleetServer.h"
#include "ServerOwner.h"
#include "Shard.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

class TFleet : public QObject, public IServerOwner {
    Q_OBJECT

public:
    // Servers that are disabled or outside the shard are left out. Equal names get " (2)",
    // " (3)" ... appended to their label, so that every series stays apart; the log says so.
    TFleet(const std::vector<TServerInfo>& servers, const TShard& shard, std::ostream& log);
    ~TFleet() override;

    // Polls every server now and then every intervalSeconds.
    void Start(unsigned intervalSeconds);
    void Stop();
    // Each monitor reads the deadlock reports new since the exporter started, at most once an
    // interval, behind its polls.
    void ReadDeadlocks(std::chrono::seconds interval);
    // Starts a poll of every server that is watched and not busy.
    void PollAll();
    // No poll is outstanding.
    bool Idle() const;

    const std::vector<std::unique_ptr<TFleetServer>>& Servers() const { return List; }
    // Copies of what the metrics publish, in list order.
    std::vector<TServerReport> Reports() const;

    // IServerOwner
    void ServerChanged(TServerData& server) override;
    bool Warn(TServerData& server) override;
    void LogError(const std::string& serverName, const std::exception& error) override;
    void DeadlocksRead(TServerData& server, const std::vector<TDeadlockReport>& reports) override;

signals:
    // Every outstanding poll has completed.
    void AllPolled();
    // A poll completed: the reports changed.
    void Changed();

private:
    void PollCompleted(TFleetServer& server);
    void Report(const TFleetServer& server, bool wasUp, const std::string& oldMessage);

    std::vector<std::unique_ptr<TFleetServer>> List;
    std::unordered_map<const TServerData*, TFleetServer*> ByMonitor;
    std::unordered_map<std::string, TFleetServer*> ByLabel;
    std::ostream& Log;
    QTimer PollTimer;
};
