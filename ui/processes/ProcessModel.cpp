#include "ProcessModel.h"

#include "BlockingAnalysis.h"
#include "BlockingSummary.h"
#include "DisplayText.h"
#include "Icons.h"
#include "ProcessList.h"

#include <QBrush>
#include <QCollatorSortKey>
#include <QColor>
#include <QFont>
#include <QLocale>
#include <algorithm>
#include <map>
#include <numeric>
#include <optional>
#include <tuple>

const char* const TProcessModel::ColumnNames[ColumnCount] = {
    "SpidTLC",     "DBNameTLC",     "WaitInfoTLC", "OpenTranCountTLC", "StatusTLC",
    "HostNameTLC", "AppNameTLC",    "CommandTLC",  "BlockSpidTLC",     "LoginNameTLC",
    "CpuTLC",      "PhysicalIoTLC", "MemusageTLC"};

const char* const TProcessModel::ColumnCaptions[ColumnCount] = {
    "SPID",    "DBName",     "Wait Info",  "Open Tran", "Status",      "Host Name", "App Name",
    "Command", "Blocked by", "Login Name", "CPU",       "Physical IO", "MemUsage"};

namespace {

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// The value a numeric column sorts by, or nothing for a text column.
std::optional<std::int32_t> NumberOf(int column, std::int32_t spid, std::int32_t openTran,
                                     std::int32_t cpu, std::int32_t io, std::int32_t mem) {
    switch (column) {
    case TProcessModel::SpidTLC:
        return spid;
    case TProcessModel::OpenTranCountTLC:
        return openTran;
    case TProcessModel::CpuTLC:
        return cpu;
    case TProcessModel::PhysicalIoTLC:
        return io;
    case TProcessModel::MemusageTLC:
        return mem;
    default:
        return std::nullopt;
    }
}

} // namespace

TProcessModel::TProcessModel(const TImageList& images, QObject* parent)
    : QAbstractItemModel(parent), Images(images), Collator(QLocale()) {
    Collator.setCaseSensitivity(Qt::CaseSensitive);
    LinkChildren();
}

bool TProcessModel::IsNumberColumn(int column) {
    switch (column) {
    case SpidTLC:
    case OpenTranCountTLC:
    case BlockSpidTLC:
    case CpuTLC:
    case PhysicalIoTLC:
    case MemusageTLC:
        return true;
    default:
        return false;
    }
}

QString TProcessModel::WaitInfoText(std::int32_t waitTime, const std::string& lastWaitType,
                                    const std::string& waitResource) {
    if (waitTime < 1)
        return QString();
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(waitTime / 1000.0, 'f', 3) + " sec - " + Q(lastWaitType) + " (" +
           Q(waitResource) + ")";
}

void TProcessModel::SetStale(bool stale) {
    if (stale == Stale_)
        return;
    Stale_ = stale;
    if (!Rebuilding)
        AllChanged();
}

void TProcessModel::AllChanged() {
    for (std::size_t level = 0; level < KidBegin.size(); ++level) {
        const int count = KidCount[level];
        if (count == 0)
            continue;
        const QModelIndex parent =
            level == Rows.size() ? QModelIndex() : IndexOfRow(static_cast<int>(level));
        emit dataChanged(index(0, 0, parent), index(count - 1, ColumnCount - 1, parent));
    }
}

void TProcessModel::BeginRebuild(bool fillIn) {
    Stale_ = false;
    FillingIn = fillIn && !Rows.empty();
    Previous.clear();
    NextCycles.clear();
    if (FillingIn)
        return; // the rows stay on screen; the new ones gather in Previous
    beginResetModel();
    Rebuilding = true;
    Previous = std::move(Rows);
    Rows.clear();
    Cycles.clear();
    MaxDepth_ = 0;
    KidBegin.clear();
    KidCount.clear();
    Kids.clear();
}

const TBlockingChain* TProcessModel::HeadChainOf(const TProcessItem& item) const {
    if (!Blocking)
        return nullptr;
    // The head is marked on its session's first row only.
    const std::int32_t session = Blocking->Find(item.Spid);
    if (session < 0 || Blocking->Session(session).FirstRow != &item)
        return nullptr;
    return Blocking->HeadChain(session);
}

