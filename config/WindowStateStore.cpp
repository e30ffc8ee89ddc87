#include "WindowStateStore.h"

#include "Errors.h"

#include <QSettings>
#include <algorithm>
#include <cstdint>

namespace {

QString& OverrideFile() {
    static QString file;
    return file;
}

std::unique_ptr<QSettings> OpenStore() {
    if (!OverrideFile().isEmpty())
        return std::make_unique<QSettings>(OverrideFile(), QSettings::IniFormat);
#ifdef Q_OS_WIN
    return std::make_unique<QSettings>(QStringLiteral("HKEY_CURRENT_USER\\Software\\Tallyvane"),
                                       QSettings::NativeFormat);
#else
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Tallyvane"), QStringLiteral("Tallyvane"));
#endif
}

} // namespace

void SetWindowStateFile(const QString& iniFile) {
    OverrideFile() = iniFile;
}

TWindowStateStore::TWindowStateStore() : Settings(OpenStore()) {}

TWindowStateStore::~TWindowStateStore() = default;

QStringList TWindowStateStore::KeyElements(const QString& keyPath) {
    QString path = keyPath;
    path.replace(u'/', u'\\');
    return path.split(u'\\', Qt::SkipEmptyParts);
}

QString TWindowStateStore::Group(const QString& keyPath) const {
    QStringList elements = KeyElements(keyPath);
    // The store itself is Software\Tallyvane.
    if (elements.size() >= 2 &&
        elements[0].compare(QLatin1String("Software"), Qt::CaseInsensitive) == 0 &&
        elements[1].compare(QLatin1String("Tallyvane"), Qt::CaseInsensitive) == 0)
        elements.remove(0, 2);
    return elements.join(u'/');
}

bool TWindowStateStore::KeyExists(const QString& keyPath) const {
    const QString group = Group(keyPath);
    if (group.isEmpty())
        return !Settings->allKeys().isEmpty();
    Settings->beginGroup(group);
    const bool exists = !Settings->childKeys().isEmpty() || !Settings->childGroups().isEmpty();
    Settings->endGroup();
    return exists;
}

std::optional<QString> TWindowStateStore::ReadString(const QString& keyPath,
                                                     const QString& name) const {
    const QString group = Group(keyPath);
    const QVariant value = Settings->value(group.isEmpty() ? name : group + u'/' + name);
    if (!value.isValid())
        return std::nullopt;
    return value.toString();
}

std::optional<std::int64_t> TWindowStateStore::ReadInteger(const QString& keyPath,
                                                           const QString& name) const {
    const std::optional<QString> text = ReadString(keyPath, name);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const qlonglong number = text->trimmed().toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return number;
}

void TWindowStateStore::WriteString(const QString& keyPath, const QString& name,
                                    const QString& value) {
    const QString group = Group(keyPath);
    Settings->setValue(group.isEmpty() ? name : group + u'/' + name, value);
}

void TWindowStateStore::WriteInteger(const QString& keyPath, const QString& name,
                                     std::int64_t value) {
    const QString group = Group(keyPath);
    // A DWORD in the registry (32 bits); a number in the INI file.
    const auto dword = static_cast<int>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
    Settings->setValue(group.isEmpty() ? name : group + u'/' + name, dword);
}

void TWindowStateStore::Flush() {
    Settings->sync();
    if (Settings->status() != QSettings::NoError)
        throw Exception("Cannot write the window state to " + Location().toStdString());
}

QString TWindowStateStore::Location() const {
    return Settings->fileName();
}
