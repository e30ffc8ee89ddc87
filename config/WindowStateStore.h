// The per-user store of the main window's layout: keys named by registry-style paths below
// the current user ("Software\Tallyvane\MainForm"), values that are numbers (DWORD) or texts.
// It is QSettings: on Windows the registry key HKEY_CURRENT_USER\Software\Tallyvane itself,
// elsewhere Tallyvane.conf in the user's configuration folder for Tallyvane. Paths below
// Software\Tallyvane map onto the store's groups; empty path elements are dropped.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>

class QSettings;

class TWindowStateStore {
public:
    TWindowStateStore();
    ~TWindowStateStore();
    TWindowStateStore(const TWindowStateStore&) = delete;
    TWindowStateStore& operator=(const TWindowStateStore&) = delete;

    // The path's non-empty elements ("\\A\\\\B\\" gives A, B).
    static QStringList KeyElements(const QString& keyPath);

    bool KeyExists(const QString& keyPath) const;
    // A value's text, whether it was written as a number or as a text; nothing when missing.
    std::optional<QString> ReadString(const QString& keyPath, const QString& name) const;
    // A number, or a text holding a whole number; nothing when missing or not a number.
    std::optional<std::int64_t> ReadInteger(const QString& keyPath, const QString& name) const;
    void WriteString(const QString& keyPath, const QString& name, const QString& value);
    void WriteInteger(const QString& keyPath, const QString& name, std::int64_t value);
    // Writes everything out; throws Exception when the store cannot be written.
    void Flush();

    // Where the store lives (a file name, or the registry key on Windows).
    QString Location() const;

private:
    QString Group(const QString& keyPath) const;

    std::unique_ptr<QSettings> Settings;
};

// Keeps the store in this INI file instead of the per-user one (tests, portable use); an
// empty name goes back to the per-user store.
void SetWindowStateFile(const QString& iniFile);