int TProcessModel::AddRow(const TProcessItem& item, int parentRow) {
    std::vector<TRow>& into = FillingIn ? Previous : Rows;
    TRow row;
    row.Parent = parentRow;
    if (parentRow >= 0) {
        row.Depth = into[static_cast<std::size_t>(parentRow)].Depth + 1;
        if (!FillingIn)
            MaxDepth_ = std::max(MaxDepth_, row.Depth);
    } else if (const TBlockingChain* chain = HeadChainOf(item)) {
        row.HeadBlocking = chain->Blocked;
        row.HeadWait = chain->TotalWait;
        row.Forgotten = IsForgottenTransaction(item);
    }
    if (Blocking) {
        const std::int32_t session = Blocking->Find(item.Spid);
        if (session >= 0 && Blocking->Session(session).Cycle >= 0) {
            std::vector<std::vector<std::int32_t>>& cycles = FillingIn ? NextCycles : Cycles;
            if (cycles.empty())
                for (const TBlockingCycle& c : Blocking->Cycles()) {
                    std::vector<std::int32_t>& spids = cycles.emplace_back();
                    for (std::int32_t m = c.Begin; m < c.End; ++m)
                        spids.push_back(
                            Blocking->Session(Blocking->CycleMembers()[static_cast<std::size_t>(m)])
                                .Spid);
                }
            row.Cycle = Blocking->Session(session).Cycle;
            const auto& spids = cycles[static_cast<std::size_t>(row.Cycle)];
            row.InCycle = std::find(spids.begin(), spids.end(), item.Spid) != spids.end();
        }
    }
    row.BlockRole = item.BlockRole;
    row.Spid = item.Spid;
    row.Blocked = item.Blocked;
    row.OpenTran = item.OpenTran;
    row.Cpu = item.Cpu;
    row.PhysicalIo = item.PhysicalIo;
    row.MemUsage = item.MemUsage;
    row.WaitTime = item.WaitTime;
    row.DBName = item.DBName;
    row.LastWaitType = item.LastWaitType;
    row.WaitResource = item.WaitResource;
    row.Status = item.Status;
    row.HostName = item.HostName;
    row.ProgramName = item.ProgramName;
    row.Cmd = item.Cmd;
    row.LoginName = item.LoginName;
    into.push_back(std::move(row));
    return static_cast<int>(into.size()) - 1;
}

void TProcessModel::EndRebuild(int sortColumn, Qt::SortOrder order) {
    if (FillingIn) {
        Cycles = std::move(NextCycles);
        NextCycles.clear();
        FillIn();
        Previous.clear();
        return;
    }
    // Ends the reset on every path: a view left inside a reset would never repaint.
    struct TEnd {
        TProcessModel* Model;
        ~TEnd() {
            Model->Rebuilding = false;
            Model->endResetModel();
        }
    } end{this};
    if (!Rebuilding)
        return;
    LinkChildren();
    SortLevels(sortColumn >= 0 && sortColumn < ColumnCount ? sortColumn : -1, order);
    Previous.clear();
}

std::vector<int> TProcessModel::MatchRows(const std::vector<TRow>& from,
                                          const std::vector<TRow>& to) {
    // The n-th row of a SPID under one parent: a parallel query shows several.
    const auto dups = [](const std::vector<TRow>& rows) {
        std::map<std::pair<int, std::int32_t>, int> seen;
        std::vector<int> dup(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i)
            dup[i] = seen[{rows[i].Parent, rows[i].Spid}]++;
        return dup;
    };
    const std::vector<int> dupFrom = dups(from), dupTo = dups(to);
    std::map<std::tuple<int, std::int32_t, int>, int> index;
    for (std::size_t j = 0; j < to.size(); ++j)
        index.emplace(std::tuple{to[j].Parent, to[j].Spid, dupTo[j]}, static_cast<int>(j));
    // Parents come before their children in both lists.
    std::vector<int> match(from.size(), -1);
    for (std::size_t i = 0; i < from.size(); ++i) {
        int parent = -1;
        if (from[i].Parent >= 0) {
            parent = match[static_cast<std::size_t>(from[i].Parent)];
            if (parent < 0)
                continue;
        }
        if (const auto it = index.find({parent, from[i].Spid, dupFrom[i]}); it != index.end())
            match[i] = it->second;
    }
    return match;
}

