#include "Icons.h"

#include <QApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStyle>
#include <QStyleOption>
#include <cmath>
#include <functional>
#include <utility>

namespace {

using TDrawFunc = std::function<void(QPainter&)>;

// Paints one picture designed on a Grid x Grid canvas, scaled to the requested size. The
// rendered pixmaps are cached per size and mode; disabled pictures are greyed by the style.
class TDrawnIconEngine : public QIconEngine {
public:
    TDrawnIconEngine(int grid, TDrawFunc draw) : Grid(grid), Draw(std::move(draw)) {}

    QIconEngine* clone() const override { return new TDrawnIconEngine(Grid, Draw); }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap pm = pixmap(rect.size() * dpr, mode, state);
        pm.setDevicePixelRatio(dpr);
        painter->drawPixmap(rect, pm);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        const quint64 key =
            (quint64(size.width()) << 32) | (quint64(size.height()) << 8) | quint64(mode);
        auto it = Cache.constFind(key);
        if (it != Cache.constEnd())
            return *it;
        QPixmap pm(size);
        pm.fill(Qt::transparent);
        {
            QPainter p(&pm);
            p.setRenderHint(QPainter::Antialiasing);
            const qreal side = std::min(size.width(), size.height());
            p.translate((size.width() - side) / 2.0, (size.height() - side) / 2.0);
            p.scale(side / Grid, side / Grid);
            Draw(p);
        }
        if (mode == QIcon::Disabled && qApp) {
            QStyleOption opt;
            pm = QApplication::style()->generatedIconPixmap(QIcon::Disabled, pm, &opt);
        }
        Cache.insert(key, pm);
        return pm;
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }

private:
    int Grid;
    TDrawFunc Draw;
    QHash<quint64, QPixmap> Cache;
};

QIcon Drawn(int grid, TDrawFunc draw) {
    return QIcon(new TDrawnIconEngine(grid, std::move(draw)));
}

QColor Outline(const QColor& c) {
    return c.darker(230);
}

// A tower server in the box (x, y, w, h): body, two drive bays, a power light.
void DrawServer(QPainter& p, const QRectF& box, const QColor& fill, const QColor& light) {
    const qreal u = box.width() / 9.0;
    QLinearGradient g(box.topLeft(), box.topRight());
    g.setColorAt(0, fill.lighter(118));
    g.setColorAt(1, fill.darker(108));
    p.setPen(QPen(Outline(fill), u));
    p.setBrush(g);
    p.drawRoundedRect(box, 1.2 * u, 1.2 * u);
    p.setPen(QPen(Outline(fill), u, Qt::SolidLine, Qt::FlatCap));
    for (int i = 0; i < 2; ++i) {
        const qreal y = box.top() + (3.0 + 2.2 * i) * u;
        p.drawLine(QPointF(box.left() + 2 * u, y), QPointF(box.right() - 2 * u, y));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(light);
    p.drawEllipse(QPointF(box.left() + 2.6 * u, box.bottom() - 2.6 * u), 1.0 * u, 1.0 * u);
}

// A white disc under a badge so it reads against the picture behind it.
void Halo(QPainter& p, const QPointF& c, qreal r) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(c, r, r);
}

// A padlock in the box; open lifts the shackle's right leg out of the body.
void DrawPadlock(QPainter& p, const QRectF& box, const QColor& color, bool open) {
    const qreal w = box.width();
    const QRectF body(box.left(), box.top() + 0.45 * box.height(), w, 0.55 * box.height());
    const qreal shackleW = 0.62 * w;
    const qreal sx = box.left() + (w - shackleW) / 2;
    const qreal stroke = std::max(1.0, 0.16 * w);
    QPainterPath shackle;
    const qreal lift = open ? 0.22 * box.height() : 0;
    const qreal top = box.top() + stroke / 2;
    shackle.moveTo(sx, body.top() + 0.1);
    shackle.lineTo(sx, top + shackleW / 2);
    shackle.arcTo(QRectF(sx, top, shackleW, shackleW), 180, -180);
    shackle.lineTo(sx + shackleW, body.top() - lift);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(120, 120, 128), stroke, Qt::SolidLine, Qt::FlatCap));
    p.drawPath(shackle);
    QLinearGradient g(body.topLeft(), body.bottomLeft());
    g.setColorAt(0, color.lighter(125));
    g.setColorAt(1, color.darker(112));
    p.setPen(QPen(Outline(color), std::max(0.8, 0.09 * w)));
    p.setBrush(g);
    p.drawRoundedRect(body, 0.12 * w, 0.12 * w);
    p.setPen(Qt::NoPen);
    p.setBrush(Outline(color));
    p.drawEllipse(QPointF(body.center().x(), body.center().y() - 0.03 * w), 0.1 * w, 0.1 * w);
}

