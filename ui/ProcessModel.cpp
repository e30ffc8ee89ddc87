#include "ProcessModel.h"

#include "BlockingAnalysis.h"
#include "BlockingSummary.h"
#include "DisplayText.h"
#include "Icons.h"
#include "ProcessList.h"
#include "WaitResource.h"

#include <QBrush>
#include <QCollatorSortKey>
#include <QColor>
#include <QFont>
#include <QLocale>
#include <algorithm>
#include <numeric>
#include <optional>

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

void TProcessModel::BeginRebuild() {
    beginResetModel();
    Rebuilding = true;
    Rows.clear();
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
    TRow row;
    row.Parent = parentRow;
    if (parentRow >= 0) {
        row.Depth = Rows[static_cast<std::size_t>(parentRow)].Depth + 1;
        MaxDepth_ = std::max(MaxDepth_, row.Depth);
    } else if (const TBlockingChain* chain = HeadChainOf(item)) {
        row.HeadBlocking = chain->Blocked;
        row.HeadWait = chain->TotalWait;
        row.Forgotten = IsForgottenTransaction(item);
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
    Rows.push_back(std::move(row));
    return RowCount() - 1;
}

void TProcessModel::EndRebuild(int sortColumn, Qt::SortOrder order) {
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
    if (sortColumn >= 0 && sortColumn < ColumnCount)
        SortLevels(sortColumn, order);
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
    const bool numeric = NumberOf(column, 0, 0, 0, 0, 0).has_value();
    std::vector<std::int32_t> numbers;
    std::vector<QCollatorSortKey> keys;
    if (numeric) {
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
        return c != 0 ? c < 0 : x < y; // fill order breaks ties, whatever the direction
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

QString TProcessModel::ToolTip(int row, int column) const {
    const TRow& r = Rows[static_cast<std::size_t>(row)];
    QString tip = Text(row, column);
    if (column == SpidTLC && r.HeadBlocking >= 0) {
        QLocale locale;
        locale.setNumberOptions(QLocale::OmitGroupSeparator);
        tip += "\nHead blocker\nBlocking: " + QString::number(r.HeadBlocking) + " (total wait " +
               locale.toString(static_cast<double>(r.HeadWait) / 1000.0, 'f', 1) + " s)";
        if (r.Forgotten)
            tip += "\nSleeping with an open transaction: probably a forgotten transaction "
                   "(nothing runs that would commit it)";
    } else if (column == WaitInfoTLC && !r.WaitResource.empty() && r.WaitTime > 0) {
        const TWaitResource decoded = DecodeWaitResource(r.WaitResource, DatabaseName);
        if (!decoded.Kind.empty())
            tip += "\n" + Q(decoded.Words);
    }
    return tip;
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
