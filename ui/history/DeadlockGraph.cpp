#include "DeadlockGraph.h"

#include "DisplayText.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <set>
#include <string>

namespace {

constexpr double Padding = 6;    // inside a box
constexpr double Gap = 70;       // between neighbouring boxes on the ring, for the labels
constexpr double Margin = 12;    // around the drawing
constexpr double PairOffset = 5; // between two arrows of one pair of boxes, going both ways
constexpr double ArrowSize = 8;

QString KindText(const std::string& kind) {
    static const std::map<std::string, const char*> names = {
        {"keylock", "Key lock"},           {"pagelock", "Page lock"},
        {"objectlock", "Object lock"},     {"ridlock", "RID lock"},
        {"exchangeEvent", "Exchange"},     {"databaselock", "Database lock"},
        {"metadatalock", "Metadata lock"}, {"applicationlock", "Application lock"},
        {"hobtlock", "HoBT lock"},         {"extentlock", "Extent lock"},
        {"filelock", "File lock"},         {"allocunitlock", "Allocation unit lock"},
        {"threadpool", "Worker threads"},  {"resourceWait", "Resource wait"},
    };
    const auto found = names.find(kind);
    return found != names.end() ? QString::fromLatin1(found->second) : DisplayText(kind);
}

QStringList Elided(const QStringList& lines, const QFontMetricsF& metrics) {
    QStringList shown;
    for (const QString& line : lines)
        if (!line.isEmpty())
            shown << metrics.elidedText(line, Qt::ElideMiddle, TDeadlockGraph::MaxTextWidth);
    return shown;
}

QSizeF TextSize(const QStringList& lines, const QFontMetricsF& metrics) {
    double width = 0;
    for (const QString& line : lines)
        width = std::max(width, metrics.horizontalAdvance(line));
    return {width + 2 * Padding,
            static_cast<double>(lines.size()) * metrics.height() + 2 * Padding};
}

// Where the line from the box's centre towards target leaves the box.
QPointF Border(const QRectF& box, QPointF target) {
    const QPointF c = box.center();
    const double dx = target.x() - c.x();
    const double dy = target.y() - c.y();
    if (dx == 0 && dy == 0)
        return c;
    const double tx = dx != 0 ? box.width() / 2 / std::abs(dx) : INFINITY;
    const double ty = dy != 0 ? box.height() / 2 / std::abs(dy) : INFINITY;
    const double t = std::min(tx, ty);
    return {c.x() + dx * t, c.y() + dy * t};
}

} // namespace

