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

signals:
    // A double click anywhere in the grid; it never expands or collapses a row.
    void DoubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void AddProcessNode(const TProcessItem& item, int parentRow, std::int32_t selectedSpid,
                        int& remembered);
    void ProcessesTLChangeNode(const QModelIndex& current);

    TProcessModel ProcessModel;
};
