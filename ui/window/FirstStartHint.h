// What the empty process view says while no server is registered: how to begin (a button that
// runs the Register action) and where the demo is. It lies over the view's viewport, centred.
#pragma once

#include <QFrame>

class QAbstractScrollArea;
class QAction;
class QLabel;
class QPushButton;

class TFirstStartHint : public QFrame {
    Q_OBJECT
public:
    TFirstStartHint(QAbstractScrollArea& view, QAction& registerAction);

    QLabel* TextL;
    QPushButton* RegisterB;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Place();
};
