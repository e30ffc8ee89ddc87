#include "MuteState.h"

#include "ServerData.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>

void MuteServer(TServerData& server, TMuteSpan span, std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    switch (span) {
    case TMuteSpan::Minutes15:
        server.MutedUntil = now + minutes(15);
        break;
    case TMuteSpan::Hour1:
        server.MutedUntil = now + hours(1);
        break;
    case TMuteSpan::UntilRestart:
        server.MutedUntil = system_clock::time_point::max();
        break;
    case TMuteSpan::Off:
        server.MutedUntil = {};
        break;
    }
}

QIcon MutedIcon(const QIcon& stateIcon) {
    QPixmap pixmap = stateIcon.pixmap(16, 16);
    if (pixmap.isNull()) {
        pixmap = QPixmap(16, 16);
        pixmap.fill(Qt::transparent);
    }
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // A loudspeaker on a ringed white disc in the upper right corner, struck through in red:
    // beside the state's own mark (padlock, cross, arrow) in the lower right, never over it.
    p.setPen(QPen(QColor(90, 90, 90), 0.8));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(8.4, 0.4, 7.2, 7.2));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 20, 20));
    const QPointF speaker[] = {{9.8, 2.8},  {11.4, 2.8}, {13.6, 1.2},
                               {13.6, 6.8}, {11.4, 5.2}, {9.8, 5.2}};
    p.drawPolygon(speaker, 6);
    p.setPen(QPen(QColor(220, 0, 0), 1.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(9.2, 6.8), QPointF(15.0, 1.0));
    p.end();
    return QIcon(pixmap);
}

void AddMuteItems(QMenu& menu, std::function<TServerData*()> focused,
                  std::function<void(TServerData&)> changed) {
    struct TItem {
        const char* Caption;
        TMuteSpan Span;
    };
    const TItem items[] = {{"Mute for 15 min", TMuteSpan::Minutes15},
                           {"Mute for 1 h", TMuteSpan::Hour1},
                           {"Mute until restart", TMuteSpan::UntilRestart},
                           {"Unmute", TMuteSpan::Off}};
    menu.addSeparator();
    std::vector<QAction*> actions;
    for (const TItem& item : items) {
        QAction* a = menu.addAction(QString::fromUtf8(item.Caption));
        a->setObjectName(QString::fromUtf8(item.Caption));
        const TMuteSpan span = item.Span;
        QObject::connect(a, &QAction::triggered, &menu, [focused, changed, span] {
            if (TServerData* server = focused()) {
                MuteServer(*server, span);
                changed(*server);
            }
        });
        actions.push_back(a);
    }
    QObject::connect(&menu, &QMenu::aboutToShow, &menu, [focused, actions] {
        const TServerData* server = focused();
        const bool muted = server && server->Muted();
        for (std::size_t i = 0; i + 1 < actions.size(); ++i)
            actions[i]->setEnabled(server != nullptr);
        actions.back()->setEnabled(muted);
    });
}
