// The rows of the process view: a copy of one snapshot's forest, made when the view is rebuilt.
// Every cell is kept as the row was filled, so the rows never read the monitor's items again:
// a snapshot cleared or freed behind the view cannot be reached through them.
//
// Sorting works per level (siblings among themselves) through ProcessesTLCompare. Equal keys keep
// the order they had before the rebuild (a row is the same row again when its SPID stands under
// the same parent), new rows take their place in fill order; the tie-break does not depend on
// the direction. Without a sort column the fill order holds (the longest wait first under a
// blocker), rows of equal wait keeping their previous order.
//
// A rebuild may also only fill in: the rows and their order stay as they are, each row takes the
// values of its session in the new snapshot (its SPID, wherever it now stands in the tree: a
// session that became blocked keeps its row until the view catches up), a row whose session is
// gone stays as ended, and new rows wait for the next full rebuild.
#pragma once

#include <QAbstractItemModel>
#include <QCollator>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TImageList;
class TBlockingAnalysis;
struct TBlockingChain;
class TProcessItem;

class TProcessModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum TColumn {
        SpidTLC,
        DBNameTLC,
        WaitInfoTLC,
        OpenTranCountTLC,
        StatusTLC,
        HostNameTLC,
        AppNameTLC,
        CommandTLC,
        BlockSpidTLC,
        LoginNameTLC,
        CpuTLC,
        PhysicalIoTLC,
        MemusageTLC,
        ColumnCount
    };
    // The columns' component names (the keys of the saved layout) and captions.
    static const char* const ColumnNames[ColumnCount];
    static const char* const ColumnCaptions[ColumnCount];
    // Columns that hold the program's own numbers (SPIDs, counters), not server text.
    static bool IsNumberColumn(int column);

    explicit TProcessModel(const TImageList& images, QObject* parent = nullptr);

    // Batch update: between Begin and End the model holds no rows the view could read. With
    // fillIn (rows present), the rows stay and End only brings their values up to date.
    void BeginRebuild(bool fillIn = false);
    // Appends the item's row as the last child of parentRow (-1: a new top-level row) and
    // returns the new row's id. Ids are the fill order: 0, 1, 2, ...
    int AddRow(const TProcessItem& item, int parentRow);
    // Sorts every level (when column >= 0) and ends the batch update.
    void EndRebuild(int sortColumn, Qt::SortOrder order);
    // The rows are the last known ones of a server that stopped answering: shown grey, their
    // tooltips say so. Every rebuild ends it.
    void SetStale(bool stale);
    bool Stale() const { return Stale_; }
    // The last rebuild only filled in values.
    bool FilledIn() const { return FillingIn; }
    // The session of the row was gone at the last fill-in; its values are those it last had.
    bool Ended(int row) const { return Rows[static_cast<std::size_t>(row)].Ended; }

    int RowCount() const { return static_cast<int>(Rows.size()); }
    // 0 for a top-level row; the deepest row of the last rebuild.
    int Depth(int row) const { return Rows[static_cast<std::size_t>(row)].Depth; }
    int MaxDepth() const { return MaxDepth_; }
    // Head blockers (block others, are not blocked): how many sessions they hold up, -1 for
    // others and for the further rows of a head's parallel query.
    int HeadBlocking(int row) const { return Rows[static_cast<std::size_t>(row)].HeadBlocking; }
    // The tooltip of a cell: the text, and for a head blocker and a wait resource what they mean.
    QString ToolTip(int row, int column) const;
    // Names of database ids for the wait resource tooltip (the focused server's).
    std::function<std::string(std::int32_t)> DatabaseName;
    // The analysis of the snapshot being added, for the head blockers; none marks no head.
    const TBlockingAnalysis* Blocking = nullptr;
    std::int32_t Spid(int row) const { return Rows[static_cast<std::size_t>(row)].Spid; }
    int Parent(int row) const { return Rows[static_cast<std::size_t>(row)].Parent; }
    int ChildCount(int row) const;
    QString Text(int row, int column) const;
    int BlockRole(int row) const { return Rows[static_cast<std::size_t>(row)].BlockRole; }
    const std::string& WaitResource(int row) const {
        return Rows[static_cast<std::size_t>(row)].WaitResource;
    }
    QModelIndex IndexOfRow(int row, int column = 0) const;
    static int RowOf(const QModelIndex& index) { return static_cast<int>(index.internalId()); }

    // The order of two rows of one level for the sort column and direction: negative when
    // first comes before second. Numbers compare as numbers, the other columns as text,
    // locale-aware and case-sensitive; descending inverts the sign.
    int ProcessesTLCompare(int first, int second, int column, Qt::SortOrder order) const;

    // The "Wait Info" text of a wait time: "%.3f sec - %s (%s)" with the locale's decimal
    // separator, empty for 0 or less.
    static QString WaitInfoText(std::int32_t waitTime, const std::string& lastWaitType,
                                const std::string& waitResource);

    // QAbstractItemModel
    QModelIndex index(int row, int column, const QModelIndex& parent) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent) const override;
    int columnCount(const QModelIndex& parent) const override;
    bool hasChildren(const QModelIndex& parent) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    void sort(int column, Qt::SortOrder order) override;

