// ErrorsTL: the in-memory error log along the bottom of the main window. Newest entry first,
// at most MaxEntries; a header click never reorders it.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QTreeWidget>
#include <exception>
#include <string>

class TImageList;

class TErrorLog : public QTreeWidget {
    Q_OBJECT
public:
    static constexpr int MaxEntries = 1000;
    enum TColumn { ErrTimeTLC, ErrServerTLC, ErrDescriptionTLC };

    TErrorLog(const TImageList& images, QWidget* parent = nullptr);

    // Adds the error being handled, for the server of that name, as the first row; the newest
    // row is focused and scrolled into view once the event loop has handled what is pending. A
    // repeat of the server's latest error updates that row instead (time of the last occurrence,
    // "×N") and moves it to the top.
    void LogError(const std::string& serverName, const std::exception& error);
    // The server stopped answering at since: its latest row says "down since …" (also after
    // repeats fold into it).
    void MarkDown(const std::string& serverName, const QDateTime& since);
    // It answers again: a row "recovered after …" on top, and its error rows turn grey, no
    // longer red; its next error starts a row of its own.
    void MarkRecovered(const std::string& serverName, const QDateTime& since, const QDateTime& now);
    // The row no longer stands for a live error.
    static bool IsSettled(const QTreeWidgetItem* row);
    // "Clear errors".
    void Clearerrors1Click();

    // "%s ( %s at 0x%s)": the message, the error kind's name and the raising address as eight
    // upper-case hexadecimal digits (zeros: the address is not known).
    static QString Description(const std::exception& error);
    // The error kind's name: ClassName() of our own errors, the type name of others.
    static QString KindName(const std::exception& error);
    // The user's short date, a blank and the long time; the time is left out at midnight.
    static QString TimeText(const QDateTime& moment);

    // The selected rows as tab-separated text with a header line (Ctrl+C).
    QString SelectedRowsText() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FocusNewest();
    // Drops the oldest rows beyond MaxEntries.
    void TrimToMax();
    // The description cell: the text, "×N" for repeats, "down since …" during an outage.
    void ShowDescription(QTreeWidgetItem* row, const QString& server);

    const TImageList& Images;
    // Each server's topmost row, the only one a repeat may fold into.
    QHash<QString, QTreeWidgetItem*> LatestRow;
    QHash<QString, QDateTime> DownSince; // servers in an outage
    bool FocusPending = false;
};