// A round badge with a white cross.
void DrawCrossBadge(QPainter& p, const QPointF& c, qreal r, const QColor& color) {
    QRadialGradient g(c - QPointF(r / 3, r / 3), r * 1.4);
    g.setColorAt(0, color.lighter(140));
    g.setColorAt(1, color);
    p.setPen(QPen(Outline(color), std::max(0.8, r / 6)));
    p.setBrush(g);
    p.drawEllipse(c, r, r);
    const qreal k = r * 0.45;
    p.setPen(QPen(Qt::white, std::max(1.2, r * 0.32), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c + QPointF(-k, -k), c + QPointF(k, k));
    p.drawLine(c + QPointF(-k, k), c + QPointF(k, -k));
}

// A green arrow pointing right, in the box.
void DrawArrow(QPainter& p, const QRectF& box, const QColor& color) {
    const qreal w = box.width(), h = box.height();
    QPolygonF arrow;
    arrow << QPointF(box.left(), box.top() + 0.34 * h)
          << QPointF(box.left() + 0.48 * w, box.top() + 0.34 * h)
          << QPointF(box.left() + 0.48 * w, box.top()) << QPointF(box.right(), box.top() + 0.5 * h)
          << QPointF(box.left() + 0.48 * w, box.bottom())
          << QPointF(box.left() + 0.48 * w, box.top() + 0.66 * h)
          << QPointF(box.left(), box.top() + 0.66 * h);
    QLinearGradient g(box.topLeft(), box.bottomLeft());
    g.setColorAt(0, color.lighter(130));
    g.setColorAt(1, color);
    p.setPen(
        QPen(Outline(color), std::max(0.8, 0.08 * w), Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.setBrush(g);
    p.drawPolygon(arrow);
}

// A circular arrow around c: an open ring with an arrow head at its end.
void DrawCircularArrow(QPainter& p, const QPointF& c, qreal r, qreal stroke, const QColor& color) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(color, stroke, Qt::SolidLine, Qt::FlatCap));
    const QRectF ring(c.x() - r, c.y() - r, 2 * r, 2 * r);
    p.drawArc(ring, 100 * 16, 280 * 16);
    // The ring runs counter-clockwise from 100 to 380 degrees; the head sits at its end and
    // points the way the ring runs.
    const qreal a = 20.0 * M_PI / 180.0;
    const QPointF end(c.x() + r * std::cos(a), c.y() - r * std::sin(a));
    const QPointF travel(-std::sin(a), -std::cos(a));
    const QPointF out(std::cos(a), -std::sin(a));
    const qreal hs = stroke * 1.25;
    QPolygonF head;
    head << end + out * hs << end - out * hs << end + travel * (hs * 1.5);
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPolygon(head);
}

// A small data table: header band and a grid of cells, in quiet colours so that the padlocks
// of the rows taking part in blocking draw the eye.
void DrawTable(QPainter& p, const QRectF& box) {
    const QColor frame(110, 130, 160);
    p.setPen(QPen(frame, 1));
    p.setBrush(Qt::white);
    p.drawRect(box);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(150, 175, 210));
    p.drawRect(QRectF(box.left() + 0.5, box.top() + 0.5, box.width() - 1, 2.5));
    p.setPen(QPen(QColor(185, 198, 218), 1));
    for (qreal y = box.top() + 5.5; y < box.bottom() - 0.5; y += 2.5)
        p.drawLine(QPointF(box.left() + 1, y), QPointF(box.right() - 1, y));
    const qreal x = box.left() + box.width() * 0.42;
    p.drawLine(QPointF(x, box.top() + 3), QPointF(x, box.bottom() - 1));
}

void DrawCog(QPainter& p, const QPointF& c, qreal r, const QColor& color) {
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 2; ++i) {
        const qreal a0 = (i - 0.5) * M_PI / teeth, a1 = (i + 0.5) * M_PI / teeth;
        const qreal rr = (i % 2 == 0) ? r : r * 0.76;
        const QPointF p0(c.x() + rr * std::cos(a0), c.y() + rr * std::sin(a0));
        const QPointF p1(c.x() + rr * std::cos(a1), c.y() + rr * std::sin(a1));
        if (i == 0)
            gear.moveTo(p0);
        else
            gear.lineTo(p0);
        gear.lineTo(p1);
    }
    gear.closeSubpath();
    gear.addEllipse(c, r * 0.32, r * 0.32);
    gear.setFillRule(Qt::OddEvenFill);
    QLinearGradient g(c - QPointF(r, r), c + QPointF(r, r));
    g.setColorAt(0, color.lighter(135));
    g.setColorAt(1, color.darker(110));
    p.setPen(QPen(Outline(color), 1));
    p.setBrush(g);
    p.drawPath(gear);
}

