// ProcessesTL: the processes of the focused server as a blocking tree. Rebuilt from scratch by
// ShowProcesses; remembers per server which process the user had focused (the monitor's
// SelectedSpid) and focuses it again after every rebuild, with its ancestors expanded.
#pragma once

#include "ProcessModel.h"

#include <QTreeView>
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

signals:
    // A double click anywhere in the grid; it never expands or collapses a row.
    void DoubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AddProcessNode(const TProcessItem& item, int parentRow, std::int32_t selectedSpid,
                        int& remembered);
    void FitSpidColumn();
    // Rows the user expanded, remembered by the SPIDs from the top row down to them.
    void RememberExpanded(const QModelIndex& index, bool expanded);
    std::vector<std::int32_t> SpidPath(int row) const;
    void RestoreExpanded(TServerData& server);
    void ProcessesTLChangeNode(const QModelIndex& current);

    TProcessModel ProcessModel;
    TServerData* Shown = nullptr; // the server of the last rebuild
    bool Rebuilding = false;      // expansions now are the program's, not the user's
    bool UserSizedSpid = false;
    bool HeaderPressed = false;
    int SpidBaseWidth = 0; // the SPID column never gets narrower than this by fitting
};
