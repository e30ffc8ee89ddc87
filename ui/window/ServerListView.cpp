#include "ServerListView.h"

#include "DisplayText.h"
#include "Icons.h"
#include "MuteState.h"
#include "ServerData.h"
#include "StatusSummary.h"

#include <QHeaderView>

TServerNode::TServerNode(std::unique_ptr<TServerData> data) : Monitor(std::move(data)) {}

TServerNode::~TServerNode() {
    if (List && Monitor)
        List->Index.erase(Monitor.get());
}

void TServerNode::FreeData() {
    if (List && Monitor)
        List->Index.erase(Monitor.get());
    Monitor.reset();
}

TServerListView::TServerListView(const TImageList& images, QWidget* parent)
    : QTreeWidget(parent), Images(images) {
    setObjectName("ServersTL");
    setColumnCount(1);
    setHeaderLabels({"Server"});
    headerItem()->setData(0, Qt::UserRole, QStringLiteral("ServerTLC"));
    headerItem()->setData(0, Qt::InitialSortOrderRole, static_cast<int>(Qt::AscendingOrder));
    setRootIsDecorated(false);
    // Every row is one line of text beside an icon: a state change repaints one row and
    // measures none (hundreds of servers change state every second).
    setUniformRowHeights(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideRight);
    setIconSize(Images.Size());
    header()->setStretchLastSection(true);
    // Unsorted until the user clicks the header; from then on the nodes stay sorted.
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    header()->setSortIndicatorShown(true);
    setSortingEnabled(true);
}

void TServerNode::SetStateIcon(int index, const QIcon& picture) {
    IconIndex = index;
    Picture = picture;
    emitDataChanged();
}

QVariant TServerNode::data(int column, int role) const {
    if (column == 0 && role == Qt::UserRole)
        return IconIndex;
    if (column == 0 && role == Qt::DecorationRole)
        return Picture;
    if (column == 0 && role == Qt::ToolTipRole && Monitor)
        return ToolTipText(ToolTip(*Monitor));
    return QTreeWidgetItem::data(column, role);
}

QString TServerNode::ToolTip(const TServerData& server) {
    // The figures of the last snapshot, then what the connection got: encrypted or not, TLS
    // version, certificate.
    const std::string& encryption = server.ADOConnection.EncryptionState;
    QString text = ServerSummary(server);
    // The kind of server, once a connect has told it.
    if (!server.ProductVersion.empty() || server.Edition != TServerEdition::SqlServer)
        text += QLatin1Char('\n') +
                QString::fromStdString(EditionText(server.Edition, server.ProductVersion));
    if (!encryption.empty())
        text += QLatin1Char('\n') + QString::fromStdString(encryption);
    // A server whose connects failed waits before the automatic refresh tries it again.
    if (server.Enabled && !server.Busy) {
        const std::string next = NextTryText(server.Reconnect.Remaining());
        if (!next.empty())
            text += QLatin1Char('\n') + QString::fromStdString(next);
    }
    return text;
}

TServerListView::~TServerListView() {
    // The grid deletes the nodes after the index is gone.
    for (int i = 0; i < NodeCount(); ++i)
        Node(i)->List = nullptr;
}

int TServerListView::StateIcon(const TServerData& server) {
    if (!server.Enabled)
        return 0;
    if (server.Busy)
        return 1;
    return server.State + 2;
}

TServerNode* TServerListView::AppendNode(std::unique_ptr<TServerData> monitor) {
    auto* node = new TServerNode(std::move(monitor));
    node->List = this;
    if (node->Data())
        Index[node->Data()] = node;
    addTopLevelItem(node);
    return node;
}

void TServerListView::ShowNodeState(TServerNode& node) {
    TServerData* server = node.Data();
    if (!server)
        return;
    const QString name = DisplayText(server->Info.Name);
    if (node.text(0) != name)
        node.setText(0, name);
    const int icon = StateIcon(*server);
    // A muted server shows it in its icon; StateIcon keeps the state icon's number.
    const bool muted = server->Muted();
    if (node.StateIcon() != icon || node.data(0, Qt::UserRole + 1).toBool() != muted) {
        node.setData(0, Qt::UserRole + 1, muted);
        node.SetStateIcon(icon, muted ? MutedIcon(Images.Icon(icon)) : Images.Icon(icon));
    }
    // The tooltip is worked out when it is shown: its figures change at every refresh, and a
    // changed item costs the list a measurement and a repaint.
}

TServerNode* TServerListView::Node(int index) const {
    return static_cast<TServerNode*>(topLevelItem(index));
}

TServerNode* TServerListView::FocusedNode() const {
    return static_cast<TServerNode*>(currentItem());
}

TServerData* TServerListView::FocusedServer() const {
    TServerNode* node = FocusedNode();
    return node ? node->Data() : nullptr;
}

TServerNode* TServerListView::FindNode(const TServerData* server) const {
    const auto it = Index.find(server);
    return it == Index.end() ? nullptr : it->second;
}

std::vector<TServerData*> TServerListView::Servers() const {
    std::vector<TServerData*> result;
    for (int i = 0; i < NodeCount(); ++i)
        if (TServerData* s = Node(i)->Data())
            result.push_back(s);
    return result;
}

void TServerListView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeWidget::mouseDoubleClickEvent(event);
    emit DoubleClicked();
}
