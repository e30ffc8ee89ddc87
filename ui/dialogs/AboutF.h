// "About Tallyvane": name and version, icon, credit line, contact and web address.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class TAboutF : public QDialog {
    Q_OBJECT
public:
    explicit TAboutF(QWidget* parent = nullptr);

    QPushButton* Button1;
    QLabel* Image1;
    QLabel* Label1; // "Tallyvane ver." + the version text
    QLabel* Label2; // credit line
    QLabel* Label3; // web address, opened by a click
    QLabel* Label4; // e-mail address

    // Label3: opens the web address with the desktop's handler.
    void Label3Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
};

// Shows the about dialog modally. True when it was closed with OK.
bool ShowAbout(QWidget* parent = nullptr);