private:
    const TBlockingChain* HeadChainOf(const TProcessItem& item) const;

    struct TRow {
        int Parent = -1;
        int Position = 0; // index among its siblings, after sorting
        int Depth = 0;
        int HeadBlocking = -1;   // rows held up, for a head blocker
        bool Forgotten = false;  // idle with an open transaction
        bool Ended = false;      // see Ended()
        bool InCycle = false;    // its session stands in Cycle, not only behind it
        std::int32_t Cycle = -1; // the blocking cycle it stands in or behind: Cycles[Cycle]
        std::int64_t HeadWait = 0;
        std::uint8_t BlockRole = 0;
        std::int32_t Spid = 0, Blocked = 0, OpenTran = 0, Cpu = 0, PhysicalIo = 0, MemUsage = 0;
        std::int32_t WaitTime = 0;
        std::string DBName, LastWaitType, WaitResource, Status, HostName, ProgramName, Cmd,
            LoginName;
    };
    // Why "Blocked by" holds what it holds, in plain words; empty for a plain blocker.
    QString BlockedByWords(const TRow& r) const;
    // Children of row r are Kids[KidBegin[r] .. KidBegin[r] + KidCount[r]); the top level is
    // the entry at index RowCount().
    void LinkChildren();
    void SortLevels(int column, Qt::SortOrder order);
    // For each row of from, the same row in to (its SPID, under the same row, the n-th of that
    // SPID there), or -1.
    static std::vector<int> MatchRows(const std::vector<TRow>& from, const std::vector<TRow>& to);
    // For each row of from, the row of the same session in to, wherever it stands, or -1.
    static std::vector<int> MatchSessions(const std::vector<TRow>& from,
                                          const std::vector<TRow>& to);
    // Per row, its place among its siblings for breaking ties: the fill order, with the rows
    // that were shown before put back in their previous order among themselves.
    std::vector<int> TieRanks() const;
    void FillIn();
    // Every cell may have changed: each level says so.
    void AllChanged();
    int Level(int parentRow) const { return parentRow < 0 ? RowCount() : parentRow; }

    const TImageList& Images;
    QCollator Collator;
    std::vector<TRow> Rows;
    std::vector<TRow> Previous; // the rows before this rebuild, for ties; new rows of a fill-in
    bool FillingIn = false;
    bool Stale_ = false;
    // The SPIDs of each blocking cycle of the rows shown; those of a fill-in's new rows.
    std::vector<std::vector<std::int32_t>> Cycles, NextCycles;
    std::vector<int> KidBegin, KidCount, Kids;
    int MaxDepth_ = 0;
    bool Rebuilding = false;
};
