// "Save snapshot...": the focused server's whole process tree as CSV (RFC 4180: comma
// separated, fields with commas, quotes or line breaks in double quotes, CR LF line ends),
// UTF-8, one row per process in tree order with its depth and the SPID it hangs under, so the
// tree can be rebuilt from the file.
#pragma once

#include <QString>
#include <functional>

class QWidget;
class TProcessList;

// Header "Depth,Parent SPID," and the process view's thirteen captions; then the rows.
QString ProcessTreeCsv(const TProcessList& list);
// One field as RFC 4180 wants it.
QString CsvField(const QString& text);

// Takes the snapshot's text, then asks for the file (the folder of the last save is offered
// again) and writes it; list is not used once the dialog opens. Returns the
// file written, or empty when the user cancelled. Write failures throw Exception.
QString SaveSnapshotCsv(const TProcessList& list, const QString& serverName, QWidget* parent);

// The file dialog, replaceable in tests: parent, suggested path; returns the chosen path or
// empty.
extern std::function<QString(QWidget*, const QString&)> AskSnapshotFile;
