// LoadListLayout / SaveListLayout: a grid's columns under its key, as the tree-list grid of the
// program's first platform stored them: list values, one band, one key per column.
#include "WindowState.h"
#include "WindowStateStore.h"

#include <QHeaderView>
#include <QTreeView>
#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

namespace {

QStringList DefaultColumnNames(const QString& key) {
    const QStringList elements = TWindowStateStore::KeyElements(key);
    const QString list = elements.isEmpty() ? QString() : elements.back();
    if (list.compare(QLatin1String("ServersTL"), Qt::CaseInsensitive) == 0)
        return {QStringLiteral("ServerTLC")};
    if (list.compare(QLatin1String("ProcessesTL"), Qt::CaseInsensitive) == 0)
        return {QStringLiteral("SpidTLC"),      QStringLiteral("DBNameTLC"),
                QStringLiteral("WaitInfoTLC"),  QStringLiteral("OpenTranCountTLC"),
                QStringLiteral("StatusTLC"),    QStringLiteral("HostNameTLC"),
                QStringLiteral("AppNameTLC"),   QStringLiteral("CommandTLC"),
                QStringLiteral("BlockSpidTLC"), QStringLiteral("LoginNameTLC"),
                QStringLiteral("CpuTLC"),       QStringLiteral("PhysicalIoTLC"),
                QStringLiteral("MemusageTLC")};
    if (list.compare(QLatin1String("ErrorsTL"), Qt::CaseInsensitive) == 0)
        return {QStringLiteral("ErrTimeTLC"), QStringLiteral("ErrServerTLC"),
                QStringLiteral("ErrDescriptionTLC")};
    return {};
}

QString ColumnName(const QStringList& names, int column) {
    return column < names.size() ? names[column] : QStringLiteral("Column%1").arg(column);
}

QString ColumnKey(const QString& key, const QString& name) {
    return key + QStringLiteral("\\Columns\\") + name;
}

// The width a column has when shown; a hidden section reports 0 otherwise.
int ColumnWidth(QHeaderView* header, int column) {
    if (!header->isSectionHidden(column))
        return header->sectionSize(column);
    header->showSection(column);
    const int width = header->sectionSize(column);
    header->hideSection(column);
    return width;
}

// 0 unsorted, 1 ascending, 2 descending.
int SortState(const QTreeView* grid, int column) {
    const QHeaderView* header = grid->header();
    if (!grid->isSortingEnabled() || !header->isSortIndicatorShown() ||
        header->sortIndicatorSection() != column)
        return 0;
    return header->sortIndicatorOrder() == Qt::AscendingOrder ? 1 : 2;
}

QString Bit(bool value) {
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

void SaveListLayout(QTreeView* grid, const QString& key) {
    SaveListLayout(grid, key, DefaultColumnNames(key));
}

void LoadListLayout(QTreeView* grid, const QString& key) {
    LoadListLayout(grid, key, DefaultColumnNames(key));
}

void SaveListLayout(QTreeView* grid, const QString& key, const QStringList& columnNames) {
    TWindowStateStore store;
    QHeaderView* header = grid->header();
    const int count = header->count();
    const auto text = [&](const QString& k, const char* name, const QString& value) {
        store.WriteString(k, QString::fromLatin1(name), value);
    };
    const auto number = [&](const QString& k, const char* name, qint64 value) {
        text(k, name, QString::number(value));
    };

    // A tree view draws no grid lines and has one header row and one band.
    text(key, "ShowGrid", Bit(false));
    text(key, "ShowPreviewGrid", Bit(false));
    number(key, "BandRowCount", 1);
    number(key, "DefaultRowHeight", grid->fontMetrics().height() + 4);
    number(key, "HeaderPanelRowCount", 1);

    int bandWidth = 0;
    for (int c = 0; c < count; ++c) {
        if (!header->isSectionHidden(c))
            bandWidth += header->sectionSize(c);
    }
    const QString band = key + QStringLiteral("\\Band\\Band0");
    number(band, "ID", 0);
    text(band, "Visible", Bit(true));
    number(band, "Index", 0);
    number(band, "Width", bandWidth);

    for (int c = 0; c < count; ++c) {
        const QString column = ColumnKey(key, ColumnName(columnNames, c));
        const int visual = header->visualIndex(c);
        int visibleBefore = 0;
        for (int v = 0; v < visual; ++v) {
            if (!header->isSectionHidden(header->logicalIndex(v)))
                ++visibleBefore;
        }
        const bool visible = !header->isSectionHidden(c);
        const int sorted = SortState(grid, c);
        number(column, "BandIndex", 0);
        number(column, "RowIndex", 0);
        number(column, "ColIndex", visible ? visibleBefore : -1);
        text(column, "Visible", Bit(visible));
        number(column, "Index", visual);
        number(column, "Width", ColumnWidth(header, c));
        number(column, "Sorted", sorted);
        number(column, "SortedOrder", sorted != 0 ? 0 : -1);
        number(column, "StoredRowIndex", 0);
    }
    store.Flush();
}

void LoadListLayout(QTreeView* grid, const QString& key, const QStringList& columnNames) {
    TWindowStateStore store;
    if (!store.KeyExists(key))
        return;
    QHeaderView* header = grid->header();
    const int count = header->count();
    // The list values and the one band have no counterpart in a tree view: a tree view has no
    // grid lines, one header row, and its band is the whole header.

    struct TColumn {
        int Logical;
        int StoredIndex;
        int Current;
    };
    std::vector<TColumn> order;
    std::optional<std::pair<int, Qt::SortOrder>> sort;
    bool sortStored = false;
    for (int c = 0; c < count; ++c) {
        const QString column = ColumnKey(key, ColumnName(columnNames, c));
        const bool visible = store.ReadInteger(column, QStringLiteral("Visible"))
                                 .value_or(header->isSectionHidden(c) ? 0 : 1) != 0;
        const auto width = store.ReadInteger(column, QStringLiteral("Width"));
        if (width && *width > 0) {
            header->showSection(c);
            header->resizeSection(c, static_cast<int>(std::min<qint64>(*width, 10000)));
        }
        header->setSectionHidden(c, !visible);
        if (const auto sorted = store.ReadInteger(column, QStringLiteral("Sorted"))) {
            sortStored = true;
            if (*sorted == 1 || *sorted == 2)
                sort = std::make_pair(c, *sorted == 1 ? Qt::AscendingOrder : Qt::DescendingOrder);
        }
        const int current = header->visualIndex(c);
        const auto index = store.ReadInteger(column, QStringLiteral("Index")).value_or(current);
        order.push_back({c, static_cast<int>(std::clamp<qint64>(index, -1, count)), current});
    }
    // Positions in ascending order of the stored indexes; equal ones keep their current order.
    std::stable_sort(order.begin(), order.end(), [](const TColumn& a, const TColumn& b) {
        return a.StoredIndex != b.StoredIndex ? a.StoredIndex < b.StoredIndex
                                              : a.Current < b.Current;
    });
    for (int position = 0; position < static_cast<int>(order.size()); ++position)
        header->moveSection(header->visualIndex(order[position].Logical), position);

    if (grid->isSortingEnabled()) {
        if (sort)
            grid->sortByColumn(sort->first, sort->second);
        else if (sortStored)
            header->setSortIndicator(-1, Qt::AscendingOrder);
    }
}
