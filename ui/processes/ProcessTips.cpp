// The process view's tooltips: what a cell holds, and in plain words what it means (a head
// blocker's hold, a wait resource, an odd "Blocked by", a blocking cycle, a stale or ended row).
#include "ProcessModel.h"
#include "WaitResource.h"

#include <QLocale>
#include <QStringList>

namespace {

QString Q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

QString TProcessModel::ToolTip(int row, int column) const {
    const TRow& r = Rows[static_cast<std::size_t>(row)];
    QString tip = Text(row, column);
    if (Stale_)
        tip += "\nLast known value: the server stopped answering, so this may have changed";
    else if (r.Ended)
        tip += "\nThis session has ended; its row goes at the next refresh";
    else if (column == SpidTLC && r.HeadBlocking >= 0) {
        QLocale locale;
        locale.setNumberOptions(QLocale::OmitGroupSeparator);
        tip += "\nHead blocker\nBlocking: " + QString::number(r.HeadBlocking) + " (total wait " +
               locale.toString(static_cast<double>(r.HeadWait) / 1000.0, 'f', 1) + " s)";
        if (r.Forgotten)
            tip += "\nSleeping with an open transaction: probably a forgotten transaction "
                   "(nothing runs that would commit it)";
    } else if (column == BlockSpidTLC) {
        if (const QString words = BlockedByWords(r); !words.isEmpty())
            tip += "\n" + words;
    } else if (column == WaitInfoTLC && !r.WaitResource.empty() && r.WaitTime > 0) {
        const TWaitResource decoded = DecodeWaitResource(r.WaitResource, DatabaseName);
        if (!decoded.Kind.empty())
            tip += "\n" + Q(decoded.Words);
    }
    return tip;
}

QString TProcessModel::BlockedByWords(const TRow& r) const {
    if (r.Cycle >= 0 && static_cast<std::size_t>(r.Cycle) < Cycles.size()) {
        QStringList spids;
        for (const std::int32_t spid : Cycles[static_cast<std::size_t>(r.Cycle)])
            spids << QString::number(spid);
        const QString circle =
            spids.join(QStringLiteral(" → ")) + QStringLiteral(" → ") + spids.first();
        return r.InCycle ? "A blocking cycle: SPIDs " + circle +
                               ". Each waits for the next, so none can go on until one of them is "
                               "killed or the server's deadlock monitor ends one."
                         : "Waits behind the blocking cycle of SPIDs " + circle +
                               ": it goes on only once the cycle is broken.";
    }
    switch (r.Blocked) {
    case 0:
        return QString();
    case -2:
        return "-2: an orphaned distributed transaction holds the lock. No session owns it; it "
               "ends when the transaction coordinator settles it, or by KILL with the "
               "transaction's unit of work id.";
    case -3:
        return "-3: a deferred recovery transaction holds the lock: one the server could not "
               "roll back when the database was recovered.";
    case -4:
        return "-4: it waits for a latch whose owner cannot be told at this moment (the latch "
               "is changing hands); look again at the next refresh.";
    case -5:
        return "-5: it waits for a latch whose owner is not tracked for this kind of latch (a "
               "shared latch, for example).";
    default:
        break;
    }
    if (r.Blocked == r.Spid)
        return "It waits for its own session: threads of one parallel query waiting for each "
               "other, or its own I/O. No other session holds it up.";
    if (r.Blocked < 0)
        return QString::number(r.Blocked) +
               ": the server names no session that holds what it waits for.";
    return QString();
}
