// "Deadlocks" in the history window: the deadlocks recorded in the history file that match
// the window's filter, newest first; the selected one's processes with their statements and
// the drawing of who waited for whom; the report saved as an .xdl file, as SSMS opens it.
#pragma once

#include "HistoryStore.h"

#include <QString>
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class TDeadlockGraph;
class TDeadlockZoom;

class TDeadlocksPane : public QWidget {
    Q_OBJECT
public:
    static constexpr int ShownDeadlocks = 5000;
    enum TDeadlockColumn { ServerC, TimeC, VictimC, SurvivorsC, ObjectsC };
    enum TProcessColumn {
        SpidC,
        RoleC,
        LoginC,
        HostC,
        ProgramC,
        DatabaseC,
        LockModeC,
        WaitResourceC,
        ObjectC,
        StatementC
    };

    explicit TDeadlocksPane(std::string fileName, QWidget* parent = nullptr);

    // Reads the deadlocks that match the filter (its minimum duration does not apply).
    void Show(const THistoryFilter& filter);
    // Reads again after the recorder wrote, as the episode list does: the selected deadlock
    // stays selected, a list at its top stays there so new reports show, widths stay.
    void Follow(const THistoryFilter& filter);
    // Asks for a file and saves the selected report into it.
    void SaveXdlB_Click();
    // Writes the selected report's XML, as the server wrote it, into the file; errors are
    // thrown and leave no file behind.
    void SaveXdlTo(const QString& path);
    // A file name for the selected report, of characters any file system takes.
    QString SuggestedFileName() const;
    // The deadlocks shown, in the rows' order.
    std::size_t Count() const { return Deadlocks.size(); }

    QTreeWidget* DeadlocksTV;
    QTreeWidget* ProcessesTV;
    QPlainTextEdit* StatementE;
    TDeadlockGraph* GraphW;
    TDeadlockZoom* ZoomW; // the drawing's pane
    QPushButton* SaveXdlB;
    QLabel* StatusL;

private:
    void DeadlockSelected();
    void List(const THistoryFilter& filter, bool keepView);
    void ProcessSelected();

    std::string FileName;
    std::vector<TStoredDeadlock> Deadlocks;  // as listed
    std::optional<TStoredDeadlock> Selected; // whole
};
