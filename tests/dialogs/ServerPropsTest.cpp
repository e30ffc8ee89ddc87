// "Server properties": design values, the enabling and OK rules, the time-out clamping, the
// duplicate-name refusal, and that a cancel changes nothing.
#include "ConnectionF.h"
#include "ModalDriver.h"
#include "ServerPropsF.h"
#include "SpinEdit.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace dialogtest;

namespace {

TServerInfo Stored(bool enabled, std::uint32_t timeout = 30) {
    TServerInfo info;
    info.Name = "Payroll";
    info.Enabled = enabled;
    info.ConnectionString = "Provider=SQLOLEDB.1;Data Source=db1;Integrated Security=SSPI";
    info.Timeout = timeout;
    return info;
}

std::vector<QWidget*> Fields(TServerPropsF& f) {
    return {f.Label1, f.ServerE, f.Label2, f.ConnStrE, f.ConnStrB, f.Label3, f.TimeoutSE};
}

} // namespace

TEST(ServerProps, RegisterStartsFromTheDesignValuesWithOkDisabledUntilBothTextsAreThere) {
    TServerInfo info; // as the Register action passes it
    info.Enabled = false;
    info.Timeout = 0;
    OnNext<TServerPropsF>([](TServerPropsF* f) {
        EXPECT_EQ(f->windowTitle(), QStringLiteral("Server properties"));
        EXPECT_EQ(f->size(), QSize(407, 175));
        EXPECT_TRUE(f->ServerE->text().isEmpty());
        EXPECT_TRUE(f->ConnStrE->text().isEmpty());
        EXPECT_EQ(f->TimeoutSE->value(), 5);
        EXPECT_TRUE(f->EnabledCB->isChecked());
        for (QWidget* w : Fields(*f))
            EXPECT_TRUE(w->isEnabled());
        EXPECT_FALSE(f->OkB->isEnabled());
        EXPECT_EQ(f->focusWidget(), f->ServerE);

        TypeInto(f->ServerE, QStringLiteral("Sales"));
        EXPECT_FALSE(f->OkB->isEnabled());
        TypeInto(f->ConnStrE, QStringLiteral("Data Source=db2"));
        EXPECT_TRUE(f->OkB->isEnabled());
        f->ServerE->clear();
        EXPECT_FALSE(f->OkB->isEnabled());
        // Enter on a disabled OK does nothing.
        QTest::keyClick(f, Qt::Key_Return);
        EXPECT_TRUE(f->isVisible());
        TypeInto(f->ServerE, QStringLiteral("Sales"));
        QTest::keyClick(f->ServerE, Qt::Key_Return);
    });
    ASSERT_TRUE(EditServerProperties(info, true, {}));
    EXPECT_EQ(info.Name, "Sales");
    EXPECT_EQ(info.ConnectionString, "Data Source=db2");
    EXPECT_EQ(info.Timeout, 5u);
    EXPECT_TRUE(info.Enabled);
}

TEST(ServerProps, DisabledServerShowsDisabledFieldsAndStillConfirms) {
    TServerInfo info = Stored(false);
    OnNext<TServerPropsF>([](TServerPropsF* f) {
        EXPECT_FALSE(f->EnabledCB->isChecked());
        for (QWidget* w : Fields(*f))
            EXPECT_FALSE(w->isEnabled());
        EXPECT_TRUE(f->OkB->isEnabled());
        EXPECT_TRUE(f->CancelB->isEnabled());
        EXPECT_EQ(f->focusWidget(), f->EnabledCB);

        f->EnabledCB->click();
        for (QWidget* w : Fields(*f))
            EXPECT_TRUE(w->isEnabled());
        f->EnabledCB->click();
        for (QWidget* w : Fields(*f))
            EXPECT_FALSE(w->isEnabled());
        EXPECT_TRUE(f->OkB->isEnabled());
        f->OkB->click();
    });
    ASSERT_TRUE(EditServerProperties(info, false, {}));
    EXPECT_EQ(info, Stored(false));
}

TEST(ServerProps, TimeoutIsBroughtWithinThreeToSixHundred) {
    const struct {
        std::uint32_t stored;
        const char* typed; // nullptr: leave the field as loaded
        std::uint32_t result;
    } cases[] = {
        {1, nullptr, 3}, {1000, nullptr, 600}, {30, nullptr, 30}, {30, "", 3},     {30, "-", 3},
        {30, "5.5", 3},  {30, "700", 600},     {30, "2", 3},      {30, "+45", 45},
    };
    for (const auto& c : cases) {
        TServerPropsF f;
        f.SetServerInfo(Stored(true, c.stored));
        if (c.typed) {
            f.TimeoutSE->lineEdit()->setText(QString::fromLatin1(c.typed));
        }
        EXPECT_EQ(f.GetServerInfo().Timeout, c.result)
            << c.stored << " / " << (c.typed ? c.typed : "(as loaded)");
    }
    // A typed value outside the range is corrected when the field loses the focus.
    TServerPropsF f;
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    f.TimeoutSE->setFocus();
    f.TimeoutSE->lineEdit()->selectAll();
    QTest::keyClicks(f.TimeoutSE, QStringLiteral("900"));
    EXPECT_EQ(f.TimeoutSE->text(), QStringLiteral("900"));
    f.ServerE->setFocus();
    QApplication::processEvents();
    EXPECT_EQ(f.TimeoutSE->text(), QStringLiteral("600"));
    // Letters are not taken.
    f.TimeoutSE->setFocus();
    QTest::keyClicks(f.TimeoutSE, QStringLiteral("ab"));
    EXPECT_EQ(f.TimeoutSE->text(), QStringLiteral("600"));
}

