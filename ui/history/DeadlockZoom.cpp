#include "DeadlockZoom.h"

#include "DeadlockGraph.h"

#include <QKeyEvent>
#include <QResizeEvent>
#include <QWheelEvent>
#include <algorithm>

TDeadlockZoom::TDeadlockZoom(TDeadlockGraph* graph, QWidget* parent)
    : QScrollArea(parent), Graph(graph) {
    setObjectName(QStringLiteral("DeadlockZoom"));
    setWidget(Graph);
    setWidgetResizable(false);
    setAlignment(Qt::AlignCenter);
    setFocusPolicy(Qt::StrongFocus);
    setToolTip(QStringLiteral("Ctrl+wheel or Ctrl++ and Ctrl+- zoom; Ctrl+0 fits the drawing"));
}

double TDeadlockZoom::Scale() const {
    return Graph->Scale();
}

void TDeadlockZoom::Apply(double scale) {
    Graph->SetScale(std::clamp(scale, MinScale, MaxScale));
    // Exactly the drawing's size: the scroll bars come only when it is larger than the pane.
    Graph->resize(Graph->minimumSize());
}

void TDeadlockZoom::FitToPane() {
    Fit = true;
    const QSizeF drawing = Graph->Layout().Size;
    const QSize room = maximumViewportSize() - QSize(2, 2);
    double scale = 1.0;
    if (drawing.width() > 0 && drawing.height() > 0)
        scale = std::min({1.0, room.width() / drawing.width(), room.height() / drawing.height()});
    Apply(scale);
}

void TDeadlockZoom::DrawingChanged() {
    FitToPane();
}

void TDeadlockZoom::ZoomBy(int steps) {
    Fit = false;
    double scale = Scale();
    for (int i = 0; i < std::abs(steps); ++i)
        scale = steps > 0 ? scale * Step : scale / Step;
    Apply(scale);
}

void TDeadlockZoom::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    if (Fit)
        FitToPane();
}

void TDeadlockZoom::wheelEvent(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) {
        QScrollArea::wheelEvent(event);
        return;
    }
    const int steps = event->angleDelta().y() / 120;
    if (steps != 0)
        ZoomBy(steps);
    event->accept();
}

void TDeadlockZoom::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() & Qt::ControlModifier) {
        switch (event->key()) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:
            ZoomBy(1);
            return;
        case Qt::Key_Minus:
            ZoomBy(-1);
            return;
        case Qt::Key_0:
            FitToPane();
            return;
        default:
            break;
        }
    }
    QScrollArea::keyPressEvent(event);
}
