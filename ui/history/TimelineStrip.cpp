#include "TimelineStrip.h"

#include "DisplayText.h"
#include "HistoryF.h"

#include <QDateTime>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>
#include <algorithm>
#include <map>

namespace {

constexpr int MaxServers = 50; // strips beyond these would be too thin to read
constexpr std::int64_t Minute = 60000;

QString TimeText(std::int64_t ms, const char* format) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QString::fromLatin1(format));
}

} // namespace

TTimelineStrip::TTimelineStrip(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("TimelineStrip"));
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

std::int64_t TTimelineStrip::BucketFor(std::int64_t from, std::int64_t to, int width) {
    const std::int64_t span = to > from ? to - from : Minute;
    const std::int64_t perPixel = span / std::max(width, 100);
    // Whole minutes, at least one: bars narrower than a pixel would only blur.
    return std::max<std::int64_t>(Minute, (perPixel + Minute - 1) / Minute * Minute);
}

void TTimelineStrip::Show(const std::string& fileName, const THistoryFilter& filter) {
    Servers.clear();
    Message_.clear();
    From = filter.From;
    To = std::max(filter.To, filter.From + 1);
    Bucket = BucketFor(From, To, static_cast<int>(PlotRect().width()));
    MaxWait = 0;
    MaxLockRate = 0;
    std::map<std::string, TServerRow> rows;
    try {
        THistoryStore store(fileName, THistoryStore::TMode::Read);
        for (TTimelineMinute& m : store.Timeline(filter, Bucket)) {
            MaxWait = std::max(MaxWait, m.TotalWait);
            TServerRow& row = rows[m.Server];
            row.Buckets.push_back(std::move(m));
        }
        for (TLockWaitSample& s : store.LockWaits(filter)) {
            const std::int64_t span = s.At - s.Since;
            if (span > 0)
                MaxLockRate = std::max(MaxLockRate,
                                       static_cast<double>(s.WaitMs) / static_cast<double>(span));
            rows[s.Server].LockWaits.push_back(std::move(s));
        }
        THistoryFilter deadlocks = filter;
        deadlocks.Limit = 10000;
        for (const TStoredDeadlock& d : store.Deadlocks(deadlocks))
            rows[d.Server].Deadlocks.push_back(d.Report.Time);
    } catch (const THistoryError& e) {
        Message_ = DisplayText(std::string(e.what()));
    }
    for (auto& [name, row] : rows) {
        if (static_cast<int>(Servers.size()) == MaxServers)
            break;
        row.Name = name;
        Servers.push_back(std::move(row));
    }
    if (Message_.isEmpty() && Servers.empty())
        Message_ = QStringLiteral("No blocking, deadlocks or lock waits recorded in this range.");
    updateGeometry();
    update();
}

int TTimelineStrip::RowHeight() const {
    return fontMetrics().height() * 2;
}

int TTimelineStrip::LabelWidth() const {
    int widest = fontMetrics().horizontalAdvance(QStringLiteral("MMMMMMMMMM"));
    for (const TServerRow& row : Servers)
        widest = std::max(widest, fontMetrics().horizontalAdvance(DisplayText(row.Name)));
    return std::min(widest, fontMetrics().averageCharWidth() * 24) + 8;
}

QRectF TTimelineStrip::PlotRect() const {
    const int axis = fontMetrics().height() + 4;
    return QRectF(LabelWidth(), 2, std::max(10, width() - LabelWidth() - 6),
                  std::max(1, height() - axis - 4));
}

double TTimelineStrip::XOf(std::int64_t ms) const {
    const QRectF plot = PlotRect();
    return plot.left() +
           plot.width() * static_cast<double>(ms - From) / static_cast<double>(To - From);
}

std::int64_t TTimelineStrip::TimeAt(double x) const {
    const QRectF plot = PlotRect();
    return From + static_cast<std::int64_t>((x - plot.left()) / plot.width() *
                                            static_cast<double>(To - From));
}

QSize TTimelineStrip::sizeHint() const {
    const int rows = std::max(1, ServerCount());
    return {600, std::min(rows, 6) * RowHeight() + fontMetrics().height() + 8};
}

QSize TTimelineStrip::minimumSizeHint() const {
    return {200, RowHeight() + fontMetrics().height() + 8};
}

QPoint TTimelineStrip::PointOf(int serverRow, std::int64_t ms) const {
    const QRectF plot = PlotRect();
    const double rowHeight = plot.height() / std::max(1, ServerCount());
    return QPoint(static_cast<int>(XOf(ms - ms % Bucket + Bucket / 2)),
                  static_cast<int>(plot.top() + rowHeight * (serverRow + 0.5)));
}

