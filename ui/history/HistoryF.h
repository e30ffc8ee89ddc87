// "Blocking history": the episodes recorded in the history file, newest first, filtered by
// server, time range and minimum duration, under a timeline of the range; the selected
// episode's sessions as a tree (each under the session that blocked it, the head blocker on
// top), its replay refresh by refresh, and the head blocker's statement; the filtered episodes
// exported as CSV; the causes, the deadlocks and the kills of the same servers and time on
// pages of their own. A window of its own beside the main window:
// monitoring goes on while it is open.
#pragma once

#include "HistoryStore.h"

#include <QDialog>
#include <QStringList>
#include <string>
#include <vector>

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTimer;
class QTreeWidget;
class THistoryKillsView;
class TCausesPane;
class TDeadlocksPane;
class TEpisodeReplay;
class TTimelineStrip;
class TSpinEdit;

class THistoryF : public QDialog {
    Q_OBJECT
public:
    static constexpr int ShownEpisodes = 10000;
    enum TEpisodeColumn {
        ServerC,
        StartC,
        DurationC,
        PeakWaitC,
        BlockedC,
        LoginC,
        HostC,
        ProgramC,
        EndC
    };
    enum TSessionColumn {
        SpidC,
        SLoginC,
        SHostC,
        SProgramC,
        SDatabaseC,
        WaitTypeC,
        WaitResourceC,
        LongestWaitC,
        StatusC
    };

    THistoryF(std::string fileName, const QStringList& servers, QWidget* parent = nullptr);

    // Reads the episodes that match the filter again.
    void ShowB_Click();
    // The recorder wrote to the file: the episodes are read again shortly (several writes in a
    // row give one re-read), keeping the selected episode and the rows in view.
    void FollowRecorder();
    // Asks for a file and writes the filtered episodes into it.
    void ExportB_Click();
    // Writes the filtered episodes as CSV into the file; errors are thrown.
    void ExportTo(const QString& path);
    THistoryFilter Filter(int limit) const;
    // Selects the episode in the list (the episodes page comes to the front); false when the
    // list does not hold it.
    bool SelectEpisode(std::uint64_t id);

    QComboBox* ServerCB;
    QDateTimeEdit* FromDTE;
    QDateTimeEdit* ToDTE;
    TSpinEdit* MinDurationSE; // seconds
    QPushButton* ShowB;
    QPushButton* ExportB;
    QTreeWidget* EpisodesTV;
    QTreeWidget* SessionsTV;
    QPlainTextEdit* StatementE;
    QLabel* StatusL;
    QTabWidget* PagesTC;
    QTabWidget* DetailsTC; // the selected episode's sessions and its replay
    TTimelineStrip* TimelineS;
    TEpisodeReplay* ReplayP;
    TCausesPane* CausesP;
    TDeadlocksPane* DeadlocksP;
    THistoryKillsView* KillsV;

    // "25.5 s", "4 min 05 s", "2 h 07 min".
    static QString DurationText(std::int64_t ms);

private:
    void EpisodeSelected();
    void ReadEpisodes(bool keepView);

    QTimer* FollowTimer;

    std::string FileName;
    std::vector<TStoredEpisode> Episodes; // as shown, in the rows' order
};

// Shows the one history window (creating it when needed) and brings it to the front.
THistoryF* ShowHistory(const std::string& fileName, const QStringList& servers,
                       QWidget* parent = nullptr);
