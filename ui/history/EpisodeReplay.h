// "Replay": the selected episode's frames, one per refresh while it lasted, shown as the
// process tree stood at that refresh, with the same model and rules as the live process view
// (the head blocker on top, each blocked session under the one it waited for). A slider and
// the step buttons move between frames; so do the keyboard (the slider's arrows, Page Up and
// Down, Home and End, and Alt with them anywhere on the page).
#pragma once

#include "BlockingAnalysis.h"
#include "HistoryStore.h"
#include "Icons.h"
#include "ProcessList.h"
#include "ProcessModel.h"

#include <QWidget>
#include <string>
#include <vector>

class QLabel;
class QSlider;
class QToolButton;
class QTreeView;

class TEpisodeReplay : public QWidget {
    Q_OBJECT
public:
    explicit TEpisodeReplay(QWidget* parent = nullptr);

    // Reads the episode's frames; the last frame is shown. Errors go to the page's own line.
    void Show(const std::string& fileName, const TStoredEpisode& episode);
    void Clear();
    // Shows frame index (clamped to the frames there are).
    void ShowFrame(int index);
    void Step(int by) { ShowFrame(Current + by); }

    int FrameCount() const { return static_cast<int>(Frames.size()); }
    int CurrentFrame() const { return Current; }
    const TProcessModel& Model() const { return ReplayModel; }

    QTreeView* ReplayTL;
    QSlider* FrameS;
    QToolButton* FirstB;
    QToolButton* PreviousB;
    QToolButton* NextB;
    QToolButton* LastB;
    QLabel* FrameL;
    QLabel* NoteL;

private:
    TImageList Images = MakeProcessesIL();
    TProcessModel ReplayModel;
    TProcessList Snapshot;
    TBlockingAnalysis Analysis;
    TStoredEpisode Episode;
    std::vector<TEpisodeSession> Sessions;
    std::vector<TEpisodeFrame> Frames;
    int Current = -1;
};
