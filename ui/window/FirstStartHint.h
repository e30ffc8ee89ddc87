// What the empty process view says while no server is registered: how to begin (a button that
// runs the Register action) and where to read more. It lies over the view's viewport, centred.
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

    // How to begin. An installed program (its README shipped under programDir's
    // ../share/doc/tallyvane) names that README; one run from its build names the demo script.
    static QString HintText(const QString& programDir);
    // The server list file could not be read: the view is empty for that reason, not because
    // nothing is registered, and registering now could not be saved.
    void ShowListRefused(const QString& reason);

    QLabel* TextL;
    QPushButton* RegisterB;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Place();
};