const QColor kYellowServer(236, 196, 64);
const QColor kGreyServer(168, 170, 176);
const QColor kGreen(52, 160, 60);
const QColor kRed(214, 44, 36);
const QColor kOrange(240, 140, 30);
const QColor kAmber(242, 190, 30);
const QColor kBlue(40, 110, 200);

} // namespace

QIcon TImageList::Icon(int index) const {
    if (index < 0 || index >= Count())
        return QIcon();
    return Icons_[static_cast<std::size_t>(index)];
}

TImageList MakeServerStatesIL() {
    const QRectF body(1.5, 0.5, 9, 14);
    const QColor lightOff(120, 120, 120), lightOn(60, 200, 70);
    std::vector<QIcon> icons;
    icons.push_back(Drawn(16, [=](QPainter& p) { DrawServer(p, body, kGreyServer, lightOff); }));
    icons.push_back(Drawn(16, [](QPainter& p) {
        QRadialGradient g(QPointF(6, 5), 10);
        g.setColorAt(0, kOrange.lighter(130));
        g.setColorAt(1, kOrange);
        p.setPen(QPen(Outline(kOrange), 1));
        p.setBrush(g);
        p.drawEllipse(QPointF(8, 8), 7.2, 7.2);
        DrawCircularArrow(p, QPointF(8, 8), 3.8, 1.6, Qt::white);
    }));
    icons.push_back(Drawn(16, [=](QPainter& p) {
        DrawServer(p, body, kYellowServer, lightOn);
        Halo(p, QPointF(12, 11.5), 4.6);
        DrawArrow(p, QRectF(8, 8, 8, 7), kGreen);
    }));
    icons.push_back(Drawn(16, [=](QPainter& p) {
        DrawServer(p, body, kYellowServer, lightOn);
        Halo(p, QPointF(12, 11.5), 4.6);
        DrawPadlock(p, QRectF(8.5, 6.5, 7, 9), kRed, false);
    }));
    icons.push_back(Drawn(16, [=](QPainter& p) {
        DrawServer(p, body, kYellowServer, lightOn);
        Halo(p, QPointF(12, 11.5), 4.6);
        DrawCrossBadge(p, QPointF(12, 11.5), 3.8, kRed);
    }));
    return TImageList(QSize(16, 16), std::move(icons));
}

QIcon MakeBlocksWithErrorIcon() {
    const QRectF body(1.5, 0.5, 9, 14);
    const QColor lightOn(60, 200, 70);
    return Drawn(16, [=](QPainter& p) {
        DrawServer(p, body, kYellowServer, lightOn);
        Halo(p, QPointF(12, 11.5), 4.6);
        DrawPadlock(p, QRectF(8.5, 6.5, 7, 9), kRed, false);
        // The error of another server: a small cross in the free upper corner.
        Halo(p, QPointF(12.8, 3.2), 3.2);
        DrawCrossBadge(p, QPointF(12.8, 3.2), 2.7, kRed);
    });
}

TImageList MakeProcessesIL() {
    const QRectF table(0.5, 1.5, 12, 11);
    std::vector<QIcon> icons;
    auto plain = Drawn(16, [=](QPainter& p) { DrawTable(p, QRectF(1.5, 2.5, 13, 11)); });
    icons.push_back(plain);
    icons.push_back(Drawn(16, [=](QPainter& p) {
        DrawTable(p, table);
        Halo(p, QPointF(12, 11.5), 4.4);
        DrawPadlock(p, QRectF(8.5, 6.5, 7, 9), kAmber, false);
    }));
    icons.push_back(Drawn(16, [=](QPainter& p) {
        DrawTable(p, table);
        Halo(p, QPointF(12, 11.5), 4.4);
        DrawPadlock(p, QRectF(8.5, 6.5, 7, 9), kRed, false);
    }));
    icons.push_back(plain);
    return TImageList(QSize(16, 16), std::move(icons));
}

TImageList MakeLogImages() {
    std::vector<QIcon> icons;
    icons.push_back(Drawn(14, [](QPainter& p) { DrawCrossBadge(p, QPointF(7, 7), 6.2, kRed); }));
    return TImageList(QSize(14, 14), std::move(icons));
}

