// The timeline above the episode list: one strip per server over the window's time range, drawn
// with QPainter. A bar per minute (per longer bucket for a long range) shows the largest sum of
// blocked waits a refresh saw in it; deadlocks are red marks; the server's own lock waits (also
// those shorter than a refresh) are a faint band behind. Hovering tells the figures; a click on
// a bar selects its episode. Colours come from the palette, so a dark theme reads as well.
#pragma once

#include "HistoryStore.h"

#include <QWidget>
#include <string>
#include <vector>

class TTimelineStrip : public QWidget {
    Q_OBJECT
public:
    explicit TTimelineStrip(QWidget* parent = nullptr);

    // Reads the figures of the filter's range; what cannot be read leaves the strip empty
    // with the reason in Message().
    void Show(const std::string& fileName, const THistoryFilter& filter);
    // The bucket the strip reads for a range, never below a minute.
    static std::int64_t BucketFor(std::int64_t from, std::int64_t to, int width);

    const QString& Message() const { return Message_; }
    int ServerCount() const { return static_cast<int>(Servers.size()); }
    // The tooltip text and the episode at a point of the widget ("" and 0 for none).
    QString FiguresAt(QPoint at, std::int64_t* episodeId = nullptr) const;
    // Where the bucket starting at time ms of server row lies (for tests: its centre).
    QPoint PointOf(int serverRow, std::int64_t ms) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void EpisodeClicked(qint64 episodeId);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    struct TServerRow {
        std::string Name;
        std::vector<TTimelineMinute> Buckets; // by time
        std::vector<TLockWaitSample> LockWaits;
        std::vector<std::int64_t> Deadlocks; // times
    };
    int RowHeight() const;
    int LabelWidth() const;
    QRectF PlotRect() const;
    double XOf(std::int64_t ms) const;
    std::int64_t TimeAt(double x) const;

    std::vector<TServerRow> Servers;
    std::int64_t From = 0, To = 0, Bucket = 60000;
    std::int64_t MaxWait = 0;
    double MaxLockRate = 0; // lock wait seconds per second, the band's full strength
    QString Message_;
};
