#include "ErrorLog.h"

#include "Errors.h"
#include "Icons.h"

#include <QHeaderView>
#include <QLocale>
#include <QRegularExpression>
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
    auto* row = new QTreeWidgetItem;
    row->setIcon(ErrTimeTLC, Images.Icon(0));
    row->setText(ErrTimeTLC, TimeText(QDateTime::currentDateTime()));
    row->setText(ErrServerTLC, QString::fromStdString(serverName));
    const QString description = Description(error);
    row->setText(ErrDescriptionTLC, description);
    row->setToolTip(ErrDescriptionTLC, description);
    insertTopLevelItem(0, row);
    while (topLevelItemCount() > MaxEntries)
        delete takeTopLevelItem(topLevelItemCount() - 1);
    setCurrentItem(row);
    scrollToItem(row);
}

void TErrorLog::Clearerrors1Click() {
    clear();
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
