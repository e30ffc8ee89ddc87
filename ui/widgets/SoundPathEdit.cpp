#include "SoundPathEdit.h"

#include <QAction>
#include <QEvent>
#include <QIcon>
#include <QStyle>

namespace {

QIcon ThemeIcon(const char* name, QStyle::StandardPixmap fallback, const QWidget* widget) {
    return QIcon::fromTheme(QLatin1String(name), widget->style()->standardIcon(fallback));
}

} // namespace

TSoundPathEdit::TSoundPathEdit(QWidget* parent) : QLineEdit(parent) {
    // Trailing buttons line up from the right edge: the folder last, the loudspeaker before it.
    FolderButton = addAction(ThemeIcon("document-open", QStyle::SP_DirOpenIcon, this),
                             QLineEdit::TrailingPosition);
    FolderButton->setToolTip(QStringLiteral("Select WAV file"));
    PlayButton = addAction(ThemeIcon("audio-volume-high", QStyle::SP_MediaVolume, this),
                           QLineEdit::TrailingPosition);
    PlayButton->setToolTip(QStringLiteral("Play"));
    connect(PlayButton, &QAction::triggered, this, [this] { emit ButtonClick(0); });
    connect(FolderButton, &QAction::triggered, this, [this] { emit ButtonClick(1); });
}

void TSoundPathEdit::changeEvent(QEvent* event) {
    // The buttons go with the field: a disabled field offers neither.
    if (event->type() == QEvent::EnabledChange) {
        PlayButton->setEnabled(isEnabled());
        FolderButton->setEnabled(isEnabled());
    }
    QLineEdit::changeEvent(event);
}