void TTimelineStrip::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    const QRectF plot = PlotRect();
    p.setPen(pal.color(QPalette::Text));
    if (Servers.empty()) {
        p.drawText(rect(), Qt::AlignCenter, Message_);
        return;
    }
    const double rowHeight = plot.height() / ServerCount();
    const QColor text = pal.color(QPalette::Text);
    QColor bar = pal.color(QPalette::Highlight);
    QColor band = text;
    band.setAlphaF(0.12f);
    const QColor deadlock(220, 40, 40);
    for (int r = 0; r < ServerCount(); ++r) {
        const TServerRow& row = Servers[static_cast<std::size_t>(r)];
        const QRectF strip(plot.left(), plot.top() + r * rowHeight, plot.width(), rowHeight);
        p.setPen(text);
        p.drawText(
            QRectF(0, strip.top(), LabelWidth() - 6, rowHeight), Qt::AlignRight | Qt::AlignVCenter,
            fontMetrics().elidedText(DisplayText(row.Name), Qt::ElideRight, LabelWidth() - 6));
        // The lock waits behind, as strong as they were busy.
        for (const TLockWaitSample& s : row.LockWaits) {
            if (s.At <= s.Since || MaxLockRate <= 0)
                continue;
            const double rate = static_cast<double>(s.WaitMs) / static_cast<double>(s.At - s.Since);
            QColor c = band;
            c.setAlphaF(static_cast<float>(0.06 + 0.24 * rate / MaxLockRate));
            const double x0 = std::max(plot.left(), XOf(s.Since));
            const double x1 = std::min(plot.right(), XOf(s.At));
            if (x1 > x0)
                p.fillRect(QRectF(x0, strip.top() + 1, x1 - x0, rowHeight - 2), c);
        }
        p.setPen(Qt::NoPen);
        for (const TTimelineMinute& m : row.Buckets) {
            const double x0 = XOf(m.Minute);
            const double w = std::max(1.5, XOf(m.Minute + Bucket) - x0 - 0.5);
            const double h = MaxWait > 0 ? (rowHeight - 4) * static_cast<double>(m.TotalWait) /
                                               static_cast<double>(MaxWait)
                                         : 0;
            p.fillRect(QRectF(x0, strip.bottom() - 2 - std::max(h, 1.5), w, std::max(h, 1.5)), bar);
        }
        p.setBrush(deadlock);
        const double mark = std::max(4.0, fontMetrics().height() / 3.0);
        for (const std::int64_t t : row.Deadlocks) {
            const double x = XOf(t);
            QPainterPath tri;
            tri.moveTo(x, strip.top() + 1 + mark);
            tri.lineTo(x - mark / 1.5, strip.top() + 1);
            tri.lineTo(x + mark / 1.5, strip.top() + 1);
            tri.closeSubpath();
            p.drawPath(tri);
        }
        p.setPen(pal.color(QPalette::Mid));
        p.drawLine(QPointF(plot.left(), strip.bottom()), QPointF(plot.right(), strip.bottom()));
    }
    // The axis: the range's start and end, and its middle.
    p.setPen(text);
    const QRectF axis(plot.left(), plot.bottom() + 2, plot.width(), fontMetrics().height());
    const char* format = To - From > 2 * 24 * 3600 * 1000LL ? "MM-dd HH:mm" : "HH:mm";
    p.drawText(axis, Qt::AlignLeft | Qt::AlignVCenter, TimeText(From, format));
    p.drawText(axis, Qt::AlignHCenter | Qt::AlignVCenter, TimeText(From + (To - From) / 2, format));
    p.drawText(axis, Qt::AlignRight | Qt::AlignVCenter, TimeText(To, format));
}

QString TTimelineStrip::FiguresAt(QPoint at, std::int64_t* episodeId) const {
    if (episodeId)
        *episodeId = 0;
    const QRectF plot = PlotRect();
    if (Servers.empty() || !plot.contains(at))
        return {};
    const double rowHeight = plot.height() / ServerCount();
    const int r =
        std::clamp(static_cast<int>((at.y() - plot.top()) / rowHeight), 0, ServerCount() - 1);
    const TServerRow& row = Servers[static_cast<std::size_t>(r)];
    const std::int64_t t = TimeAt(at.x());
    const std::int64_t start = t - ((t % Bucket) + Bucket) % Bucket;
    QStringList lines;
    lines << QStringLiteral("%1, %2 to %3")
                 .arg(DisplayText(row.Name), TimeText(start, "yyyy-MM-dd HH:mm"),
                      TimeText(start + Bucket, "HH:mm"));
    const auto bucket = std::find_if(row.Buckets.begin(), row.Buckets.end(),
                                     [&](const TTimelineMinute& m) { return m.Minute == start; });
    if (bucket != row.Buckets.end()) {
        lines << QStringLiteral("Blocked waits added up: %1 (%2 sessions blocked)")
                     .arg(THistoryF::DurationText(bucket->TotalWait))
                     .arg(bucket->Blocked);
        if (episodeId)
            *episodeId = bucket->EpisodeId;
    } else {
        lines << QStringLiteral("No blocking recorded");
    }
    for (const TLockWaitSample& s : row.LockWaits)
        if (s.Since < t && t <= s.At)
            lines << QStringLiteral("Lock waits counted by the server: %1 (%2) from %3 to %4")
                         .arg(s.Waits)
                         .arg(THistoryF::DurationText(s.WaitMs))
                         .arg(TimeText(s.Since, "HH:mm:ss"), TimeText(s.At, "HH:mm:ss"));
    const int deadlocks = static_cast<int>(
        std::count_if(row.Deadlocks.begin(), row.Deadlocks.end(),
                      [&](std::int64_t d) { return d >= start && d < start + Bucket; }));
    if (deadlocks > 0)
        lines << QStringLiteral("Deadlocks: %1").arg(deadlocks);
    return lines.join(QLatin1Char('\n'));
}

bool TTimelineStrip::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        const QString text = FiguresAt(help->pos());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(e);
}

void TTimelineStrip::mouseMoveEvent(QMouseEvent* e) {
    std::int64_t episode = 0;
    FiguresAt(e->position().toPoint(), &episode);
    setCursor(episode != 0 ? Qt::PointingHandCursor : Qt::ArrowCursor);
    QWidget::mouseMoveEvent(e);
}

void TTimelineStrip::mousePressEvent(QMouseEvent* e) {
    std::int64_t episode = 0;
    FiguresAt(e->position().toPoint(), &episode);
    if (e->button() == Qt::LeftButton && episode != 0)
        emit EpisodeClicked(episode);
    QWidget::mousePressEvent(e);
}
