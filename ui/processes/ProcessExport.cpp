#include "ProcessExport.h"

#include "AtomicFile.h"
#include "Errors.h"
#include "ProcessList.h"
#include "ProcessModel.h"
#include "SpreadsheetText.h"
#include "WindowState.h"
#include "WindowStateStore.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>
#include <vector>

std::function<QString(QWidget*, const QString&)> AskSnapshotFile = [](QWidget* parent,
                                                                      const QString& suggested) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("Save snapshot"), suggested,
                                        QStringLiteral("CSV files (*.csv);;All files (*)"));
};

namespace {

const QString kFolderKey = QString::fromLatin1(WindowStateRoot) + "MainForm";
const QString kFolderValue = QStringLiteral("SnapshotFolder");

// Text that came from a server: no formula, no control characters. The numbers the program
// writes stay numbers (a session blocked by -2 is an orphaned transaction, not a formula).
QString Q(const std::string& s) {
    return QString::fromStdString(SpreadsheetText(s));
}

QString Q(const QString& s) {
    return Q(s.toStdString());
}

QString Cell(const TProcessItem& item, int column) {
    switch (column) {
    case TProcessModel::SpidTLC:
        return QString::number(item.Spid);
    case TProcessModel::DBNameTLC:
        return Q(item.DBName);
    case TProcessModel::WaitInfoTLC:
        return Q(TProcessModel::WaitInfoText(item.WaitTime, item.LastWaitType, item.WaitResource));
    case TProcessModel::OpenTranCountTLC:
        return QString::number(item.OpenTran);
    case TProcessModel::StatusTLC:
        return Q(item.Status);
    case TProcessModel::HostNameTLC:
        return Q(item.HostName);
    case TProcessModel::AppNameTLC:
        return Q(item.ProgramName);
    case TProcessModel::CommandTLC:
        return Q(item.Cmd);
    case TProcessModel::BlockSpidTLC:
        return QString::number(item.Blocked);
    case TProcessModel::LoginNameTLC:
        return Q(item.LoginName);
    case TProcessModel::CpuTLC:
        return QString::number(item.Cpu);
    case TProcessModel::PhysicalIoTLC:
        return QString::number(item.PhysicalIo);
    case TProcessModel::MemusageTLC:
        return QString::number(item.MemUsage);
    default:
        return QString();
    }
}

} // namespace

QString CsvField(const QString& text) {
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') &&
        !text.contains(u'\n'))
        return text;
    QString quoted = text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QString ProcessTreeCsv(const TProcessList& list) {
    QString csv = QStringLiteral("Depth,Parent SPID");
    for (const char* caption : TProcessModel::ColumnCaptions)
        csv += u',' + CsvField(QString::fromLatin1(caption));
    csv += QStringLiteral("\r\n");
    // Pre-order, children in their order, without recursion.
    struct TEntry {
        const TProcessItem* Item;
        int Depth;
        std::int32_t Parent;
    };
    std::vector<TEntry> pending;
    for (std::int32_t i = list.Count() - 1; i >= 0; --i)
        pending.push_back({list.Item(i), 0, 0});
    while (!pending.empty()) {
        const TEntry e = pending.back();
        pending.pop_back();
        csv += QString::number(e.Depth) + u',' +
               (e.Depth == 0 ? QString() : QString::number(e.Parent));
        for (int c = 0; c < TProcessModel::ColumnCount; ++c)
            csv += u',' + CsvField(Cell(*e.Item, c));
        csv += QStringLiteral("\r\n");
        for (auto it = e.Item->Children.rbegin(); it != e.Item->Children.rend(); ++it)
            pending.push_back({it->get(), e.Depth + 1, e.Item->Spid});
    }
    return csv;
}

QString SaveSnapshotCsv(const TProcessList& list, const QString& serverName, QWidget* parent) {
    // Taken before the file dialog: refreshes behind it replace or free the snapshot.
    const QByteArray text = ProcessTreeCsv(list).toUtf8();
    TWindowStateStore store;
    QString folder = store.ReadString(kFolderKey, kFolderValue).value_or(QString());
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QString safeName = serverName;
    for (QChar& c : safeName)
        if (!c.isLetterOrNumber() && c != u'-' && c != u'_')
            c = u'_';
    const QString suggested = QDir(folder).filePath(
        safeName + QDateTime::currentDateTime().toString(QStringLiteral("-yyyyMMdd-HHmmss")) +
        ".csv");
    const QString file = AskSnapshotFile(parent, suggested);
    if (file.isEmpty())
        return QString();
    if (const std::error_code ec =
            WriteFileAtomically(file.toStdString(), std::string(text.constData(), text.size())))
        throw Exception("Unable to write to " + file.toStdString() + ": " + ec.message());
    store.WriteString(kFolderKey, kFolderValue, QFileInfo(file).absolutePath());
    store.Flush();
    return file;
}
