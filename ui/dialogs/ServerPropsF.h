// "Server properties": registers a new server or edits a registered one (one TServerInfo).
#pragma once

#include "ServerInfo.h"

#include <QDialog>
#include <QStringList>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TSpinEdit;

class TServerPropsF : public QDialog {
    Q_OBJECT
public:
    explicit TServerPropsF(QWidget* parent = nullptr);

    void SetServerInfo(const TServerInfo& Info);
    TServerInfo GetServerInfo() const;

    // The OK rule: OK is enabled exactly when both the name and the connection string have text.
    void DataChange();
    // The fields (and their labels, and "...") are enabled exactly when "Enabled" is checked.
    void EnabledCBClick();
    // "...": the connection dialog, starting from the current text; a cancel changes nothing.
    void ConnStrBClick();

    // Names of the other registered servers; OK refuses a name equal to one of them ignoring
    // case, because the server list file cannot keep two such servers apart.
    QStringList OtherNames;

    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLineEdit* ServerE;
    QLabel* Label2;
    QLineEdit* ConnStrE;
    QPushButton* ConnStrB;
    QLabel* Label3;
    TSpinEdit* TimeoutSE;
    QCheckBox* EnabledCB;
    QPushButton* OkB;
    QPushButton* CancelB;

public slots:
    void accept() override;
};

// Runs the dialog on Info. IsNew: the fields keep their design values (empty texts, time-out 5,
// enabled). True on OK, with all four fields of Info replaced; false leaves Info untouched.
bool EditServerProperties(TServerInfo& Info, bool IsNew, const QStringList& otherNames,
                          QWidget* parent = nullptr);
