// The main window's layout across restarts: placement, show state and three stored properties
// (key MainForm), and the column layout of the three grids (one key per grid). Restored once
// when the main window is created, saved once when it is destroyed. The values live in the
// per-user QSettings store (WindowStateStore.h) under the given key paths.
#pragma once

#include <QString>
#include <QStringList>

class QAction;
class QTreeView;
class QWidget;

// The parts of the main window whose state is stored. Any pointer may be null (not stored).
struct TMainFormState {
    QWidget* Window = nullptr;         // placement and show state
    QAction* ShowBlocksA = nullptr;    // ShowBlocksA_Checked: its checked state
    QWidget* ServersTL = nullptr;      // ServersTL_Width: the width of the server list pane
    QWidget* ErrorsTL = nullptr;       // ErrorsTL_Height: the height of the error log pane
    bool ApplicationMinimized = false; // set by the caller before saving when hidden to the tray
};
// Pane sizes: a pane inside a QSplitter is sized through the splitter; give the splitter's
// other pane the stretch so that the restored size holds when the window is first laid out.

inline constexpr const char* WindowStateRoot = "Software\\Tallyvane\\";

// Applies the stored placement (the window must not be visible yet), show state and stored
// properties; a minimized window is shown normal and minimizes once the event loop runs.
// Missing values keep the designed state. Store errors reach the caller.
void RestoreWindowState(const TMainFormState& form, const QString& root = WindowStateRoot);
void SaveWindowState(const TMainFormState& form, const QString& root = WindowStateRoot);

// A resizable dialog's size under key (values Width and Height). Restoring keeps the size
// within the screen's available area and never below the dialog's minimum size; missing or
// broken values leave the size it has. Store errors reach the caller.
void RestoreDialogSize(QWidget* dialog, const QString& key);
void SaveDialogSize(const QWidget* dialog, const QString& key);

// The grid layouts under key (root + the grid's name, e.g. "Software\Tallyvane\ProcessesTL"):
// column visibility, order, width, sort column and direction. Works for QTreeView and
// QTreeWidget. Without columnNames, the names of the program's grids are taken from the key's
// last element (ServersTL, ProcessesTL, ErrorsTL); other columns are named "Column" + number.
// Loading a key that does not exist changes nothing.
void LoadListLayout(QTreeView* grid, const QString& key);
void SaveListLayout(QTreeView* grid, const QString& key);
void LoadListLayout(QTreeView* grid, const QString& key, const QStringList& columnNames);
void SaveListLayout(QTreeView* grid, const QString& key, const QStringList& columnNames);
