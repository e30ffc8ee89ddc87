#include "EpisodeReplay.h"

#include "DisplayText.h"
#include "ErrorBox.h"
#include "FrameSnapshot.h"
#include "HistoryF.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QShortcut>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

void AddTree(TProcessModel& model, const TProcessItem& item, int parentRow) {
    // The frame's own tree: a head and its chain, a few hundred rows at most.
    const int row = model.AddRow(item, parentRow);
    for (std::int32_t c = 0; c < item.ChildCount(); ++c)
        AddTree(model, *item.Child(c), row);
}

} // namespace

TEpisodeReplay::TEpisodeReplay(QWidget* parent) : QWidget(parent), ReplayModel(Images) {
    setObjectName(QStringLiteral("EpisodeReplay"));
    ReplayTL = new QTreeView(this);
    ReplayTL->setObjectName(QStringLiteral("ReplayTL"));
    ReplayTL->setModel(&ReplayModel);
    ReplayTL->setUniformRowHeights(true);
    ReplayTL->setAlternatingRowColors(true);
    ReplayTL->setAllColumnsShowFocus(true);
    ReplayTL->setIndentation(14);
    ReplayTL->setSelectionBehavior(QAbstractItemView::SelectRows);
    ReplayTL->header()->setStretchLastSection(false);

    FrameS = new QSlider(Qt::Horizontal, this);
    FrameS->setObjectName(QStringLiteral("FrameS"));
    FrameS->setFocusPolicy(Qt::StrongFocus);
    FrameS->setPageStep(5);
    const auto button = [this](const QString& text, const QString& tip) {
        auto* b = new QToolButton(this);
        b->setText(text);
        b->setToolTip(tip);
        b->setAutoRaise(true);
        return b;
    };
    FirstB = button(QStringLiteral("|<"), QStringLiteral("First refresh (Alt+Home)"));
    PreviousB = button(QStringLiteral("<"), QStringLiteral("Previous refresh (Alt+Left)"));
    NextB = button(QStringLiteral(">"), QStringLiteral("Next refresh (Alt+Right)"));
    LastB = button(QStringLiteral(">|"), QStringLiteral("Last refresh (Alt+End)"));
    FrameL = new QLabel(this);
    FrameL->setTextFormat(Qt::PlainText);
    NoteL = new QLabel(this);
    NoteL->setTextFormat(Qt::PlainText);
    NoteL->setWordWrap(true);

    auto* steps = new QHBoxLayout;
    steps->addWidget(FirstB);
    steps->addWidget(PreviousB);
    steps->addWidget(FrameS, 1);
    steps->addWidget(NextB);
    steps->addWidget(LastB);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(steps);
    layout->addWidget(FrameL);
    layout->addWidget(ReplayTL, 1);
    layout->addWidget(NoteL);

    connect(FrameS, &QSlider::valueChanged, this,
            [this](int value) { GuardedCall([&] { ShowFrame(value); }); });
    connect(FirstB, &QToolButton::clicked, this, [this] { GuardedCall([&] { ShowFrame(0); }); });
    connect(PreviousB, &QToolButton::clicked, this, [this] { GuardedCall([&] { Step(-1); }); });
    connect(NextB, &QToolButton::clicked, this, [this] { GuardedCall([&] { Step(1); }); });
    connect(LastB, &QToolButton::clicked, this,
            [this] { GuardedCall([&] { ShowFrame(FrameCount() - 1); }); });
    const auto shortcut = [this](QKeySequence keys, auto action) {
        auto* s = new QShortcut(keys, this);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        connect(s, &QShortcut::activated, this, [action] { GuardedCall(action); });
    };
    shortcut(QKeySequence(Qt::ALT | Qt::Key_Left), [this] { Step(-1); });
    shortcut(QKeySequence(Qt::ALT | Qt::Key_Right), [this] { Step(1); });
    shortcut(QKeySequence(Qt::ALT | Qt::Key_Home), [this] { ShowFrame(0); });
    shortcut(QKeySequence(Qt::ALT | Qt::Key_End), [this] { ShowFrame(FrameCount() - 1); });
    Clear();
}

