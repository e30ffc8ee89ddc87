// The history window's list of kills: every kill the user confirmed, newest first, within the
// window's server and time range: whom it hit, what that session held up, who killed it and
// whether the server did; the selected kill's statement below the list.
#pragma once

#include "HistoryStore.h"

#include <QWidget>
#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QTreeWidget;

class THistoryKillsView : public QWidget {
    Q_OBJECT
public:
    static constexpr int ShownKills = 10000;
    enum TColumn {
        TimeC,
        ServerC,
        SpidC,
        LoginC,
        HostC,
        ProgramC,
        OpenTranC,
        BlockedC,
        KilledByC,
        OutcomeC
    };

    explicit THistoryKillsView(QWidget* parent = nullptr);

    // Reads the kills of the file that match the filter's server and time range.
    void Show(const std::string& fileName, THistoryFilter filter);

    QTreeWidget* KillsTV;
    QPlainTextEdit* StatementE;
    QLabel* StatusL;

private:
    void KillSelected();

    std::vector<TKillRecord> Kills; // as shown, in the rows' order
};
