// The pane around a deadlock's drawing: it fits the drawing into the pane (never larger than
// as laid out) until the user zooms, with Ctrl and the wheel or Ctrl++, Ctrl+- and Ctrl+0
// (back to fitting); a zoomed drawing scrolls.
#pragma once

#include <QScrollArea>

class TDeadlockGraph;

class TDeadlockZoom : public QScrollArea {
    Q_OBJECT
public:
    static constexpr double MinScale = 0.1;
    static constexpr double MaxScale = 4.0;
    static constexpr double Step = 1.25;

    explicit TDeadlockZoom(TDeadlockGraph* graph, QWidget* parent = nullptr);

    // A new drawing: fitted again, whatever the zoom was.
    void DrawingChanged();
    // Zooms by steps (negative: out), leaving the fitting.
    void ZoomBy(int steps);
    void FitToPane();
    bool Fitting() const { return Fit; }
    double Scale() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Apply(double scale);

    TDeadlockGraph* Graph;
    bool Fit = true;
};