TGraphLayout TDeadlockGraph::Arrange(const TDeadlockReport& report, const QFontMetricsF& metrics) {
    TGraphLayout layout;
    const std::size_t processes = std::min(report.Processes.size(), MaxProcesses);
    const std::size_t resources = std::min(report.Resources.size(), MaxResources);
    layout.LeftOut =
        static_cast<int>(report.Processes.size() - processes + report.Resources.size() - resources);

    // Boxes: the drawn processes, then the drawn resources.
    std::map<std::string, std::size_t> byId; // a process id's first box
    for (std::size_t i = 0; i < processes; ++i) {
        const TDeadlockProcess& p = report.Processes[i];
        TGraphBox box;
        box.Process = true;
        box.Index = i;
        box.Victim = p.Victim;
        box.Lines =
            Elided({QStringLiteral("SPID %1%2").arg(p.Spid).arg(p.Victim ? " (victim)" : ""),
                    DisplayText(p.ProgramName), DisplayText(p.LoginName)},
                   metrics);
        byId.try_emplace(p.Id, layout.Boxes.size());
        layout.Boxes.push_back(std::move(box));
    }
    for (std::size_t i = 0; i < resources; ++i) {
        const TDeadlockResource& r = report.Resources[i];
        TGraphBox box;
        box.Process = false;
        box.Index = i;
        box.Lines = Elided({KindText(r.Kind), DisplayText(r.ObjectName),
                            DisplayText(r.IndexName.empty() ? r.WaitType : r.IndexName)},
                           metrics);
        layout.Boxes.push_back(std::move(box));
    }

    // Edges: a waiter points at its resource, a resource at its owner. A lock that names a
    // process the report does not list (a report cut off) has nothing to point at.
    std::vector<std::vector<std::size_t>> next(layout.Boxes.size());
    for (std::size_t i = 0; i < resources; ++i) {
        const TDeadlockResource& r = report.Resources[i];
        const std::size_t box = processes + i;
        const auto add = [&](const TDeadlockLock& lock, bool request) {
            const auto found = byId.find(lock.ProcessId);
            if (found == byId.end())
                return;
            TGraphEdge edge;
            edge.Request = request;
            edge.From = request ? found->second : box;
            edge.To = request ? box : found->second;
            const QString mode =
                lock.Mode.empty() && request ? DisplayText(r.WaitType) : DisplayText(lock.Mode);
            edge.Label = metrics.elidedText(mode.isEmpty()
                                                ? QString(request ? "waits" : "owns")
                                                : QString(request ? "request: " : "owner: ") + mode,
                                            Qt::ElideRight, MaxTextWidth);
            next[edge.From].push_back(edge.To);
            layout.Edges.push_back(std::move(edge));
        };
        for (const TDeadlockLock& lock : r.Waiters)
            add(lock, true);
        for (const TDeadlockLock& lock : r.Owners)
            add(lock, false);
    }
    if (layout.Boxes.empty())
        return layout;

    // The ring's order follows the arrows from the first victim, so that a cycle lies along
    // the ring; what the walk does not reach follows in the report's order.
    std::size_t start = 0;
    for (std::size_t i = 0; i < processes; ++i)
        if (layout.Boxes[i].Victim) {
            start = i;
            break;
        }
    std::vector<std::size_t> order;
    std::vector<bool> placed(layout.Boxes.size(), false);
    const auto walk = [&](std::size_t from) {
        for (std::size_t at = from; !placed[at];) {
            placed[at] = true;
            order.push_back(at);
            const auto unplaced = std::find_if(next[at].begin(), next[at].end(),
                                               [&](std::size_t n) { return !placed[n]; });
            if (unplaced == next[at].end())
                break;
            at = *unplaced;
        }
    };
    walk(start);
    for (std::size_t i = 0; i < layout.Boxes.size(); ++i)
        walk(i);

    // Neighbours on the ring are one box's diagonal and a gap apart, so no two boxes meet and
    // the widest label fits between them.
    double gap = Gap;
    for (const TGraphEdge& e : layout.Edges)
        gap = std::max(gap, metrics.horizontalAdvance(e.Label) + 16);
    double diagonal = 0;
    for (TGraphBox& box : layout.Boxes) {
        box.Rect = QRectF(QPointF(0, 0), TextSize(box.Lines, metrics));
        diagonal = std::max(diagonal, std::hypot(box.Rect.width(), box.Rect.height()));
    }
    const std::size_t n = order.size();
    const double pi = std::numbers::pi;
    const double radius =
        n < 2 ? 0 : (diagonal + gap) / (2 * std::sin(pi / static_cast<double>(n)));
    for (std::size_t k = 0; k < n; ++k) {
        // The first two on top, side by side; then clockwise.
        const double angle = -pi / 2 - pi / static_cast<double>(n) +
                             2 * pi * static_cast<double>(k) / static_cast<double>(n);
        QRectF& rect = layout.Boxes[order[k]].Rect;
        rect.moveCenter({radius * std::cos(angle), radius * std::sin(angle)});
    }

    std::set<std::pair<std::size_t, std::size_t>> pairs;
    for (const TGraphEdge& e : layout.Edges)
        pairs.insert({e.From, e.To});
    for (TGraphEdge& e : layout.Edges) {
        const QRectF& from = layout.Boxes[e.From].Rect;
        const QRectF& to = layout.Boxes[e.To].Rect;
        QLineF line(Border(from, to.center()), Border(to, from.center()));
        if (pairs.count({e.To, e.From}) != 0) {
            // Both ways between the same boxes (a lock converted while held): side by side.
            const QLineF normal = line.normalVector().unitVector();
            const QPointF shift = (normal.p2() - normal.p1()) * PairOffset;
            line.translate(shift);
        }
        e.Line = line;
        const QSizeF label(metrics.horizontalAdvance(e.Label) + 4, metrics.height());
        e.LabelRect = QRectF(QPointF(0, 0), label);
        e.LabelRect.moveCenter(line.center());
    }

    QRectF bounds;
    for (const TGraphBox& box : layout.Boxes)
        bounds |= box.Rect;
    for (const TGraphEdge& e : layout.Edges)
        bounds |= e.LabelRect;
    const QPointF shift = QPointF(Margin, Margin) - bounds.topLeft();
    for (TGraphBox& box : layout.Boxes)
        box.Rect.translate(shift);
    for (TGraphEdge& e : layout.Edges) {
        e.Line.translate(shift);
        e.LabelRect.translate(shift);
    }
    layout.Size = bounds.size() + QSizeF(2 * Margin, 2 * Margin);
    if (layout.LeftOut > 0) // a line below the drawing says so
        layout.Size.rheight() += metrics.height();
    return layout;
}

