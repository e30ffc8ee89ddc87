// The main window's part in the blocking history: the recorder fed from every monitor's call
// back, and the writer thread for the history file beside the settings file while recording
// is on. A writer's failure reaches the error log once.
#pragma once

#include "HistoryRecorder.h"
#include "HistoryWriter.h"

#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class TServerData;

class THistoryRecording : public QObject {
    Q_OBJECT
public:
    // logError gets the writer's message (on the GUI thread).
    explicit THistoryRecording(std::function<void(const std::string&)> logError,
                               QObject* parent = nullptr);
    ~THistoryRecording() override;

    // Follows RecordHistory and HistoryRetentionDays: starts or stops the writer.
    void ApplySettings();
    void ServerChanged(TServerData& server);
    void ServerRemoved(TServerData& server);
    // Hands a confirmed kill to the writer; nothing is kept while recording is off.
    void RecordKill(TKillRecord kill);
    // Deadlock reports the server's monitor read: to the writer while recording.
    void DeadlocksRead(const TServerData& server, std::vector<TDeadlockReport> reports);
    // The newest deadlock stored for each server, so that a monitor starting again takes only
    // what came after; empty when the file cannot be read (a report read twice is kept once
    // all the same).
    static std::map<std::string, std::vector<std::int64_t>> NewestDeadlockTimes();
    // Ends every episode under way as Unknown and writes what is left (the program stops).
    void Stop();

    // The history file: beside the settings file.
    static std::string FileName();
    THistoryWriter* Writer() const { return HistoryWriter.get(); }
    THistoryRecorder& Recorder() { return HistoryRecorder; }

signals:
    // The writer put another batch into the history file.
    void Committed();

private:
    std::function<void(const std::string&)> LogError;
    THistoryRecorder HistoryRecorder;
    std::unique_ptr<THistoryWriter> HistoryWriter;
};
