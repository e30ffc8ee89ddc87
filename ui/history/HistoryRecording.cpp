#include "HistoryRecording.h"

#include "FileNames.h"
#include "HistoryStore.h"
#include "ServerData.h"
#include "Settings.h"

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

std::map<std::string, std::int64_t> THistoryRecording::NewestDeadlockTimes() {
    try {
        THistoryStore store(FileName(), THistoryStore::TMode::Read);
        return store.NewestDeadlockTimes();
    } catch (const THistoryError&) {
        return {}; // nothing recorded yet, or a file the writer has still to bring up to date
    }
}

void THistoryRecording::Stop() {
    HistoryRecorder.SetWriter(nullptr); // ends the episodes under way in the old writer
    HistoryWriter.reset();              // writes what is left and stops the thread
}
