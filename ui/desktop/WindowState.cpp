#include "WindowState.h"

#include "WindowStateStore.h"

#include <QAction>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QSplitter>
#include <QTreeView>
#include <QWidget>
#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

namespace {

// Show commands of a window placement.
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
// Placement flag: a minimized window comes back maximized.
constexpr int WPF_RESTORETOMAXIMIZED = 2;

QString Key(const QString& root, const QString& path) {
    return root + u'\\' + path;
}

QString ScreenSizeSuffix() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize size = screen ? screen->geometry().size() : QSize();
    return QStringLiteral("(%1x%2)").arg(size.width()).arg(size.height());
}

int ScreenPixelsPerInch() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? qRound(screen->logicalDotsPerInch()) : 96;
}

// The text of name + suffix when that value exists, otherwise of name.
std::optional<QString> SizedValue(const TWindowStateStore& store, const QString& key,
                                  const QString& name) {
    if (auto sized = store.ReadString(key, name + ScreenSizeSuffix()))
        return sized;
    return store.ReadString(key, name);
}

std::optional<int> FieldNumber(const QStringList& fields, qsizetype i) {
    if (i >= fields.size())
        return std::nullopt;
    bool ok = false;
    const int number = fields[i].trimmed().toInt(&ok);
    return ok ? std::optional<int>(number) : std::nullopt;
}

// TRUE, YES, Y and FALSE, NO, N in any letter case; other texts as whole numbers.
std::optional<bool> StoredBoolean(const QString& text) {
    const QString t = text.trimmed().toUpper();
    if (t == u"TRUE" || t == u"YES" || t == u"Y")
        return true;
    if (t == u"FALSE" || t == u"NO" || t == u"N")
        return false;
    bool ok = false;
    const qlonglong number = t.toLongLong(&ok);
    if (!ok)
        return std::nullopt;
    return number != 0;
}

// The pane's size along its splitter (width in a horizontal one, height in a vertical one).
void SetPaneSize(QWidget* pane, int size, Qt::Orientation orientation) {
    auto* splitter = qobject_cast<QSplitter*>(pane->parentWidget());
    if (!splitter || splitter->orientation() != orientation) {
        if (orientation == Qt::Horizontal)
            pane->resize(size, pane->height());
        else
            pane->resize(pane->width(), size);
        return;
    }
    const int index = splitter->indexOf(pane);
    QList<int> sizes = splitter->sizes();
    const int total = std::accumulate(sizes.begin(), sizes.end(), 0);
    const int others = total - sizes[index];
    sizes[index] = size;
    // The rest goes to the other panes in their proportions; the splitter's stretch keeps the
    // pane's size when the window is laid out for the first time.
    const int rest = std::max(0, total - size);
    for (int i = 0; i < sizes.size(); ++i) {
        if (i != index)
            sizes[i] =
                others > 0 ? static_cast<int>(static_cast<qint64>(sizes[i]) * rest / others) : rest;
    }
    splitter->setSizes(sizes);
}

int PaneSize(const QWidget* pane, Qt::Orientation orientation) {
    return orientation == Qt::Horizontal ? pane->width() : pane->height();
}

} // namespace

void RestoreWindowState(const TMainFormState& form, const QString& root) {
    TWindowStateStore store;
    const QString key = Key(root, QStringLiteral("MainForm"));
    if (store.ReadInteger(key, QStringLiteral("FormVersion")).value_or(0) < 0)
        return;

    if (QWidget* window = form.Window) {
        const int flags =
            static_cast<int>(store.ReadInteger(key, QStringLiteral("Flags")).value_or(0));
        bool found = false;
        // Qt keeps no minimized or maximized position: MinMaxPos only counts as found.
        if (const auto minMax = SizedValue(store, key, QStringLiteral("MinMaxPos")))
            found = found || !minMax->isEmpty();
        QRect normal =
            window->normalGeometry().isValid() ? window->normalGeometry() : window->geometry();
        if (const auto norm = SizedValue(store, key, QStringLiteral("NormPos"));
            norm && !norm->isEmpty()) {
            found = true;
            const QStringList fields = norm->split(u',');
            const int left = FieldNumber(fields, 0).value_or(normal.left());
            const int top = FieldNumber(fields, 1).value_or(normal.top());
            const int right = FieldNumber(fields, 2).value_or(normal.left() + normal.width());
            const int bottom = FieldNumber(fields, 3).value_or(normal.top() + normal.height());
            normal = QRect(left, top, right - left, bottom - top);
        }
        if (found) {
            const auto ppi = store.ReadInteger(key, QStringLiteral("PixelsPerInch"))
                                 .value_or(ScreenPixelsPerInch());
            if (ppi == ScreenPixelsPerInch() && normal.width() > 0) {
                const bool resizable = window->minimumSize() != window->maximumSize();
                if (resizable)
                    window->setGeometry(normal);
                else
                    window->move(normal.topLeft());
            }
        }
        const auto showCmd = store.ReadInteger(key, QStringLiteral("ShowCmd")).value_or(0);
        switch (showCmd) {
        case 3:
            window->setWindowState(Qt::WindowMaximized);
            break;
        case 2:
        case 6:
        case 7:
            // Shown normal (or maximized, as it was before), then minimized once the event
            // loop runs, so that the window exists on the screen before it goes.
            window->setWindowState((flags & WPF_RESTORETOMAXIMIZED) ? Qt::WindowMaximized
                                                                    : Qt::WindowNoState);
            QMetaObject::invokeMethod(window, "showMinimized", Qt::QueuedConnection);
            break;
        default:
            window->setWindowState(Qt::WindowNoState);
            break;
        }
    }

    // The stored properties: each only when present; a value that cannot be used is skipped.
    if (form.ShowBlocksA) {
        if (const auto text = store.ReadString(key, QStringLiteral("ShowBlocksA_Checked"))) {
            if (const auto checked = StoredBoolean(*text))
                form.ShowBlocksA->setChecked(*checked);
        }
    }
    if (form.ServersTL) {
        if (const auto width = store.ReadInteger(key, QStringLiteral("ServersTL_Width"));
            width && *width >= 0)
            SetPaneSize(form.ServersTL, static_cast<int>(std::min<std::int64_t>(*width, 100000)),
                        Qt::Horizontal);
    }
    if (form.ErrorsTL) {
        if (const auto height = store.ReadInteger(key, QStringLiteral("ErrorsTL_Height"));
            height && *height >= 0)
            SetPaneSize(form.ErrorsTL, static_cast<int>(std::min<std::int64_t>(*height, 100000)),
                        Qt::Vertical);
    }
}

