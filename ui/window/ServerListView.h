// ServersTL: one node per registered server, showing its name and state icon. A node's data
// is the server's monitor; the main window creates it (AddServer) and frees it (unregistering,
// destruction). The order of the nodes is the order of refreshing, saving and the tray rule.
#pragma once

#include <QIcon>
#include <QTreeWidget>
#include <memory>
#include <unordered_map>
#include <vector>

class TImageList;
class TServerData;
class TServerListView;

class TServerNode : public QTreeWidgetItem {
public:
    explicit TServerNode(std::unique_ptr<TServerData> data);
    ~TServerNode() override;
    // Null only after the window freed the monitor (unregistering, destruction).
    TServerData* Data() const { return Monitor.get(); }
    // Frees the monitor now; its destructor cancels and closes its connection.
    void FreeData();
    // The state icon (also as the item's Qt::UserRole) and its picture, with one change
    // notification for both.
    int StateIcon() const { return IconIndex; }
    void SetStateIcon(int index, const QIcon& picture);
    QVariant data(int column, int role) const override;
    // The figures of the server's last snapshot and its connection's encryption.
    static QString ToolTip(const TServerData& server);

private:
    friend class TServerListView;
    std::unique_ptr<TServerData> Monitor;
    TServerListView* List = nullptr; // keeps the index of monitor to node
    int IconIndex = -1;
    QIcon Picture;
};

class TServerListView : public QTreeWidget {
    Q_OBJECT
public:
    TServerListView(const TImageList& images, QWidget* parent = nullptr);
    ~TServerListView() override;

    // The state icon: 0 off, 1 busy, else State + 2.
    static int StateIcon(const TServerData& server);

    TServerNode* AppendNode(std::unique_ptr<TServerData> monitor);
    // Caption and state icon from the monitor as it is now (not the process view).
    void ShowNodeState(TServerNode& node);

    int NodeCount() const { return topLevelItemCount(); }
    // Nodes in display order, first to last.
    TServerNode* Node(int index) const;
    TServerNode* FocusedNode() const;
    TServerData* FocusedServer() const;
    // By an index, not a walk: every call-back of every monitor asks for its node.
    TServerNode* FindNode(const TServerData* server) const;
    // The monitors of all nodes, first to last.
    std::vector<TServerData*> Servers() const;

signals:
    // A double click anywhere in the list, on a node or not.
    void DoubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    friend class TServerNode;
    const TImageList& Images;
    std::unordered_map<const TServerData*, TServerNode*> Index;
};
