#include "ConnectionF.h"

#include "DataLinkFile.h"
#include "DbConnection.h"
#include "DbDataSet.h"
#include "ErrorBox.h"
#include "OdbcConnectionString.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

constexpr unsigned TestTimeoutSeconds = 15;

bool Is(const QString& name, std::initializer_list<const char*> names) {
    for (const char* n : names) {
        if (name.compare(QLatin1String(n), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool IsTrue(const QString& value) {
    return Is(value.trimmed(), {"true", "yes", "sspi"});
}

// OLE DB quoting: a value with a separator, a quote or outer blanks is quoted, the quote
// doubled inside.
QString Quoted(const QString& value) {
    const bool plain = !value.contains(u';') && !value.contains(u'"') && !value.contains(u'\'') &&
                       value == value.trimmed();
    if (plain)
        return value;
    if (!value.contains(u'"'))
        return u'"' + value + u'"';
    if (!value.contains(u'\''))
        return u'\'' + value + u'\'';
    QString doubled = value;
    doubled.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + doubled + u'"';
}

} // namespace

TConnectionSettings TConnectionSettings::FromString(const QString& connectionString) {
    std::string text = connectionString.toStdString();
    if (connectionString.startsWith(QLatin1String("FILE NAME="), Qt::CaseInsensitive)) {
        if (const auto loaded = LoadDataLinkFile(connectionString.mid(10).toStdString()))
            text = *loaded;
    }
    TConnectionSettings settings;
    TConnectionStringPairs pairs;
    try {
        pairs = ParseOleDbConnectionString(text);
    } catch (const std::exception&) {
        return settings; // unreadable: the dialog starts empty
    }
    for (const auto& [rawName, rawValue] : pairs) {
        const QString name = QString::fromStdString(rawName);
        const QString value = QString::fromStdString(rawValue);
        if (Is(name, {"Data Source", "Server", "Address", "Addr", "Network Address"}))
            settings.Server = value;
        else if (Is(name, {"User ID", "UID"}))
            settings.UserName = value;
        else if (Is(name, {"Password", "PWD"}))
            settings.Password = value;
        else if (Is(name, {"Initial Catalog", "Database"}))
            settings.Database = value;
        else if (Is(name, {"Integrated Security", "Trusted_Connection"}))
            settings.Integrated = IsTrue(value);
        else if (Is(name, {"Persist Security Info"}))
            settings.SavePassword = IsTrue(value);
        else if (!Is(name, {"Provider"}) && !name.isEmpty())
            settings.OtherPieces.emplace_back(name, value);
    }
    return settings;
}

QString TConnectionSettings::ToString() const {
    QStringList pieces{QStringLiteral("Provider=SQLOLEDB.1")};
    if (Integrated) {
        pieces << QStringLiteral("Integrated Security=SSPI")
               << QStringLiteral("Persist Security Info=False");
    } else {
        if (SavePassword)
            pieces << QStringLiteral("Password=") + Quoted(Password);
        pieces << QStringLiteral("Persist Security Info=") +
                      (SavePassword ? QStringLiteral("True") : QStringLiteral("False"));
        if (!UserName.isEmpty())
            pieces << QStringLiteral("User ID=") + Quoted(UserName);
    }
    if (!Database.isEmpty())
        pieces << QStringLiteral("Initial Catalog=") + Quoted(Database);
    pieces << QStringLiteral("Data Source=") + Quoted(Server);
    for (const auto& [name, value] : OtherPieces)
        pieces << name + u'=' + Quoted(value);
    return pieces.join(u';');
}

TConnectionF::TConnectionF(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Connection"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    ServerE = new QLineEdit(this);
    ServerE->setPlaceholderText(QStringLiteral("host, host,port or host\\instance"));
    DatabaseE = new QLineEdit(this);
    DatabaseE->setPlaceholderText(QStringLiteral("the login's default database"));

    auto* logon = new QGroupBox(QStringLiteral("Log on to the server"), this);
    IntegratedRB = new QRadioButton(QStringLiteral("Use &integrated security"), logon);
    SqlLoginRB = new QRadioButton(QStringLiteral("Use a specific user name and &password"), logon);
    UserNameE = new QLineEdit(logon);
    PasswordE = new QLineEdit(logon);
    PasswordE->setEchoMode(QLineEdit::Password);
    UserNameL = new QLabel(QStringLiteral("&User name:"), logon);
    UserNameL->setBuddy(UserNameE);
    PasswordL = new QLabel(QStringLiteral("Pass&word:"), logon);
    PasswordL->setBuddy(PasswordE);
    SavePasswordCB = new QCheckBox(QStringLiteral("&Allow saving password"), logon);

    auto* credentials = new QFormLayout;
    credentials->setContentsMargins(24, 0, 0, 0);
    credentials->addRow(UserNameL, UserNameE);
    credentials->addRow(PasswordL, PasswordE);
    credentials->addRow(QString(), SavePasswordCB);
    auto* logonLayout = new QVBoxLayout(logon);
    logonLayout->addWidget(IntegratedRB);
    logonLayout->addWidget(SqlLoginRB);
    logonLayout->addLayout(credentials);

    auto* serverLabel = new QLabel(QStringLiteral("&Server:"), this);
    serverLabel->setBuddy(ServerE);
    auto* databaseLabel = new QLabel(QStringLiteral("&Database:"), this);
    databaseLabel->setBuddy(DatabaseE);
    auto* fields = new QFormLayout;
    fields->addRow(serverLabel, ServerE);

    auto* databaseRow = new QFormLayout;
    databaseRow->addRow(databaseLabel, DatabaseE);

    TestB = new QPushButton(QStringLiteral("&Test connection"), this);
    OkB = new QPushButton(QStringLiteral("OK"), this);
    OkB->setDefault(true);
    CancelB = new QPushButton(QStringLiteral("Cancel"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(TestB);
    buttons->addStretch(1);
    buttons->addWidget(OkB);
    buttons->addWidget(CancelB);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(logon);
    layout->addLayout(databaseRow);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    setMinimumWidth(380);

    connect(IntegratedRB, &QRadioButton::toggled, this,
            [this] { GuardedCall([this] { UpdateControlStates(); }); });
    connect(TestB, &QPushButton::clicked, this, [this] { GuardedCall([this] { TestBClick(); }); });
    connect(OkB, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelB, &QPushButton::clicked, this, &QDialog::reject);
    SqlLoginRB->setChecked(true);
    UpdateControlStates();
}

void TConnectionF::SetSettings(const TConnectionSettings& settings) {
    ServerE->setText(settings.Server);
    (settings.Integrated ? IntegratedRB : SqlLoginRB)->setChecked(true);
    UserNameE->setText(settings.UserName);
    PasswordE->setText(settings.Password);
    SavePasswordCB->setChecked(settings.SavePassword);
    DatabaseE->setText(settings.Database);
    OtherPieces = settings.OtherPieces;
    UpdateControlStates();
}

TConnectionSettings TConnectionF::GetSettings() const {
    TConnectionSettings settings;
    settings.Server = ServerE->text().trimmed();
    settings.Integrated = IntegratedRB->isChecked();
    settings.UserName = UserNameE->text();
    settings.Password = PasswordE->text();
    settings.SavePassword = SavePasswordCB->isChecked();
    settings.Database = DatabaseE->text().trimmed();
    settings.OtherPieces = OtherPieces;
    return settings;
}

void TConnectionF::UpdateControlStates() {
    const bool sqlLogin = SqlLoginRB->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{UserNameL, UserNameE, PasswordL, PasswordE,
                                                      SavePasswordCB})
        w->setEnabled(sqlLogin);
}

void TConnectionF::TestBClick() {
    const TConnectionSettings settings = GetSettings();
    std::string answer;
    try {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        // The password goes with the connect even when it is not to be saved in the string.
        answer =
            TestConnection(settings.ToString().toStdString(),
                           settings.Integrated ? std::string() : settings.UserName.toStdString(),
                           settings.Integrated ? std::string() : settings.Password.toStdString(),
                           TestTimeoutSeconds);
        QApplication::restoreOverrideCursor();
    } catch (const std::exception& error) {
        QApplication::restoreOverrideCursor();
        QMessageBox::warning(this, QStringLiteral("Test connection"),
                             QStringLiteral("Test connection failed.\n\n") +
                                 WithFullStop(QString::fromStdString(error.what())));
        return;
    }
    QMessageBox::information(this, QStringLiteral("Test connection"),
                             QStringLiteral("Test connection succeeded.\n\n") +
                                 QString::fromStdString(answer).trimmed());
}

std::string TestConnection(const std::string& connectionString, const std::string& userName,
                           const std::string& password, unsigned timeoutSeconds) {
    TDbConnection connection;
    connection.ConnectionString = connectionString;
    connection.ConnectionTimeout = timeoutSeconds;
    connection.CommandTimeout = timeoutSeconds;
    connection.ConnectOptions = coConnectUnspecified;
    connection.OnWillConnect = [&](TDbConnection&, std::string&, std::string& user,
                                   std::string& pass, TConnectOption&, TEventStatus&) {
        if (!userName.empty())
            user = userName;
        if (!password.empty())
            pass = password;
    };
    connection.Open();
    TDbDataSet dataSet;
    dataSet.SetRecordset(connection.Execute("select @@version"));
    std::string answer = dataSet.RecordCount() > 0 ? dataSet.Fields(0).AsString() : std::string();
    if (!connection.EncryptionState.empty()) {
        // Trimmed by the caller: the version text's own line breaks stay inside.
        answer += "\n\n" + connection.EncryptionState + ".";
    }
    connection.Close();
    return answer;
}

bool BuildConnectionString(QString& connectionString, QWidget* parent) {
    TConnectionF dialog(parent);
    dialog.SetSettings(TConnectionSettings::FromString(connectionString));
    dialog.ServerE->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    connectionString = dialog.GetSettings().ToString();
    return true;
}