std::vector<int> TProcessModel::TieRanks() const {
    const std::vector<int> match = MatchRows(Rows, Previous);
    std::vector<int> rank(Rows.size(), 0);
    std::vector<int> places, shown;
    for (std::size_t level = 0; level < KidBegin.size(); ++level) {
        const int begin = KidBegin[level];
        places.clear();
        shown.clear();
        for (int pos = 0; pos < KidCount[level]; ++pos) {
            const int row = Kids[static_cast<std::size_t>(begin + pos)];
            rank[static_cast<std::size_t>(row)] = pos;
            if (match[static_cast<std::size_t>(row)] >= 0) {
                places.push_back(pos);
                shown.push_back(row);
            }
        }
        std::sort(shown.begin(), shown.end(), [&](int a, int b) {
            return Previous[static_cast<std::size_t>(match[static_cast<std::size_t>(a)])].Position <
                   Previous[static_cast<std::size_t>(match[static_cast<std::size_t>(b)])].Position;
        });
        for (std::size_t k = 0; k < shown.size(); ++k)
            rank[static_cast<std::size_t>(shown[k])] = places[k];
    }
    return rank;
}

std::vector<int> TProcessModel::MatchSessions(const std::vector<TRow>& from,
                                              const std::vector<TRow>& to) {
    // A session is its SPID wherever it stands: the same place first, so the rows of a parallel
    // query keep theirs; then a row that moved in the tree (became blocked, was released) is
    // still its session, taken in fill order among the rows of that SPID left over.
    std::vector<int> match = MatchRows(from, to);
    std::vector<bool> taken(to.size(), false);
    for (const int j : match)
        if (j >= 0)
            taken[static_cast<std::size_t>(j)] = true;
    std::map<std::int32_t, std::vector<int>> left;
    for (std::size_t j = to.size(); j-- > 0;)
        if (!taken[j])
            left[to[j].Spid].push_back(static_cast<int>(j));
    for (std::size_t i = 0; i < from.size(); ++i) {
        if (match[i] >= 0)
            continue;
        const auto it = left.find(from[i].Spid);
        if (it == left.end() || it->second.empty())
            continue;
        match[i] = it->second.back();
        it->second.pop_back();
    }
    return match;
}

void TProcessModel::FillIn() {
    const std::vector<int> match = MatchSessions(Rows, Previous);
    for (std::size_t i = 0; i < Rows.size(); ++i) {
        TRow& shown = Rows[i];
        if (match[i] < 0) {
            shown.Ended = true;
            continue;
        }
        TRow next = std::move(Previous[static_cast<std::size_t>(match[i])]);
        next.Parent = shown.Parent;
        next.Position = shown.Position;
        next.Depth = shown.Depth;
        next.Ended = false;
        shown = std::move(next);
    }
    AllChanged();
}

void TProcessModel::LinkChildren() {
    const std::size_t n = Rows.size();
    KidCount.assign(n + 1, 0);
    for (const TRow& r : Rows)
        ++KidCount[static_cast<std::size_t>(Level(r.Parent))];
    KidBegin.assign(n + 1, 0);
    int next = 0;
    for (std::size_t i = 0; i <= n; ++i) {
        KidBegin[i] = next;
        next += KidCount[i];
    }
    Kids.assign(n, 0);
    std::vector<int> filled(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const auto level = static_cast<std::size_t>(Level(Rows[i].Parent));
        const int pos = filled[level]++;
        Kids[static_cast<std::size_t>(KidBegin[level] + pos)] = static_cast<int>(i);
        Rows[i].Position = pos;
    }
}

int TProcessModel::ChildCount(int row) const {
    return KidCount[static_cast<std::size_t>(Level(row))];
}

