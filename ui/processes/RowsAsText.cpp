#include "RowsAsText.h"

#include "SpreadsheetText.h"

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

QString TabSeparated(const QStringList& captions, const std::vector<QStringList>& rows,
                     const std::vector<bool>& numbers) {
    auto line = [&](const QStringList& cells, bool caption) {
        QStringList clean;
        for (qsizetype c = 0; c < cells.size(); ++c) {
            const bool number = static_cast<std::size_t>(c) < numbers.size() &&
                                numbers[static_cast<std::size_t>(c)];
            QString cell = caption || number
                               ? cells[c]
                               : QString::fromStdString(SpreadsheetText(cells[c].toStdString()));
            clean << cell.replace(u'\t', u' ').replace(u'\r', u' ').replace(u'\n', u' ');
        }
        return clean.join(u'\t');
    };
    QStringList lines{line(captions, true)};
    for (const QStringList& row : rows)
        lines << line(row, false);
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
