// "Causes": the episodes of the window's servers and time range grouped by their head
// blocker's login, program or host, by the statement it ran (values taken out) or by the
// object its sessions waited on, the most blocked wait first, with how many episodes, the
// longest and when the group was last seen. A double click lists the group's episodes below;
// the groups export as CSV.
#pragma once

#include "HistoryStore.h"

#include <QWidget>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidget;

class TCausesPane : public QWidget {
    Q_OBJECT
public:
    static constexpr int ShownCauses = 1000;
    static constexpr int ShownEpisodes = 1000;
    enum TColumn { CauseC, EpisodesC, TotalWaitC, LongestC, LastSeenC };

    explicit TCausesPane(QWidget* parent = nullptr);

    // Groups the episodes of the file that match the filter, by the chosen kind.
    void Show(const std::string& fileName, const THistoryFilter& filter);
    // Lists the episodes of the cause in row (its index in CausesTV).
    void ListEpisodes(int row);
    // Writes the groups as shown into the file; errors are thrown.
    void ExportTo(const QString& path);
    TCauseKind Kind() const;

    QComboBox* GroupByCB;
    QTreeWidget* CausesTV;
    QTreeWidget* EpisodesTV;
    QPushButton* ExportB;
    QLabel* StatusL;

signals:
    // The user chose an episode in the group's list (double click).
    void EpisodeChosen(qint64 episodeId);

private:
    void Regroup();

    std::string FileName;
    THistoryFilter Filter;
    std::vector<TCause> Causes; // as shown
    std::vector<TStoredEpisode> Listed;
};
