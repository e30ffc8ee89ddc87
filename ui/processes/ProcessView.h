// ProcessesTL: the processes of the focused server as a blocking tree. Rebuilt from scratch by
// ShowProcesses; remembers per server which process the user had focused (the monitor's
// SelectedSpid) and focuses it again after every rebuild, with its ancestors expanded.
//
// It holds still while the user aims at a row: while the pointer moves over the rows, a mouse
// button is down, or a menu or modal dialog is open, a new snapshot of the same server only
// fills in the values of the rows shown (see TProcessModel). The full rebuild follows (CatchUp)
// when that ends, or once the pointer has rested CatchUpMs without moving.
//
// Blocking chains: with OpenBlockingChains every chain is expanded at each rebuild; without it,
// a chain the user expanded stays expanded while its head session (SPID and login time) lives,
// across blocking episodes.
#pragma once

#include "ProcessModel.h"

#include <QTimer>
#include <QTreeView>
#include <chrono>
#include <cstdint>
#include <functional>

class TImageList;
class TProcessItem;
class TServerData;

class TProcessView : public QTreeView {
    Q_OBJECT
public:
    TProcessView(const TImageList& images, QWidget* parent = nullptr);

    TProcessModel& Model() { return ProcessModel; }

    // The monitor of the server list's focused node, or nullptr; SelectedSpid is stored there.
    std::function<TServerData*()> FocusedServer;

    // Rebuilds the view for a server (nullptr: none). With onlyBlocks, top-level processes not
    // involved in blocking are left out; the children of a shown process are always shown.
    // When the shown server falls into error, its rows stay as its last known tree, stale
    // (see TProcessModel::SetStale), until the next rebuild.
    void ShowProcesses(TServerData* server, bool onlyBlocks);

    // The focused row's id in Model(), or -1.
    int FocusedRow() const;
    // The SPID cell of the focused row ("" when none).
    QString FocusedSpidText() const;

    // The selected rows as tab-separated text with a header line, in display order, with the
    // visible columns in their shown order. Empty when no row is selected.
    QString SelectedRowsText() const;

    // The SPID column is widened to show the SPID at the deepest level after each rebuild,
    // unless the user sized it himself.
    bool SpidWidthChosen() const { return UserSizedSpid; }

    // The user is aiming at a row (see above).
    bool Held() const;
    // A snapshot was only filled in; CatchUp follows once the view is no longer held.
    bool CatchUpPending() const { return PendingCatchUp; }
    // Emits CatchUp when one is pending and the view is no longer held; a timer runs it while
    // one is pending.
    void CheckHold();
    int CatchUpMs = 3000;
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    TClock Clock = [] { return std::chrono::steady_clock::now(); };

signals:
    // A double click anywhere in the grid; it never expands or collapses a row.
    void DoubleClicked();
    // The rows shown are a filled-in older order: the owner should call ShowProcesses again.
    void CatchUp();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AddProcessNode(const TProcessItem& item, int parentRow, std::int32_t selectedSpid,
                        int& remembered);
    void FitSpidColumn(bool onlyWiden);
    // Rows the user expanded, remembered by the SPIDs from the top row down to them.
    void RememberExpanded(const QModelIndex& index, bool expanded);
    std::vector<std::int32_t> SpidPath(int row) const;
    void RestoreExpanded(TServerData& server);
    void ExpandChains();
    // The head's login time, read to tell its session from one that takes over the SPID.
    void ReadChainHead(TServerData& server, std::int32_t spid);
    static void ForgetChain(TServerData& server, std::int32_t spid);
    void CollapseChain(std::int32_t spid);
    // The row with these SPIDs from the top down, or -1.
    int FindPath(const std::vector<std::int32_t>& path) const;
    bool PointerOver() const;
    void FillIn(TServerData& server, bool onlyBlocks);
    void ProcessesTLChangeNode(const QModelIndex& current);

    TProcessModel ProcessModel;
    TServerData* Shown = nullptr; // the server of the last rebuild
    bool ShownOnlyBlocks = false;
    bool PendingCatchUp = false;
    QTimer HoldTimer;
    std::chrono::steady_clock::time_point LastActivity{}; // the pointer's, over the rows
    std::vector<std::int32_t> PressedPath;                // the row of the last press
    bool ButtonDown = false;                              // a button pressed over the rows
    bool Rebuilding = false; // expansions now are the program's, not the user's
    bool UserSizedSpid = false;
    bool HeaderPressed = false;
    int SpidBaseWidth = 0; // the SPID column never gets narrower than this by fitting
};