void TEpisodeReplay::Clear() {
    Frames.clear();
    Sessions.clear();
    Current = -1;
    Snapshot.Clear();
    ReplayModel.Blocking = nullptr;
    ReplayModel.BeginRebuild();
    ReplayModel.EndRebuild(-1, Qt::AscendingOrder);
    const QSignalBlocker quiet(FrameS);
    FrameS->setRange(0, 0);
    for (QWidget* w : {static_cast<QWidget*>(FrameS), static_cast<QWidget*>(FirstB),
                       static_cast<QWidget*>(PreviousB), static_cast<QWidget*>(NextB),
                       static_cast<QWidget*>(LastB)})
        w->setEnabled(false);
    FrameL->setText(QStringLiteral("No frames."));
    NoteL->clear();
}

void TEpisodeReplay::Show(const std::string& fileName, const TStoredEpisode& episode) {
    // The same episode read again (it goes on): a frame the user stepped back to stays shown.
    const bool same = Current >= 0 && Episode.Episode.Id == episode.Episode.Id;
    const int keep = same && Current + 1 < FrameCount() ? Current : -1;
    Clear();
    Episode = episode;
    TFramesRead read;
    try {
        THistoryStore store(fileName, THistoryStore::TMode::Read);
        Sessions = store.Sessions(static_cast<std::int64_t>(episode.Episode.Id));
        read = store.Frames(static_cast<std::int64_t>(episode.Episode.Id));
    } catch (const THistoryError& e) {
        NoteL->setText(DisplayText(std::string(e.what())));
        return;
    }
    Frames = std::move(read.Frames);
    QStringList notes;
    if (read.Damaged > 0)
        notes
            << QStringLiteral("%1 frame(s) could not be read and are left out.").arg(read.Damaged);
    if (Frames.empty()) {
        FrameL->setText(QStringLiteral("No frames were recorded for this episode (it was "
                                       "recorded before frames were kept, or the program "
                                       "stopped before writing them)."));
        NoteL->setText(notes.join(QLatin1Char(' ')));
        return;
    }
    if (episode.Episode.EndKind != TEpisodeEnd::Open && Frames.back().At < episode.Episode.End)
        notes << QStringLiteral("The frames stop at %1, before the episode's last refresh: the "
                                "rest was not written.")
                     .arg(QDateTime::fromMSecsSinceEpoch(Frames.back().At)
                              .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    NoteL->setText(notes.join(QLatin1Char(' ')));
    {
        const QSignalBlocker quiet(FrameS);
        FrameS->setRange(0, FrameCount() - 1);
    }
    for (QWidget* w : {static_cast<QWidget*>(FrameS), static_cast<QWidget*>(FirstB),
                       static_cast<QWidget*>(PreviousB), static_cast<QWidget*>(NextB),
                       static_cast<QWidget*>(LastB)})
        w->setEnabled(true);
    ShowFrame(keep >= 0 ? keep : FrameCount() - 1);
}

void TEpisodeReplay::ShowFrame(int index) {
    if (Frames.empty())
        return;
    index = std::clamp(index, 0, FrameCount() - 1);
    Current = index;
    const TEpisodeFrame& frame = Frames[static_cast<std::size_t>(index)];
    FillFromFrame(Snapshot, Episode.Episode, Sessions, frame);
    Analysis.Analyze(Snapshot);
    ReplayModel.Blocking = &Analysis;
    ReplayModel.BeginRebuild();
    for (std::int32_t i = 0; i < Snapshot.Count(); ++i)
        AddTree(ReplayModel, *Snapshot.Item(i), -1);
    ReplayModel.EndRebuild(-1, Qt::AscendingOrder);
    ReplayTL->expandAll();
    for (int c = 0; c < TProcessModel::ColumnCount; ++c)
        ReplayTL->resizeColumnToContents(c);
    {
        const QSignalBlocker quiet(FrameS);
        FrameS->setValue(index);
    }
    FirstB->setEnabled(index > 0);
    PreviousB->setEnabled(index > 0);
    NextB->setEnabled(index + 1 < FrameCount());
    LastB->setEnabled(index + 1 < FrameCount());
    FrameL->setText(
        QStringLiteral("Refresh %1 of %2 · %3 · %4 blocked · longest wait %5 · waits added up %6 "
                       "· head %7: %8, %9 open transaction(s)")
            .arg(index + 1)
            .arg(FrameCount())
            .arg(QDateTime::fromMSecsSinceEpoch(frame.At).toString(
                QStringLiteral("yyyy-MM-dd HH:mm:ss")))
            .arg(frame.Blocked())
            .arg(THistoryF::DurationText(frame.LongestWait()))
            .arg(THistoryF::DurationText(frame.TotalWait()))
            .arg(Episode.Episode.Head.Spid)
            .arg(DisplayText(frame.HeadStatus))
            .arg(frame.HeadOpenTran));
}
