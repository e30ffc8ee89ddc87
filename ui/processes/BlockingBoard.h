// "Blocking now": one row per live head blocker across every watched server, the chain that
// hurts most (the largest summed wait) on top, so that one look answers where it hurts and how
// much. Servers that cannot be seen (in error, or a login without VIEW SERVER STATE) stand
// at the bottom as "not seeing: …", so the board never looks calm while it is blind; muted
// servers are dimmed. It reads the analysis each monitor keeps (no walk of its own), is
// brought up to date once per burst of refreshes, and holds still while the pointer is over
// its rows. A click or Enter asks the window to show that head in the process tree; Ctrl+C
// copies the rows as text. The head's statement is read once per head, only where the login
// may read it: a calm server costs no statement.
#pragma once

#include <QDateTime>
#include <QDockWidget>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;
class TServerData;

class TBlockingBoard : public QDockWidget {
    Q_OBJECT
public:
    // The figures that say how much it hurts come first; who it is follows.
    enum TColumn {
        ServerC,
        HeadC,
        SummedC,
        LongestC,
        InAllC,
        DirectC,
        SinceC,
        LoginC,
        HostC,
        ProgramC,
        StatusC,
        OpenTranC,
        StatementC,
        ColumnCount
    };
    explicit TBlockingBoard(QWidget* parent = nullptr);

    // The watched servers, in the server list's order.
    std::function<std::vector<TServerData*>()> Servers;
    // A server's refresh step ended: the board follows soon (once for a burst of them).
    void ServerChanged(const TServerData& server);
    // The server goes away.
    void Forget(const TServerData& server);
    // Brings the rows up to date now, unless the pointer holds them (then when it leaves).
    void Update();
    // The rows as tab-separated text with a header line.
    QString RowsText() const;
    // The server and SPID of a row, when it is a head's.
    std::pair<TServerData*, int> RowHead(int row) const;
    int RowCount() const;
    // Visibility and size under the key of the window state store.
    void RestoreState(const QString& key);
    void SaveState(const QString& key) const;
    bool Held() const;

    QTreeWidget* List;
    QLabel* SummaryL; // "No blocking on 5 servers · last refresh 09:15:02", or the count
    int CoalesceMs = 500;

signals:
    // Show this head in the process tree.
    void HeadChosen(TServerData* server, int spid);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Rebuild();
    void Choose(QTreeWidgetItem* item);
    void ReadStatement(TServerData& server, int spid);

    QTimer Coalesce;
    bool Pending = false;
    QDateTime LastRefresh;
    struct THeadKey {
        const TServerData* Server;
        int Spid;
        bool operator<(const THeadKey& o) const {
            return Server != o.Server ? std::less<const TServerData*>()(Server, o.Server)
                                      : Spid < o.Spid;
        }
    };
    struct TKnownHead {
        QDateTime Since;
        QString Statement;
        bool Asked = false;
        bool Seen = false; // in the last rebuild
    };
    std::map<THeadKey, TKnownHead> Heads;
};
