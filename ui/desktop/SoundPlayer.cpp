#include "SoundPlayer.h"

#include "DesktopErrors.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <mmsystem.h>
#else
#include <QSoundEffect>
#include <QUrl>
#endif
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

QString DefaultFindSoundFile(const QString& soundPath) {
    if (soundPath.isEmpty())
        return QString();
    if (soundPath.contains(u'/') || QFileInfo(soundPath).isAbsolute())
        return soundPath;
    // Beside the program, then where `cmake --install` puts the sounds.
    const QDir programDir(QCoreApplication::applicationDirPath());
    const QString installed =
        programDir.filePath(QStringLiteral("../share/tallyvane/sounds/") + soundPath);
    if (!QFileInfo(programDir.filePath(soundPath)).isFile() && QFileInfo(installed).isFile())
        return installed;
    return programDir.filePath(soundPath);
}

// Reads the RIFF header; errors as the system reports them.
void CheckWaveFile(const QString& fileName) {
    errno = 0;
#ifdef _WIN32
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        _wfopen(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(fileName).utf16()),
                L"rb"),
        &std::fclose);
#else
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        std::fopen(QFile::encodeName(fileName).constData(), "rb"), &std::fclose);
#endif
    if (!file)
        throw EOSError(errno != 0 ? errno : ENOENT);
    char header[12] = {};
    const std::size_t read = std::fread(header, 1, sizeof header, file.get());
    if (read != sizeof header || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0)
        throw EOSError(0);
}

#ifndef _WIN32
QSoundEffect& Player() {
    // Lives as long as the application, so that the sound outlasts the dialog that started it.
    static QSoundEffect* player = [] {
        auto* effect = new QSoundEffect(qApp);
        QObject::connect(effect, &QSoundEffect::statusChanged, effect, [effect] {
            if (effect->status() == QSoundEffect::Error)
                QApplication::beep();
        });
        return effect;
    }();
    return *player;
}
#endif

} // namespace

TFindSoundFile FindSoundFileHook = &DefaultFindSoundFile;

void PlaySoundFile(const QString& soundPath) {
    const QString file = FindSoundFileHook ? FindSoundFileHook(soundPath) : soundPath;
    if (file.isEmpty())
        throw EOSError(ENOENT);
    CheckWaveFile(file);
#ifdef _WIN32
    // Asynchronous; a new sound replaces one still playing. A device that fails gives the
    // stop beep.
    const QString native = QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath());
    if (!::PlaySoundW(reinterpret_cast<const wchar_t*>(native.utf16()), nullptr,
                      SND_FILENAME | SND_ASYNC | SND_NODEFAULT))
        QApplication::beep();
#else
    QSoundEffect& player = Player();
    player.stop();
    const QUrl url = QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath());
    if (player.source() != url)
        player.setSource(url);
    player.play();
#endif
}