int TProcessModel::ProcessesTLCompare(int first, int second, int column,
                                      Qt::SortOrder order) const {
    const TRow& a = Rows[static_cast<std::size_t>(first)];
    const TRow& b = Rows[static_cast<std::size_t>(second)];
    int result;
    const auto na = NumberOf(column, a.Spid, a.OpenTran, a.Cpu, a.PhysicalIo, a.MemUsage);
    if (na) {
        const auto nb = *NumberOf(column, b.Spid, b.OpenTran, b.Cpu, b.PhysicalIo, b.MemUsage);
        result = *na < nb ? -1 : (*na > nb ? 1 : 0);
    } else {
        result = Collator.compare(Text(first, column), Text(second, column));
    }
    return order == Qt::AscendingOrder ? result : -result;
}

void TProcessModel::SortLevels(int column, Qt::SortOrder order) {
    const std::vector<int> tie = TieRanks();
    const bool numeric = column < 0 || NumberOf(column, 0, 0, 0, 0, 0).has_value();
    std::vector<std::int32_t> numbers;
    std::vector<QCollatorSortKey> keys;
    if (column < 0) {
        // The fill order, in runs of equal blocker and wait.
        numbers.assign(Rows.size(), 0);
        for (std::size_t level = 0; level < KidBegin.size(); ++level) {
            int run = 0;
            for (int pos = 0; pos < KidCount[level]; ++pos) {
                const auto row =
                    static_cast<std::size_t>(Kids[static_cast<std::size_t>(KidBegin[level] + pos)]);
                if (pos > 0) {
                    const TRow& prior = Rows[static_cast<std::size_t>(
                        Kids[static_cast<std::size_t>(KidBegin[level] + pos - 1)])];
                    if (prior.Blocked != Rows[row].Blocked || prior.WaitTime != Rows[row].WaitTime)
                        ++run;
                }
                numbers[row] = run;
            }
        }
        order = Qt::AscendingOrder;
    } else if (numeric) {
        numbers.reserve(Rows.size());
        for (const TRow& r : Rows)
            numbers.push_back(
                *NumberOf(column, r.Spid, r.OpenTran, r.Cpu, r.PhysicalIo, r.MemUsage));
    } else {
        // One sort key per row: comparing keys is far cheaper than collating the texts again
        // for every comparison, and orders them the same way.
        keys.reserve(Rows.size());
        for (int i = 0; i < RowCount(); ++i)
            keys.push_back(Collator.sortKey(Text(i, column)));
    }
    const int sign = order == Qt::AscendingOrder ? 1 : -1;
    auto before = [&](int x, int y) {
        int c;
        if (numeric) {
            const auto vx = numbers[static_cast<std::size_t>(x)];
            const auto vy = numbers[static_cast<std::size_t>(y)];
            c = vx < vy ? -1 : (vx > vy ? 1 : 0);
        } else {
            c = keys[static_cast<std::size_t>(x)].compare(keys[static_cast<std::size_t>(y)]);
        }
        c *= sign;
        // The previous order breaks ties, whatever the direction.
        return c != 0 ? c < 0 : tie[static_cast<std::size_t>(x)] < tie[static_cast<std::size_t>(y)];
    };
    for (std::size_t level = 0; level < KidBegin.size(); ++level) {
        const int count = KidCount[level];
        if (count < 2)
            continue;
        auto first = Kids.begin() + KidBegin[level];
        std::sort(first, first + count, before);
        for (int pos = 0; pos < count; ++pos)
            Rows[static_cast<std::size_t>(*(first + pos))].Position = pos;
    }
}

void TProcessModel::sort(int column, Qt::SortOrder order) {
    if (Rebuilding || column < 0 || column >= ColumnCount)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // Row ids are stable; only positions move, so every persistent index maps by its id.
    const QModelIndexList before = persistentIndexList();
    SortLevels(column, order);
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& i : before)
        after.push_back(i.isValid() ? IndexOfRow(RowOf(i), i.column()) : QModelIndex());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

