// The drawing of a deadlock: processes and resources as boxes on a ring, in the order of the
// cycle (a process, the resource it waits for, the process that holds it, ...), an arrow from
// each waiting process to its resource labelled with the mode it requested, and from each
// resource to its owner labelled with the mode held. The victim is drawn in red.
//
// The layout is a pure function of the report and the font, so that it can be checked
// without painting; the widget only paints it.
#pragma once

#include "DeadlockReport.h"

#include <QFontMetricsF>
#include <QLineF>
#include <QRectF>
#include <QSizeF>
#include <QStringList>
#include <QWidget>
#include <cstddef>
#include <vector>

struct TGraphBox {
    bool Process = true;   // else a resource
    std::size_t Index = 0; // in the report's Processes or Resources
    bool Victim = false;
    QStringList Lines; // as shown, elided to the box
    QRectF Rect;
};

struct TGraphEdge {
    std::size_t From = 0; // boxes
    std::size_t To = 0;
    bool Request = false; // a process waits for the resource; else the resource's owner
    QString Label;
    QLineF Line; // from the border of From to the border of To
    QRectF LabelRect;
};

struct TGraphLayout {
    std::vector<TGraphBox> Boxes;
    std::vector<TGraphEdge> Edges;
    QSizeF Size{0, 0};
    int LeftOut = 0; // processes and resources beyond what is drawn
};

class TDeadlockGraph : public QWidget {
public:
    // More than this many processes (or resources) are left out of the drawing.
    static constexpr std::size_t MaxProcesses = 24;
    static constexpr std::size_t MaxResources = 24;
    // Box text wider than this is elided.
    static constexpr double MaxTextWidth = 220;

    static TGraphLayout Arrange(const TDeadlockReport& report, const QFontMetricsF& metrics);

    explicit TDeadlockGraph(QWidget* parent = nullptr);
    // The deadlock to draw; null draws nothing.
    void SetReport(const TDeadlockReport* report);
    const TGraphLayout& Layout() const { return Current; }
    // The drawing at this size (1: as laid out); the widget's least size follows it.
    void SetScale(double scale);
    double Scale() const { return Scale_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Rearrange();

    TDeadlockReport Report;
    TGraphLayout Current;
    double Scale_ = 1.0;
};