TImageList MakeToolbarIL() {
    const QRectF server(3.5, 1.5, 12, 21);
    const QColor lightOn(60, 200, 70);
    std::vector<QIcon> icons;
    // 0 Quit: an open door in its frame.
    icons.push_back(Drawn(24, [](QPainter& p) {
        const QColor frame(110, 80, 50), wood(176, 120, 64);
        p.setPen(QPen(frame, 1.5));
        p.setBrush(QColor(40, 40, 48));
        p.drawRect(QRectF(6.5, 2.5, 12, 19));
        QPolygonF door;
        door << QPointF(6.5, 2.5) << QPointF(13.5, 5.0) << QPointF(13.5, 23.0)
             << QPointF(6.5, 21.5);
        QLinearGradient g(QPointF(6, 0), QPointF(14, 0));
        g.setColorAt(0, wood.darker(115));
        g.setColorAt(1, wood.lighter(120));
        p.setBrush(g);
        p.setPen(QPen(frame, 1.2));
        p.drawPolygon(door);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(250, 210, 80));
        p.drawEllipse(QPointF(11.8, 13.5), 1.1, 1.1);
    }));
    // 1 Refresh: a circular arrow.
    icons.push_back(
        Drawn(24, [](QPainter& p) { DrawCircularArrow(p, QPointF(12, 12.5), 7.5, 3.0, kGreen); }));
    // 2 Properties: a server with a ticked box.
    icons.push_back(Drawn(24, [=](QPainter& p) {
        DrawServer(p, server, kYellowServer, lightOn);
        const QRectF box(12.5, 12.5, 10, 10);
        p.setPen(QPen(QColor(60, 60, 70), 1.2));
        p.setBrush(Qt::white);
        p.drawRect(box);
        p.setPen(QPen(kGreen, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF({QPointF(14.5, 17.5), QPointF(16.8, 20), QPointF(20.8, 14.5)}));
    }));
    // 3 Register: a server with a plus; 4 Unregister: with a minus.
    for (const bool plus : {true, false}) {
        icons.push_back(Drawn(24, [=](QPainter& p) {
            DrawServer(p, server, kYellowServer, lightOn);
            const QColor c = plus ? kGreen : kRed;
            const QPointF m(17.5, 17.5);
            p.setPen(QPen(Outline(c), 1));
            p.setBrush(c);
            p.drawEllipse(m, 5.6, 5.6);
            p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::FlatCap));
            p.drawLine(m - QPointF(3.2, 0), m + QPointF(3.2, 0));
            if (plus)
                p.drawLine(m - QPointF(0, 3.2), m + QPointF(0, 3.2));
        }));
    }
    // 5 Show blocks: an open red padlock.
    icons.push_back(
        Drawn(24, [](QPainter& p) { DrawPadlock(p, QRectF(5, 1.5, 14, 21), kRed, true); }));
    // 6 Settings: a cog wheel with a server.
    icons.push_back(Drawn(24, [](QPainter& p) {
        DrawServer(p, QRectF(13.5, 7.5, 9, 15), kYellowServer, QColor(60, 200, 70));
        DrawCog(p, QPointF(9, 9), 7.5, QColor(120, 130, 150));
    }));
    // 7 Autorefresh: a clock face with a green arrow.
    icons.push_back(Drawn(24, [](QPainter& p) {
        const QPointF c(10.5, 10.5);
        QRadialGradient g(c - QPointF(3, 3), 12);
        g.setColorAt(0, Qt::white);
        g.setColorAt(1, QColor(220, 226, 236));
        p.setPen(QPen(QColor(60, 70, 90), 1.5));
        p.setBrush(g);
        p.drawEllipse(c, 8.5, 8.5);
        p.setPen(QPen(QColor(60, 70, 90), 1.0));
        for (int i = 0; i < 12; i += 3) {
            const qreal a = i * M_PI / 6;
            p.drawLine(c + QPointF(6.2 * std::sin(a), -6.2 * std::cos(a)),
                       c + QPointF(7.6 * std::sin(a), -7.6 * std::cos(a)));
        }
        p.setPen(QPen(QColor(30, 30, 40), 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c, c + QPointF(0, -5.5));
        p.drawLine(c, c + QPointF(3.8, 1.5));
        Halo(p, QPointF(17.5, 17.5), 6.4);
        DrawCircularArrow(p, QPointF(17.5, 17.5), 4.0, 2.0, kGreen);
    }));
    // 8 Blocking history: a ledger with a red padlock on it.
    icons.push_back(Drawn(24, [](QPainter& p) {
        p.setPen(QPen(QColor(70, 60, 50), 1.2));
        p.setBrush(QColor(245, 240, 225));
        p.drawRect(QRectF(2.5, 2.5, 15, 19));
        p.setPen(QPen(QColor(120, 130, 150), 1.0));
        for (qreal y = 6.5; y < 20; y += 3)
            p.drawLine(QPointF(5, y), QPointF(15, y));
        Halo(p, QPointF(17, 16), 6.5);
        DrawPadlock(p, QRectF(12.5, 9.5, 9, 13), kRed, false);
    }));
    return TImageList(QSize(24, 24), std::move(icons));
}