TEST(ServerProps, NamesAreTakenExactlyAsTyped) {
    TServerPropsF f;
    f.SetServerInfo(Stored(true));
    f.ServerE->setText(QStringLiteral("   "));
    f.DataChange();
    EXPECT_TRUE(f.OkB->isEnabled());
    EXPECT_EQ(f.GetServerInfo().Name, "   ");
}

TEST(ServerProps, CancelEscapeAndCloseLeaveTheRecordAsItWas) {
    for (int way = 0; way < 3; ++way) {
        TServerInfo info = Stored(true, 42);
        OnNext<TServerPropsF>([way](TServerPropsF* f) {
            TypeInto(f->ServerE, QStringLiteral("Changed"));
            TypeInto(f->ConnStrE, QStringLiteral("Data Source=elsewhere"));
            f->EnabledCB->click();
            if (way == 0)
                f->CancelB->click();
            else if (way == 1)
                QTest::keyClick(f, Qt::Key_Escape);
            else
                f->close();
        });
        EXPECT_FALSE(EditServerProperties(info, false, {})) << way;
        EXPECT_EQ(info, Stored(true, 42)) << way;
    }
}

TEST(ServerProps, RefusesTheNameOfAnotherServerIgnoringCase) {
    TServerInfo info = Stored(true);
    QString refusal;
    OnNext<TServerPropsF>([&](TServerPropsF* f) {
        TypeInto(f->ServerE, QStringLiteral("SALES "));
        AcceptNextMessage(&refusal);
        f->OkB->click(); // the refusal's box runs and is answered inside the click
        EXPECT_TRUE(f->isVisible());
        EXPECT_EQ(f->focusWidget(), f->ServerE);
        TypeInto(f->ServerE, QStringLiteral("Sales 2"));
        f->OkB->click();
    });
    ASSERT_TRUE(EditServerProperties(info, false, {QStringLiteral("Sales")}));
    EXPECT_TRUE(refusal.contains(QStringLiteral("Sales"))) << refusal.toStdString();
    EXPECT_EQ(info.Name, "Sales 2");
}

TEST(ServerProps, ConnectionDialogCancelKeepsTheTextAndOkReplacesIt) {
    TServerPropsF f;
    f.SetServerInfo(Stored(true));
    const QString before = f.ConnStrE->text();

    OnNext<TConnectionF>([](TConnectionF* c) {
        EXPECT_EQ(c->ServerE->text(), QStringLiteral("db1"));
        EXPECT_TRUE(c->IntegratedRB->isChecked());
        TypeInto(c->ServerE, QStringLiteral("other"));
        c->CancelB->click();
    });
    f.ConnStrBClick();
    EXPECT_EQ(f.ConnStrE->text(), before);

    OnNext<TConnectionF>([](TConnectionF* c) {
        TypeInto(c->ServerE, QStringLiteral("127.0.0.1,1433"));
        c->SqlLoginRB->click();
        TypeInto(c->UserNameE, QStringLiteral("sa"));
        TypeInto(c->PasswordE, QStringLiteral("pw"));
        TypeInto(c->DatabaseE, QStringLiteral("Sales"));
        c->OkB->click();
    });
    f.ConnStrBClick();
    EXPECT_EQ(f.ConnStrE->text(),
              QStringLiteral("Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;"
                             "Initial Catalog=Sales;Data Source=127.0.0.1,1433"));
    EXPECT_TRUE(f.OkB->isEnabled());
}

TEST(ServerProps, ConnectionDialogStartsEmptyFromAnUnreadableString) {
    TServerPropsF f;
    f.ConnStrE->setText(QStringLiteral("Data Source=\"db1;User ID=sa"));
    OnNext<TConnectionF>([](TConnectionF* c) {
        EXPECT_TRUE(c->ServerE->text().isEmpty());
        EXPECT_TRUE(c->UserNameE->text().isEmpty());
        c->CancelB->click();
    });
    f.ConnStrBClick();
    EXPECT_EQ(f.ConnStrE->text(), QStringLiteral("Data Source=\"db1;User ID=sa"));
}
