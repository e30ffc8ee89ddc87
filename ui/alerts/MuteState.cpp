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
    // A loudspeaker on a white disc in the lower right corner, struck through in red.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(8, 8, 8, 8));
    p.setBrush(QColor(60, 60, 60));
    const QPointF speaker[] = {{9.5, 11}, {11, 11}, {13, 9.5}, {13, 14.5}, {11, 13}, {9.5, 13}};
    p.drawPolygon(speaker, 6);
    p.setPen(QPen(QColor(200, 0, 0), 1.6));
    p.drawLine(QPointF(8.8, 15.2), QPointF(15.2, 8.8));
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
