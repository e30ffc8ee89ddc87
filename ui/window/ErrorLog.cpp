#include "ErrorLog.h"

#include "DisplayText.h"
#include "Errors.h"
#include "HistoryF.h"
#include "Icons.h"
#include "RowsAsText.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <typeinfo>

TErrorLog::TErrorLog(const TImageList& images, QWidget* parent)
    : QTreeWidget(parent), Images(images) {
    setObjectName("ErrorsTL");
    setColumnCount(3);
    setHeaderLabels({"Time", "Server", "Description"});
    setRootIsDecorated(false);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setTextElideMode(Qt::ElideRight);
    setSortingEnabled(false);
    setIconSize(Images.Size());
    header()->setSectionsMovable(true);
    header()->setSectionsClickable(false);
    header()->setStretchLastSection(true);
    header()->resizeSection(ErrTimeTLC, 175);
    header()->resizeSection(ErrServerTLC, 120);
    header()->resizeSection(ErrDescriptionTLC, 690);
    // The saved layout keys columns by these names.
    const char* names[] = {"ErrTimeTLC", "ErrServerTLC", "ErrDescriptionTLC"};
    for (int c = 0; c < 3; ++c)
        headerItem()->setData(c, Qt::UserRole, QString::fromLatin1(names[c]));
}

void TErrorLog::LogError(const std::string& serverName, const std::exception& error) {
    const QString server = QString::fromStdString(serverName);
    const QString description = Description(error);
    // A server that fails the same way at every refresh folds into its latest row: the row
    // shows the last occurrence and a count, and moves up as a new entry would. One server's
    // repeats never push other servers' entries out of the log.
    const auto latest = LatestRow.constFind(server);
    if (latest != LatestRow.cend() &&
        (*latest)->data(ErrDescriptionTLC, Qt::UserRole).toString() == description) {
        QTreeWidgetItem* row = *latest;
        const int count = row->data(ErrTimeTLC, Qt::UserRole).toInt() + 1;
        row->setData(ErrTimeTLC, Qt::UserRole, count);
        row->setText(ErrTimeTLC, TimeText(QDateTime::currentDateTime()));
        ShowDescription(row, server);
        if (const int at = indexOfTopLevelItem(row); at != 0) {
            takeTopLevelItem(at);
            insertTopLevelItem(0, row);
        }
        FocusNewest();
        return;
    }
    auto* row = new QTreeWidgetItem;
    row->setIcon(ErrTimeTLC, Images.Icon(0));
    row->setText(ErrTimeTLC, TimeText(QDateTime::currentDateTime()));
    row->setData(ErrServerTLC, Qt::UserRole, row->text(ErrTimeTLC)); // the first occurrence
    row->setText(ErrServerTLC, DisplayText(server));
    row->setText(ErrDescriptionTLC, DisplayText(description));
    row->setData(ErrDescriptionTLC, Qt::UserRole, description);
    row->setData(ErrTimeTLC, Qt::UserRole, 1);
    row->setToolTip(ErrDescriptionTLC, ToolTipText(description));
    insertTopLevelItem(0, row);
    LatestRow.insert(server, row);
    ShowDescription(row, server);
    TrimToMax();
    FocusNewest();
}

void TErrorLog::TrimToMax() {
    while (topLevelItemCount() > MaxEntries) {
        QTreeWidgetItem* oldest = takeTopLevelItem(topLevelItemCount() - 1);
        // The bottom row is its server's latest only when the server has no other row.
        const auto entry = LatestRow.find(oldest->text(ErrServerTLC));
        if (entry != LatestRow.end() && *entry == oldest)
            LatestRow.erase(entry);
        delete oldest;
    }
}

void TErrorLog::ShowDescription(QTreeWidgetItem* row, const QString& server) {
    QString text = DisplayText(row->data(ErrDescriptionTLC, Qt::UserRole).toString());
    if (const int count = row->data(ErrTimeTLC, Qt::UserRole).toInt(); count > 1)
        text += QStringLiteral(" \u00D7") + QString::number(count);
    // The count and the outage are at the end of a long text, where the cell cuts them off:
    // the tooltip says them too, with the first occurrence.
    QString tip = row->data(ErrDescriptionTLC, Qt::UserRole).toString();
    if (const int count = row->data(ErrTimeTLC, Qt::UserRole).toInt(); count > 1)
        tip += QStringLiteral("\n%1 times since %2")
                   .arg(count)
                   .arg(row->data(ErrServerTLC, Qt::UserRole).toString());
    if (const auto down = DownSince.constFind(server);
        down != DownSince.cend() && LatestRow.value(server) == row) {
        text += QStringLiteral(" \u00B7 down since ") + TimeText(*down);
        tip += QStringLiteral("\nThe server has not answered since ") + TimeText(*down);
    }
    row->setText(ErrDescriptionTLC, text);
    row->setToolTip(ErrDescriptionTLC, ToolTipText(tip));
}