TDeadlockGraph::TDeadlockGraph(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("DeadlockGraph"));
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

void TDeadlockGraph::SetReport(const TDeadlockReport* report) {
    Report = {};
    if (report != nullptr) {
        // The drawing needs neither the statements nor the XML.
        Report.Processes = report->Processes;
        for (TDeadlockProcess& p : Report.Processes)
            p.Statement.clear();
        Report.Resources = report->Resources;
    }
    Rearrange();
}

void TDeadlockGraph::Rearrange() {
    Current = Arrange(Report, QFontMetricsF(font()));
    setMinimumSize((Current.Size * Scale_).toSize());
    updateGeometry();
    update();
}

void TDeadlockGraph::SetScale(double scale) {
    if (scale == Scale_)
        return;
    Scale_ = scale;
    setMinimumSize((Current.Size * Scale_).toSize());
    updateGeometry();
    update();
}

QSize TDeadlockGraph::sizeHint() const {
    return (Current.Size * Scale_).toSize().expandedTo(QSize(200, 120));
}

void TDeadlockGraph::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        Rearrange();
    QWidget::changeEvent(event);
}

void TDeadlockGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(Scale_, Scale_);
    const QPalette& colours = palette();
    const QColor victim(200, 30, 30);
    const QFontMetricsF metrics(font());

    for (const TGraphEdge& e : Current.Edges) {
        const QColor colour = e.Request ? QColor(190, 110, 0) : colours.color(QPalette::Text);
        QPen pen(colour, 1.5);
        if (e.Request)
            pen.setStyle(Qt::DashLine);
        painter.setPen(pen);
        painter.drawLine(e.Line);
        const QLineF back = QLineF(e.Line.p2(), e.Line.p1()).unitVector();
        const QPointF along = (back.p2() - back.p1()) * ArrowSize;
        const QPointF across(-along.y() / 2, along.x() / 2);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawPolygon(
            QPolygonF({e.Line.p2(), e.Line.p2() + along + across, e.Line.p2() + along - across}));
        painter.setBrush(colours.color(QPalette::Base));
        painter.drawRect(e.LabelRect);
        painter.setPen(colour);
        painter.drawText(e.LabelRect, Qt::AlignCenter, e.Label);
    }

    for (const TGraphBox& box : Current.Boxes) {
        QPainterPath shape;
        if (box.Process)
            shape.addRoundedRect(box.Rect, 10, 10);
        else
            shape.addRect(box.Rect);
        const QColor fill = box.Victim    ? QColor(255, 225, 225)
                            : box.Process ? QColor(225, 235, 255)
                                          : QColor(240, 240, 240);
        painter.setPen(
            QPen(box.Victim ? victim : colours.color(QPalette::Text), box.Victim ? 2.5 : 1));
        painter.setBrush(fill);
        painter.drawPath(shape);
        painter.setPen(box.Victim ? victim : QColor(Qt::black));
        double y = box.Rect.top() + Padding;
        for (const QString& line : box.Lines) {
            painter.drawText(QRectF(box.Rect.left() + Padding, y, box.Rect.width() - 2 * Padding,
                                    metrics.height()),
                             Qt::AlignLeft | Qt::AlignVCenter, line);
            y += metrics.height();
        }
    }

    if (Current.LeftOut > 0) {
        painter.setPen(colours.color(QPalette::Text));
        painter.resetTransform();
        painter.drawText(
            rect().adjusted(4, 4, -4, -4), Qt::AlignBottom | Qt::AlignLeft,
            QStringLiteral("%1 more processes and resources are not drawn.").arg(Current.LeftOut));
    }
}
