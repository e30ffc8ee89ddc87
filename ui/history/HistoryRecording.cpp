#include "HistoryRecording.h"

#include "FileNames.h"
#include "HistoryStore.h"
#include "ServerData.h"
#include "Settings.h"

#include <chrono>

THistoryRecording::THistoryRecording(std::function<void(const std::string&)> logError,
                                     QObject* parent)
    : QObject(parent), LogError(std::move(logError)) {}

THistoryRecording::~THistoryRecording() {
    Stop();
}

std::string THistoryRecording::FileName() {
    return THistoryStore::FileNameBeside(SettingsFileName);
}

void THistoryRecording::ApplySettings() {
    if (!RecordHistory) {
        Stop();
        return;
    }
    if (HistoryWriter && HistoryWriter->FileName() != FileName())
        Stop();
    if (!HistoryWriter) {
        try {
            PrepareFolderOf(FileName());
        } catch (const std::exception&) {
            // The writer reports the folder it cannot write in.
        }
        HistoryWriter = std::make_unique<THistoryWriter>(FileName(), HistoryRetentionDays,
                                                         TEpisodeDetector::SystemClock);
        connect(HistoryWriter.get(), &THistoryWriter::Failed, this,
                [this](const QString& message) { LogError(message.toStdString()); });
        connect(HistoryWriter.get(), &THistoryWriter::Committed, this,
                &THistoryRecording::Committed);
        HistoryWriter->Start();
        HistoryRecorder.SetWriter(HistoryWriter.get());
    }
    HistoryWriter->SetRetentionDays(HistoryRetentionDays);
}

void THistoryRecording::ServerChanged(TServerData& server) {
    if (!HistoryWriter)
        return;
    HistoryRecorder.ServerChanged(
        server, {RecordHistory, static_cast<std::int32_t>(WarningTimeout), HistoryMinDurationMs()});
}

void THistoryRecording::ServerRemoved(TServerData& server) {
    HistoryRecorder.ServerRemoved(server);
}

void THistoryRecording::RecordKill(TKillRecord kill) {
    if (HistoryWriter)
        HistoryWriter->SubmitKill(std::move(kill));
}

void THistoryRecording::DeadlocksRead(const TServerData& server,
                                      std::vector<TDeadlockReport> reports) {
    if (HistoryWriter)
        HistoryRecorder.DeadlocksRead(server.Info.Name, std::move(reports));
}

std::map<std::string, std::vector<std::int64_t>> THistoryRecording::NewestDeadlockTimes() {
    try {
        THistoryStore store(FileName(), THistoryStore::TMode::Read);
        // The newest of all, and the newest not dated ahead of this clock by more than a
        // minute: the monitor takes the one that its server's clock allows.
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        std::map<std::string, std::vector<std::int64_t>> times;
        for (const auto& [server, time] : store.NewestDeadlockTimes())
            times[server].push_back(time);
        for (const auto& [server, time] : store.NewestDeadlockTimes(now + kDeadlockClockSlackMs))
            if (times[server].front() != time)
                times[server].push_back(time);
        return times;
    } catch (const THistoryError&) {
        return {}; // nothing recorded yet, or a file the writer has still to bring up to date
    }
}

void THistoryRecording::Stop() {
    HistoryRecorder.SetWriter(nullptr); // ends the episodes under way in the old writer
    HistoryWriter.reset();              // writes what is left and stops the thread
}