QString TProcessModel::Text(int row, int column) const {
    const TRow& r = Rows[static_cast<std::size_t>(row)];
    switch (column) {
    case SpidTLC:
        return QString::number(r.Spid);
    case DBNameTLC:
        return Q(r.DBName);
    case WaitInfoTLC:
        return WaitInfoText(r.WaitTime, r.LastWaitType, r.WaitResource);
    case OpenTranCountTLC:
        return QString::number(r.OpenTran);
    case StatusTLC:
        return Q(r.Status);
    case HostNameTLC:
        return Q(r.HostName);
    case AppNameTLC:
        return Q(r.ProgramName);
    case CommandTLC:
        return Q(r.Cmd);
    case BlockSpidTLC:
        return QString::number(r.Blocked);
    case LoginNameTLC:
        return Q(r.LoginName);
    case CpuTLC:
        return QString::number(r.Cpu);
    case PhysicalIoTLC:
        return QString::number(r.PhysicalIo);
    case MemusageTLC:
        return QString::number(r.MemUsage);
    default:
        return QString();
    }
}

QModelIndex TProcessModel::IndexOfRow(int row, int column) const {
    if (row < 0 || row >= RowCount() || Rebuilding)
        return QModelIndex();
    return createIndex(Rows[static_cast<std::size_t>(row)].Position, column,
                       static_cast<quintptr>(row));
}

QModelIndex TProcessModel::index(int row, int column, const QModelIndex& parent) const {
    if (Rebuilding || column < 0 || column >= ColumnCount || row < 0)
        return QModelIndex();
    if (parent.isValid() && parent.column() != 0)
        return QModelIndex();
    const auto level = static_cast<std::size_t>(parent.isValid() ? RowOf(parent) : RowCount());
    if (row >= KidCount[level])
        return QModelIndex();
    const int id = Kids[static_cast<std::size_t>(KidBegin[level] + row)];
    return createIndex(row, column, static_cast<quintptr>(id));
}

QModelIndex TProcessModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || Rebuilding)
        return QModelIndex();
    const int p = Rows[static_cast<std::size_t>(RowOf(child))].Parent;
    return p < 0 ? QModelIndex() : IndexOfRow(p, 0);
}

int TProcessModel::rowCount(const QModelIndex& parent) const {
    if (Rebuilding || (parent.isValid() && parent.column() != 0))
        return 0;
    return ChildCount(parent.isValid() ? RowOf(parent) : -1);
}

int TProcessModel::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

bool TProcessModel::hasChildren(const QModelIndex& parent) const {
    return rowCount(parent) > 0;
}

QVariant TProcessModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || Rebuilding)
        return QVariant();
    const int row = RowOf(index);
    switch (role) {
    case Qt::DisplayRole:
        return DisplayText(Text(row, index.column()));
    case Qt::ToolTipRole:
        return ToolTipText(ToolTip(row, index.column()));
    case Qt::FontRole:
        // The head of a chain is the session to look at first: its SPID stands out.
        if (index.column() == SpidTLC && HeadBlocking(row) >= 0) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return QVariant();
    case Qt::ForegroundRole:
        if (Ended(row) || Stale_)
            return QBrush(QColor(140, 140, 140));
        if (index.column() == SpidTLC && HeadBlocking(row) >= 0)
            return QBrush(QColor(170, 0, 0));
        return QVariant();
    case Qt::DecorationRole:
        if (index.column() == 0)
            return Images.Icon(BlockRole(row));
        return QVariant();
    case Qt::BackgroundRole:
        // A soft tint makes the rows that take part in blocking stand out in a long list.
        switch (BlockRole(row)) {
        case 1:
            return QBrush(QColor(255, 244, 208));
        case 2:
            return QBrush(QColor(255, 226, 222));
        default:
            return QVariant();
        }
    case Qt::TextAlignmentRole:
        if (NumberOf(index.column(), 0, 0, 0, 0, 0) || index.column() == BlockSpidTLC)
            return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant TProcessModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
        return QString::fromUtf8(ColumnCaptions[section]);
    case Qt::UserRole:
        return QString::fromLatin1(ColumnNames[section]);
    case Qt::InitialSortOrderRole:
        return static_cast<int>(Qt::AscendingOrder);
    default:
        return QVariant();
    }
}

Qt::ItemFlags TProcessModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}
