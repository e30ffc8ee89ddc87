// Selected rows as tab-separated text with a header line: what Ctrl+C puts on the clipboard in
// the process view and the error log.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QHeaderView;
class QKeyEvent;

// The logical columns the user sees, in the order they stand.
std::vector<int> ShownColumns(const QHeaderView& header);
// One line for the captions, one per row; tabs and line breaks inside cells become blanks.
// Cells go through SpreadsheetText (no formulas, no control characters) unless numbers marks
// their column as one of the program's own numbers.
QString TabSeparated(const QStringList& captions, const std::vector<QStringList>& rows,
                     const std::vector<bool>& numbers = {});
// Handles the copy key: puts text() on the clipboard unless it is empty. False for other keys.
bool CopyOnCopyKey(QKeyEvent* event, const std::function<QString()>& text);
