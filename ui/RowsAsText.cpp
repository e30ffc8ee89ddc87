#include "RowsAsText.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>

std::vector<int> ShownColumns(const QHeaderView& header) {
    std::vector<int> columns;
    for (int visual = 0; visual < header.count(); ++visual) {
        const int logical = header.logicalIndex(visual);
        if (!header.isSectionHidden(logical))
            columns.push_back(logical);
    }
    return columns;
}

QString TabSeparated(const QStringList& captions, const std::vector<QStringList>& rows) {
    auto line = [](const QStringList& cells) {
        QStringList clean;
        for (QString cell : cells)
            clean << cell.replace(u'\t', u' ').replace(u'\r', u' ').replace(u'\n', u' ');
        return clean.join(u'\t');
    };
    QStringList lines{line(captions)};
    for (const QStringList& row : rows)
        lines << line(row);
    return lines.join(u'\n') + u'\n';
}

bool CopyOnCopyKey(QKeyEvent* event, const std::function<QString()>& text) {
    if (event != QKeySequence::Copy)
        return false;
    const QString copied = text();
    if (!copied.isEmpty())
        QApplication::clipboard()->setText(copied);
    event->accept();
    return true;
}