void SaveWindowState(const TMainFormState& form, const QString& root) {
    TWindowStateStore store;
    const QString key = Key(root, QStringLiteral("MainForm"));
    store.WriteInteger(key, QStringLiteral("FormVersion"), 0);
    if (const QWidget* window = form.Window) {
        const Qt::WindowStates state = window->windowState();
        int showCmd = SW_SHOWNORMAL;
        if (state & Qt::WindowMinimized || form.ApplicationMinimized)
            showCmd = SW_SHOWMINIMIZED;
        else if (state & Qt::WindowMaximized)
            showCmd = SW_SHOWMAXIMIZED;
        const int flags = showCmd == SW_SHOWMINIMIZED && (state & Qt::WindowMaximized)
                              ? WPF_RESTORETOMAXIMIZED
                              : 0;
        // The normal rectangle, also while maximized or minimized; right and bottom exclusive.
        const QRect normal =
            window->normalGeometry().isValid() ? window->normalGeometry() : window->geometry();
        const QString minMax = QStringLiteral("-1,-1,-1,-1");
        const QString norm = QStringLiteral("%1,%2,%3,%4")
                                 .arg(normal.left())
                                 .arg(normal.top())
                                 .arg(normal.left() + normal.width())
                                 .arg(normal.top() + normal.height());
        store.WriteInteger(key, QStringLiteral("ShowCmd"), showCmd);
        store.WriteInteger(key, QStringLiteral("Flags"), flags);
        store.WriteInteger(key, QStringLiteral("PixelsPerInch"), ScreenPixelsPerInch());
        store.WriteString(key, QStringLiteral("MinMaxPos") + ScreenSizeSuffix(), minMax);
        store.WriteString(key, QStringLiteral("MinMaxPos"), minMax);
        store.WriteString(key, QStringLiteral("NormPos") + ScreenSizeSuffix(), norm);
        store.WriteString(key, QStringLiteral("NormPos"), norm);
    }
    if (form.ShowBlocksA)
        store.WriteString(key, QStringLiteral("ShowBlocksA_Checked"),
                          form.ShowBlocksA->isChecked() ? QStringLiteral("TRUE")
                                                        : QStringLiteral("FALSE"));
    if (form.ServersTL)
        store.WriteInteger(key, QStringLiteral("ServersTL_Width"),
                           PaneSize(form.ServersTL, Qt::Horizontal));
    if (form.ErrorsTL)
        store.WriteInteger(key, QStringLiteral("ErrorsTL_Height"),
                           PaneSize(form.ErrorsTL, Qt::Vertical));
    store.Flush();
}

void RestoreDialogSize(QWidget* dialog, const QString& key) {
    const TWindowStateStore store;
    const std::optional<std::int64_t> width = store.ReadInteger(key, QStringLiteral("Width"));
    const std::optional<std::int64_t> height = store.ReadInteger(key, QStringLiteral("Height"));
    if (!width || !height)
        return;
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize room = screen ? screen->availableGeometry().size() : QSize(1920, 1080);
    const QSize least = dialog->minimumSize();
    // A hand-edited or foreign store may hold anything: clamp in 64 bits, then size.
    const auto fit = [](std::int64_t value, int low, int high) {
        return static_cast<int>(std::clamp<std::int64_t>(value, low, std::max(low, high)));
    };
    dialog->resize(fit(*width, least.width(), room.width()),
                   fit(*height, least.height(), room.height()));
}

void SaveDialogSize(const QWidget* dialog, const QString& key) {
    TWindowStateStore store;
    store.WriteInteger(key, QStringLiteral("Width"), dialog->width());
    store.WriteInteger(key, QStringLiteral("Height"), dialog->height());
    store.Flush();
}