void TErrorLog::MarkDown(const std::string& serverName, const QDateTime& since) {
    const QString server = QString::fromStdString(serverName);
    DownSince.insert(server, since);
    if (QTreeWidgetItem* row = LatestRow.value(server))
        ShowDescription(row, server);
}

bool TErrorLog::IsSettled(const QTreeWidgetItem* row) {
    return row->data(ErrServerTLC, Qt::UserRole + 1).toBool();
}

void TErrorLog::MarkRecovered(const std::string& serverName, const QDateTime& since,
                              const QDateTime& now) {
    const QString server = QString::fromStdString(serverName);
    const QString shown = DisplayText(server);
    DownSince.remove(server);
    // Its errors are history now: grey, without the red mark, and none folds into them.
    const QBrush grey(QColor(128, 128, 128));
    const QIcon settled(Images.Icon(0).pixmap(Images.Size(), QIcon::Disabled));
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = topLevelItem(i);
        if (row->text(ErrServerTLC) != shown || IsSettled(row))
            continue;
        row->setData(ErrServerTLC, Qt::UserRole + 1, true);
        row->setIcon(ErrTimeTLC, settled);
        for (int c = 0; c < columnCount(); ++c)
            row->setForeground(c, grey);
        if (LatestRow.value(server) == row)
            ShowDescription(row, QString()); // without "down since"
    }
    LatestRow.remove(server);
    auto* row = new QTreeWidgetItem;
    row->setText(ErrTimeTLC, TimeText(now));
    row->setText(ErrServerTLC, shown);
    const QString text = QStringLiteral("Answers again: recovered after %1 (down since %2)")
                             .arg(THistoryF::DurationText(since.msecsTo(now)), TimeText(since));
    row->setText(ErrDescriptionTLC, text);
    row->setData(ErrDescriptionTLC, Qt::UserRole, text);
    row->setData(ErrTimeTLC, Qt::UserRole, 1);
    row->setData(ErrServerTLC, Qt::UserRole + 1, true);
    row->setToolTip(ErrDescriptionTLC, text);
    insertTopLevelItem(0, row);
    TrimToMax();
    FocusNewest();
}

void TErrorLog::FocusNewest() {
    // Focusing a row lays out the whole list. When hundreds of servers fail within one pass
    // of the event loop, that is done once, for the newest row, after the pass.
    if (FocusPending)
        return;
    FocusPending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            FocusPending = false;
            if (QTreeWidgetItem* newest = topLevelItem(0)) {
                setCurrentItem(newest);
                scrollToItem(newest);
            }
        },
        Qt::QueuedConnection);
}

QString TErrorLog::SelectedRowsText() const {
    QList<QTreeWidgetItem*> selected = selectedItems();
    if (selected.isEmpty())
        return QString();
    std::sort(selected.begin(), selected.end(), [this](QTreeWidgetItem* a, QTreeWidgetItem* b) {
        return indexOfTopLevelItem(a) < indexOfTopLevelItem(b);
    });
    const std::vector<int> columns = ShownColumns(*header());
    QStringList captions;
    for (int c : columns)
        captions << headerItem()->text(c);
    std::vector<QStringList> rows;
    for (QTreeWidgetItem* item : selected) {
        QStringList& cells = rows.emplace_back();
        for (int c : columns)
            cells << item->text(c);
    }
    return TabSeparated(captions, rows);
}

void TErrorLog::keyPressEvent(QKeyEvent* event) {
    if (!CopyOnCopyKey(event, [this] { return SelectedRowsText(); }))
        QTreeWidget::keyPressEvent(event);
}

void TErrorLog::Clearerrors1Click() {
    clear();
    LatestRow.clear();
}

QString TErrorLog::KindName(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Exception*>(&error))
        return QString::fromLatin1(own->ClassName());
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return QString::fromLatin1(status == 0 && name ? name.get() : mangled);
}

QString TErrorLog::Description(const std::exception& error) {
    // C++ exceptions carry no raising address; the field keeps its eight digits all the same.
    const quint32 address = 0;
    return QStringLiteral("%1 ( %2 at 0x%3)")
        .arg(QString::fromUtf8(error.what()), KindName(error),
             QStringLiteral("%1").arg(address, 8, 16, QLatin1Char('0')).toUpper());
}

QString TErrorLog::TimeText(const QDateTime& moment) {
    const QLocale locale;
    QString text = locale.toString(moment.date(), QLocale::ShortFormat);
    if (moment.time().msecsSinceStartOfDay() != 0) {
        // The long time format without the time zone, which a log line read on the same
        // machine does not need.
        // Worked out once per locale: compiling the expression for every entry cost more
        // than the rest of an entry when many servers fail at once.
        static QString formatLocale;
        static QString format;
        if (format.isEmpty() || formatLocale != locale.name()) {
            formatLocale = locale.name();
            format = locale.timeFormat(QLocale::LongFormat);
            format.remove(QRegularExpression(QStringLiteral("\\s*\\bt+\\b")));
            format = format.trimmed();
        }
        text += ' ' + locale.toString(moment.time(), format);
    }
    return text;
}
