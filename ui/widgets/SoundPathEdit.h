// A one-line edit with two buttons at its right end: 0 a loudspeaker, 1 an open folder.
#pragma once

#include <QLineEdit>

class QAction;

class TSoundPathEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TSoundPathEdit(QWidget* parent = nullptr);

    QAction* PlayButton;   // button 0
    QAction* FolderButton; // button 1

signals:
    void ButtonClick(int index);

protected:
    void changeEvent(QEvent* event) override;
};
